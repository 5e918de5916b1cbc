// dvrtool verify on a real recording: clean files pass, and each kind of damage is reported
// with the file it is in and the byte offset where it is.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>

#include "tool_runner.h"

namespace tooltest {
namespace {

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.root().empty());
    const RunResult r = Dvrtool({"record", "--dir", dir_.root(), "--files", "3", "--channels", "2",
                                 "--seconds", "2", "--fast", "--audio", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.output;
    data_ = dir_ / "dvr00.VDB";
    index_ = dir_ / "dvr00.FIH";
    dataBytes_ = ReadIndexRecord(index_).summary.dataBytes;
    for (const auto& record : testsupport::ScanRecords(data_, dataBytes_)) {
      offsets_.push_back(record.offset);
    }
    // 2 s at 25 fps on 2 channels, plus the audio of channel 0.
    ASSERT_EQ(offsets_.size(), 150u);
  }

  RunResult Verify() { return Dvrtool({"verify", dir_.root()}); }
  // Verify fails and names each of `problems` (file, offset and what is wrong).
  void ExpectReported(const std::vector<std::string>& problems) {
    const RunResult r = Verify();
    EXPECT_EQ(r.status, 1) << r.output;
    for (const std::string& p : problems) {
      EXPECT_NE(r.output.find(p), std::string::npos) << "want " << p << "\n" << r.output;
    }
  }

  ScratchDir dir_;
  std::string data_, index_;
  uint32_t dataBytes_ = 0;
  std::vector<uint64_t> offsets_;
};

// A flipped byte in a record's head or trailer is reported at that record's offset.
class FlippedByteTest : public VerifyTest, public ::testing::WithParamInterface<int> {};

TEST_P(FlippedByteTest, ReportsTheDamagedRecord) {
  const uint64_t record = offsets_[37];
  const uint64_t next = offsets_[38];
  // Positive parameters count from the record start, negative ones from its end.
  const int where = GetParam();
  const uint64_t at = where >= 0 ? record + where : next + where;
  uint8_t byte = ReadBytes(data_, at, 1).at(0);
  byte ^= 0xFF;
  PatchBytes(data_, at, &byte, 1);
  // A second damaged record in the same minute lies in the damaged range of a first one that
  // breaks the record structure; a wrong field alone is a problem of its own.
  uint8_t later = ReadBytes(data_, offsets_[90], 1).at(0) ^ 0xFF;
  PatchBytes(data_, offsets_[90], &later, 1);
  ExpectReported({data_ + ": offset " + std::to_string(record) + ":"});
  const std::string output = Verify().output;
  size_t lines = 0;
  for (size_t p = output.find(data_ + ": offset"); p != std::string::npos;
       p = output.find(data_ + ": offset", p + 1)) {
    ++lines;
  }
  const bool field = where == storage::kRecordChannelOffset || where == storage::kRecordTypeOffset;
  EXPECT_EQ(lines, field ? 2u : 1u) << output;
}

INSTANTIATE_TEST_SUITE_P(HeadAndTrailer, FlippedByteTest,
                         ::testing::Values(0,                               // start marker
                                           storage::kRecordChannelOffset,   // channel
                                           storage::kRecordBodySizeOffset,  // body size
                                           storage::kRecordTypeOffset,      // frame type
                                           -8,                              // trailer size
                                           -4));                            // end marker

TEST_F(VerifyTest, TruncatedDataFileIsReportedAtTheRecordItCuts) {
  const uint64_t cut = offsets_[100];
  std::filesystem::resize_file(data_, cut + 20);
  ExpectReported({data_ + ": offset " + std::to_string(cut) + ": record cut short"});
}

TEST_F(VerifyTest, DataBytesBeyondTheRecordsIsReportedInTheIndex) {
  const uint32_t inflated = dataBytes_ + 4096;
  const uint64_t field = storage::kIndexSummaryOffset + offsetof(storage::IndexSummary, dataBytes);
  PatchBytes(index_, field, &inflated, sizeof(inflated));
  ExpectReported({index_ + ": offset 108: dataBytes " + std::to_string(inflated) +
                  " but the records end at byte " + std::to_string(dataBytes_)});
}

TEST_F(VerifyTest, SummaryThatDisagreesWithTheRecordsIsReportedAtTheField) {
  storage::IndexRecord record = ReadIndexRecord(index_);
  const uint32_t bytes = record.summary.entries[0].bytes + 1;
  const uint32_t mask = record.summary.entries[0].reason2Mask | 0x80;
  const uint64_t entry0 = storage::kIndexSummaryOffset + offsetof(storage::IndexSummary, entries);
  PatchBytes(index_, entry0 + offsetof(storage::IndexEntry, bytes), &bytes, sizeof(bytes));
  PatchBytes(index_, entry0 + offsetof(storage::IndexEntry, reason2Mask), &mask, sizeof(mask));
  ExpectReported(
      {index_ + ": offset 120: entry 0 bytes", index_ + ": offset 128: entry 0 trigger-A mask"});
}

}  // namespace
}  // namespace tooltest
