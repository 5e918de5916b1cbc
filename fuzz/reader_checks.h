// What the fuzz targets give the frame reader: a sink that reads every byte of the key
// frames it is handed (so the sanitizers see a read past what was filled), and a reporter
// that checks each damage report names a file and a damaged record; then reads that check
// no frame is longer than the buffer it was read into.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

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
  }
};

// A frame reader of a catalogue with the checking sink and reporter.
struct CheckedReader {
  explicit CheckedReader(const storage::CatalogView* view) : reader(view, &sink, &reporter) {}
  CheckingSink sink;
  CheckingReporter reporter;
  storage::CFrameReader reader;

  // At most `reads` frames at `rate`, from where the reader stands.
  void Read(float rate, std::vector<uint8_t>* buffer, int reads) {
    reader.SetPlayRate(rate);
    for (int i = 0; i < reads; ++i) {
      const int32_t n = reader.ReadNextFrame(buffer->data(), static_cast<uint32_t>(buffer->size()));
      if (n < 0) return;
      if (static_cast<size_t>(n) > buffer->size()) abort();  // longer than the buffer
    }
  }
  // Forwards, then backwards from the end.
  void ReadBothWays(std::vector<uint8_t>* buffer, int reads) {
    Read(1.0f, buffer, reads);
    reader.ResetReadPosition(-1);
    Read(-1.0f, buffer, reads);
  }
};

}  // namespace fuzz
