#include "catalog/temp_mapping.h"

CTempMapping::~CTempMapping() { Close(); }

int32_t CTempMapping::Create(uint64_t size) {
  Close();
  if (size == 0) return 0;
  mapping_ = platform::TempMapping::Create(size);
  return mapping_ ? 1 : 0;
}

void CTempMapping::Close() {
  if (mapping_) {
    mapping_->Close();
    mapping_.reset();
  }
}
