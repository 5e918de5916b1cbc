// What the fuzz targets give the frame reader: a sink that reads every byte of the key
// frames it is handed (so the sanitizers see a read past what was filled), and a reporter
// that checks each damage report names a file and a damaged record, and counts them.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <string>

#include "storage/frame_reader.h"

namespace fuzz {

class CheckingSink : public storage::FrameSink {
 public:
  void OnPrecedingKeyFrame(const uint8_t* frame, int32_t length) override {
    if (frame == nullptr || length < static_cast<int32_t>(storage::kFrameHeaderSize) ||
        static_cast<uint32_t>(length) > storage::kMaxFrameLength) {
      abort();
    }
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  }
};

class CheckingReporter : public storage::Reporter {
 public:
  void Corruption(const std::string& file, uint64_t offset, storage::RecordStatus status) override {
    if (file.empty() || status == storage::RecordStatus::kOk || offset > INT32_MAX) abort();
    ++reports;
  }
  uint64_t reports = 0;
};

}  // namespace fuzz
