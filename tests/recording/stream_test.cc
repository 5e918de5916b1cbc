// Stream header and stream data exports: what they return and what reaches the index and
// data files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/syscall_faults.h"
#include "recording_test_util.h"

namespace rectest {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

class StreamTest : public RecorderTest {
 protected:
  void SetUp() override {
    RecorderTest::SetUp();
    AddFiles(3);
  }
  void StartRecording() {
    ASSERT_EQ(_RECORDER_START(handle_), 1);
    ASSERT_FALSE(CurrentFile().empty());
  }
  std::string CurrentFile() {
    char name[1024] = {};
    if (_RECORDER_GETCURRENTRECFILE(handle_, name, sizeof(name)) != 1) return std::string();
    return name;
  }
  // The closer thread of the last rotation pads and opens files on its own; tests that
  // inject write faults wait for it so the fault hits only the call under test.
  void WaitForCloser() {
    ASSERT_TRUE(WaitUntil([&] {
      platform::MutexLock hold(&Rec().writeLock);
      return !Rec().closerThread || Rec().closerThread->Finished();
    }));
  }
  int32_t StreamData(const std::string& text, int32_t fileId) {
    return _RECORDER_WRITESTREAMDATA(handle_, 0, text.data(), static_cast<uint32_t>(text.size()),
                                     fileId, 0, 0);
  }
};

storage::IndexSummary HostSummary(int32_t lastEntry) {
  storage::IndexSummary s;
  std::memset(&s, 0, sizeof(s));
  s.startTime = 1700000000;
  s.endTime = 1700000360;
  s.dataBytes = 123456;
  s.lastEntry = lastEntry;
  for (uint32_t i = 0; i < storage::kIndexEntryCount; ++i) {
    s.entries[i].time = 1700000000 + 60 * static_cast<int32_t>(i);
    s.entries[i].bytes = 1000 + i;
    s.entries[i].reason1Mask = i;
  }
  return s;
}

TEST_F(StreamTest, NotRecordingBothReturnZeroAndChangeNothing) {
  Rec().intakeEnabled = 0;
  const storage::IndexSummary before = MemorySummary();
  const storage::IndexSummary host = HostSummary(3);
  EXPECT_EQ(_RECORDER_WRITESTREAMHEADER(handle_, 0, &host, sizeof(host), 0), 0);
  EXPECT_EQ(StreamData("payload", 1), 0);

  const storage::IndexSummary after = MemorySummary();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0);
  EXPECT_EQ(Rec().intakeEnabled.load(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  EXPECT_EQ(log_.Count(RECORDER_EVENT_WRITE_FAILED), 0u);
}

TEST_F(StreamTest, HeaderWhileRecordingWritesSummaryToIndexFile) {
  ASSERT_NO_FATAL_FAILURE(StartRecording());
  Rec().intakeEnabled = 0;
  // A longer block than a summary: only the summary's bytes are taken.
  std::vector<uint8_t> block(storage::kIndexSummarySize + 100, 0xAB);
  const storage::IndexSummary host = HostSummary(500);
  std::memcpy(block.data(), &host, sizeof(host));
  EXPECT_EQ(
      _RECORDER_WRITESTREAMHEADER(handle_, 0, block.data(), static_cast<uint32_t>(block.size()), 0),
      1);
  EXPECT_EQ(Rec().intakeEnabled.load(), 1);

  storage::IndexSummary expected = host;
  expected.lastEntry = storage::kLastEntryMax;  // 500 is outside the 120 entries
  const std::string index = storage::IndexFileName(CurrentFile());
  const auto expectOnDisk = [&] {
    const std::vector<uint8_t> disk =
        ReadBytes(index, storage::kIndexSummaryOffset, sizeof(expected));
    EXPECT_EQ(disk, std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&expected),
                                         reinterpret_cast<const uint8_t*>(&expected + 1)));
  };
  expectOnDisk();

  // A short block replaces only its own bytes; a negative entry number becomes 0.
  storage::IndexSummary head = HostSummary(-3);
  head.startTime = 1800000000;
  EXPECT_EQ(_RECORDER_WRITESTREAMHEADER(handle_, 0, &head, 16, 0), 1);
  expected.startTime = head.startTime;
  expected.lastEntry = 0;
  expectOnDisk();
}

TEST_F(StreamTest, DataReturnsZeroWhileIntakeIsEnabled) {
  ASSERT_NO_FATAL_FAILURE(StartRecording());
  const std::string file = CurrentFile();
  const storage::IndexSummary host = HostSummary(0);
  ASSERT_EQ(_RECORDER_WRITESTREAMHEADER(handle_, 0, &host, sizeof(host), 0), 1);
  // Intake is enabled from construction and after every stream header, so no call writes.
  EXPECT_EQ(StreamData("streamdata", 5), 0);
  EXPECT_EQ(StreamData("streamdata", 6), 0);
  EXPECT_EQ(CurrentFile(), file);
  EXPECT_NE(ReadBytes(file, 0, 10), Bytes("streamdata"));
}

// The steps behind the intake switch, reached by clearing it from inside the library.
TEST_F(StreamTest, DataWithIntakeDisabledFollowsFileIdentifier) {
  ASSERT_NO_FATAL_FAILURE(StartRecording());
  const std::string first = CurrentFile();
  Rec().intakeEnabled = 0;

  EXPECT_EQ(StreamData("hello", 5), 1);  // a new identifier: next file, from offset 0
  const std::string second = CurrentFile();
  EXPECT_NE(second, first);
  EXPECT_EQ(StreamData("world", 5), 1);  // same identifier: same file, appended
  EXPECT_EQ(CurrentFile(), second);
  EXPECT_EQ(StreamData("third", 6), 1);
  const std::string third = CurrentFile();
  EXPECT_NE(third, second);
  EXPECT_NE(third, first);

  EXPECT_EQ(ReadBytes(second, 0, 10), Bytes("helloworld"));
  EXPECT_EQ(ReadBytes(third, 0, 5), Bytes("third"));
}

TEST_F(StreamTest, FailedDataWriteRollsBackAndReports) {
  ASSERT_NO_FATAL_FAILURE(StartRecording());
  Rec().intakeEnabled = 0;
  ASSERT_EQ(StreamData("hello", 5), 1);
  const std::string file = CurrentFile();
  WaitForCloser();
  {
    // Three bytes reach the disk, then the disk is full.
    auto fault = platform::ScopedSyscallFault::ShortWritesThenFail(3, 1, ENOSPC);
    EXPECT_EQ(StreamData("world!", 5), 0);
  }
  ASSERT_EQ(log_.Count(RECORDER_EVENT_WRITE_FAILED), 1u);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_WRITE_FAILED, -1, file), 1u);
  // The next write starts where the failed one did.
  EXPECT_EQ(StreamData("XY", 5), 1);
  EXPECT_EQ(ReadBytes(file, 0, 7), Bytes("helloXY"));
}

}  // namespace
}  // namespace rectest
