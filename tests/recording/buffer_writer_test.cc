// Full write buffers go to the data file on the CBufferWriter's threads while the writer
// keeps gathering records: what reaches the files must be exactly what a writer that wrote
// every buffer itself would leave, the index file must never count bytes the data file does
// not hold yet, and a buffer lost behind the writer's back must be reported and uncounted.
#include "recording/buffer_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/syscalls.h"
#include "recording_test_util.h"

namespace rectest {
namespace {

// Records this large fill the 8 MiB buffer after seven, so most buffers are written because
// they are full, which is what CBufferWriter takes over.
constexpr uint32_t kBigPayload = 1u << 20;
constexpr uint32_t kBigRecord = static_cast<uint32_t>(storage::VideoRecordSize(kBigPayload, true));

std::atomic<int> g_failFd{-1};
std::atomic<int> g_failCalls{0};  // data file writes still to fail

ssize_t FailingDataWrite(int fd, const void* buf, size_t count, off_t offset) {
  if (fd == g_failFd.load() && g_failCalls.load() > 0) {
    g_failCalls.fetch_sub(1);
    errno = EIO;
    return -1;
  }
  return platform::RealSyscalls().pwrite(fd, buf, count, offset);
}

class BufferWriterTest : public RecorderTest {
 protected:
  void SetUp() override {
    RecorderTest::SetUp();
    AddFiles(2);
    ASSERT_EQ(_RECORDER_START(handle_), 1);
  }
  void TearDown() override {
    platform::SetSyscall(&platform::Syscalls::pwrite, platform::RealSyscalls().pwrite);
    RecorderTest::TearDown();
  }
  int32_t At(int second) { return LocalSeconds(2024, 3, 10, 10, 0, second); }
  void FeedBig(int32_t time) { Feed(time, 1, 0, kBigPayload); }
  bool WriterStarted() {
    platform::MutexLock hold(&Rec().writeLock);
    return Rec().bufferWriter != nullptr;
  }
  std::vector<int32_t> StoredTimes() { return TimesOf(ReadIndexedRecords(DataPath(0))); }
};

TEST_F(BufferWriterTest, FullBuffersWrittenBehindLeaveEveryRecordInOrder) {
  std::vector<int32_t> fed;
  for (int second = 0; second < 3; ++second) {
    for (int i = 0; i < 20; ++i) {
      FeedBig(At(second));
      fed.push_back(At(second));
    }
  }
  EXPECT_TRUE(WriterStarted());
  _RECORDER_STOP(handle_);

  EXPECT_EQ(StoredTimes(), fed);
  ExpectSummaryEq(ReadSummary(IndexPath(0)), ReplaySummary(ReadIndexedRecords(DataPath(0))));
  for (const HostEvent& e : log_.Events()) EXPECT_NE(e.code, RECORDER_EVENT_WRITE_FAILED);
}

TEST_F(BufferWriterTest, SummaryOnDiskNeverCountsBytesTheDataFileLacks) {
  for (int i = 0; i < 40; ++i) {
    FeedBig(At(0));
    // Whatever the summary counts at this moment must already be on disk: the last record
    // it counts is whole.
    const uint32_t counted = ReadSummary(IndexPath(0)).dataBytes;
    ASSERT_EQ(counted % kBigRecord, 0u);
    if (counted == 0) continue;
    const std::vector<StoredRecord> last =
        testsupport::ParseRecords(ReadBytes(DataPath(0), counted - kBigRecord, kBigRecord));
    ASSERT_EQ(last.size(), 1u) << "after record " << i << ", " << counted << " bytes counted";
    EXPECT_EQ(last[0].VideoPayload(), Pattern(kBigPayload, static_cast<uint32_t>(At(0))));
  }
  _RECORDER_STOP(handle_);
  EXPECT_EQ(ReadSummary(IndexPath(0)).dataBytes, 40 * kBigRecord);
}

TEST_F(BufferWriterTest, LostBufferIsReportedUncountedAndOverwrittenByTheNext) {
  // Two full buffers go out behind the writer's back, then the change of second writes the
  // rest itself, leaving one record of the new second buffered.
  for (int i = 0; i < 16; ++i) FeedBig(At(0));
  FeedBig(At(1));
  ASSERT_TRUE(WriterStarted());
  {
    platform::MutexLock hold(&Rec().writeLock);
    g_failFd = Rec().dataFile->fd();
  }
  g_failCalls = 1;
  platform::SetSyscall(&platform::Syscalls::pwrite, &FailingDataWrite);
  // The next full buffer (that record and six more) is lost behind the writer's back.
  for (int i = 0; i < 15; ++i) FeedBig(At(1));
  _RECORDER_STOP(handle_);
  platform::SetSyscall(&platform::Syscalls::pwrite, platform::RealSyscalls().pwrite);

  EXPECT_EQ(g_failCalls.load(), 0);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_WRITE_FAILED, -1, DataPath(0)), 1u);
  // The buffers after the lost one took its place: every counted record is on disk and the
  // summary describes exactly them.
  std::vector<int32_t> expected(16, At(0));
  expected.insert(expected.end(), 16 - 7, At(1));
  EXPECT_EQ(StoredTimes(), expected);
  ExpectSummaryEq(ReadSummary(IndexPath(0)), ReplaySummary(ReadIndexedRecords(DataPath(0))));
}

}  // namespace
}  // namespace rectest
