// Test helper of the frame reader: composes data files record by record with the builders
// of storage/formats.h and keeps the index summary beside them the way the writer threads
// do (a new minute entry whenever a record's local minute differs from the previous
// record's), so tests and the fuzz target get files the reader cannot tell from recorded
// ones, and can then damage them on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/formats.h"

namespace reader_test {

// One record as the builder stored it.
struct BuiltRecord {
  uint64_t offset = 0;  // in the data file
  uint64_t size = 0;    // 48 + bodySize
  int32_t time = 0;
};

class DataFileBuilder {
 public:
  // Appends a video-format record with a payload derived from its fields; returns its index.
  size_t AddVideo(uint32_t channel, int32_t time, bool keyFrame, uint32_t type = 1,
                  uint32_t payloadLength = 24);
  // Appends an audio-format record.
  size_t AddAudio(uint32_t channel, int32_t time, uint32_t type = 0, uint32_t payloadLength = 40);
  // Appends raw bytes, booked in the index to the minute of `time`.
  void AddRaw(const std::vector<uint8_t>& bytes, int32_t time);

  const std::vector<BuiltRecord>& Records() const { return records_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  // Record i as the reader hands it out: FrameHeader followed by the body.
  std::vector<uint8_t> Frame(size_t i) const;

  // The summary the writer would have left: dataBytes = the bytes added.
  storage::IndexSummary Summary() const { return summary_; }

  // Writes <dir><title>.VDB (the bytes, then `tail`) and <dir><title>.FIH with `summary`.
  void Write(const std::string& dir, const std::string& title, const storage::IndexSummary& summary,
             const std::vector<uint8_t>& tail = {}) const;
  void Write(const std::string& dir, const std::string& title) const {
    Write(dir, title, summary_);
  }

  // Record-field offsets for tests that damage records.
  static uint64_t BodySizeOffset(const BuiltRecord& r) {
    return r.offset + storage::kRecordBodySizeOffset;
  }
  static uint64_t TrailerBodySizeOffset(const BuiltRecord& r) {
    return r.offset + r.size - storage::kRecordTrailerSize;
  }
  static uint64_t EndMarkerOffset(const BuiltRecord& r) {
    return TrailerBodySizeOffset(r) + offsetof(storage::FrameRecordTrailer, endMarker);
  }
  void PutU32(uint64_t offset, uint32_t value);

 private:
  size_t Append(const storage::RecordFields& fields, bool audioFormat, uint32_t payloadLength);
  void Book(int32_t time, uint64_t size);

  std::vector<uint8_t> bytes_;
  std::vector<BuiltRecord> records_;
  storage::IndexSummary summary_ = storage::MakeEmptySummary();
  bool booked_ = false;
  int lastMinuteKey_ = -1;
};

}  // namespace reader_test
