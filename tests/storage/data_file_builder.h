// Test helper of the frame reader: composes data files record by record with the builders
// of storage/formats.h and keeps the index summary beside them the way the writer threads
// do (storage::SummaryBuilder), so tests get files the reader cannot tell from recorded
// ones and can then damage them on purpose. With `olderEntries` it keeps the summary older
// writers left instead: a new minute entry whenever a record's local minute differs from
// the previous record's, a late record going back a minute included.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/formats.h"
#include "storage/summary_builder.h"

namespace reader_test {

struct BuiltRecord {
  uint64_t offset = 0;  // in the data file
  uint64_t size = 0;    // 48 + bodySize
};

class DataFileBuilder {
 public:
  explicit DataFileBuilder(bool olderEntries = false) : older_(olderEntries) {}
  // Append a record with a payload no two records share; return its index.
  size_t AddVideo(uint32_t channel, int32_t time, bool keyFrame, uint32_t type = 1,
                  uint32_t payloadLength = 24);
  size_t AddAudio(uint32_t channel, int32_t time, uint32_t type = 0, uint32_t payloadLength = 40);
  // Appends `count` zero bytes, booked in the index to the minute of `time`.
  void AddZeros(size_t count, int32_t time);

  const std::vector<BuiltRecord>& Records() const { return records_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  // Record i as the reader hands it out: FrameHeader followed by the body.
  std::vector<uint8_t> Frame(size_t i) const;
  const storage::IndexSummary& Summary() const { return summary_; }
  // Adds `value` to the 32-bit field at `at` of record i (from its end when `at` < 0).
  void Damage(size_t i, int64_t at, uint32_t value);

  // Writes <dir><title>.VDB (the bytes, then `tail`) and <dir><title>.FIH with `summary`.
  void Write(const std::string& dir, const std::string& title, const storage::IndexSummary& summary,
             const std::vector<uint8_t>& tail = {}) const;
  void Write(const std::string& dir, const std::string& title) const {
    Write(dir, title, summary_);
  }

 private:
  size_t Append(const storage::RecordFields& fields, bool audioFormat, uint32_t payloadLength);
  void Book(const storage::FrameHeader& header, uint64_t size);

  const bool older_;
  std::vector<uint8_t> bytes_;
  std::vector<BuiltRecord> records_;
  storage::IndexSummary summary_ = storage::MakeEmptySummary();
  int lastMinute_ = -1;
};

}  // namespace reader_test
