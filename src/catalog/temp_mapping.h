// CTempMapping: one temporary file in the system's temporary directory, mapped read-write,
// that holds a table of the file-search catalogue (time tables or file infos). The
// catalogue owns two of them. The file never has a name while it is mapped (see
// platform::TempMapping), so nothing of it is visible in the temporary directory, and a
// process killed while a catalogue stands leaves nothing behind; closing it frees its space.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/temp_mapping.h"

class CTempMapping {
 public:
  CTempMapping() = default;
  virtual ~CTempMapping();
  CTempMapping(const CTempMapping&) = delete;
  CTempMapping& operator=(const CTempMapping&) = delete;

  // Creates an unnamed temporary file of `size` bytes, zero-filled, and maps it. Returns 1 when the
  // view exists, 0 otherwise (the object is then empty). A size of 0 creates nothing. Any mapping
  // held before is closed first.
  int32_t Create(uint64_t size);
  // Start of the writable view; null when empty.
  uint8_t* View() const { return mapping_ ? mapping_->data() : nullptr; }
  uint64_t Size() const { return mapping_ ? mapping_->size() : 0; }
  // Unmaps and closes the file, which frees it; the object is empty afterwards.
  void Close();

 private:
  std::unique_ptr<platform::TempMapping> mapping_;
};
