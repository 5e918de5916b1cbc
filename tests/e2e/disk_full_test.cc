// Recording onto a file system that runs out of room. A small tmpfs is mounted for each
// test (root only; the tests skip otherwise). A data file reserves its nominal size when it
// is prepared, so on a disk without that room its opening fails. With only its first MiB
// reserved (as on a file system that cannot reserve), a filler file takes part of the tmpfs,
// so the recorder's data writes hit ENOSPC, or its file creations find no free inode.
// Checked: the host hears of it through its event callback, nothing crashes, every record
// counted by an index summary is intact, and recording resumes once the filler is deleted.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "recorder.h"
#include "recording/file_closer.h"
#include "storage/formats.h"
#include "support/event_log.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"
#include "support/wait_until.h"

namespace {

constexpr uint32_t kFramesPerSecond = 8;
constexpr uint32_t kPayloadSize = 128 * 1024;  // 1 MiB of frames per recorded second

using testsupport::ReadSummary;
using testsupport::WaitUntil;

class DiskFullTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDataFileReserveForTest(1u << 20); }
  void TearDown() override {
    if (recorder_ != nullptr) _RECORDER_END(recorder_);
    if (mounted_) ::umount2(mnt_.c_str(), MNT_DETACH);
    SetDataFileReserveForTest(0);
  }

  // Mounts the tmpfs; the reason when this process may not.
  std::string Mount(const std::string& options) {
    if (::geteuid() != 0) return "mounting a tmpfs needs root";
    if (::mount("tmpfs", mnt_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      return std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    }
    mounted_ = true;
    return "";
  }

  void MakeFiller(size_t bytes, const std::string& name = "filler") {
    std::ofstream(mnt_ + name, std::ios::binary) << std::string(bytes, 'F');
    ASSERT_EQ(testsupport::FileSize(mnt_ + name), bytes) << "the filler file must fit";
  }

  void StartRecorder(int files, int32_t started = 1) {
    recorder_ = _RECORDER_INIT("diskfull", log_.Context(), &testsupport::EventLog::Callback);
    ASSERT_NE(recorder_, nullptr);
    for (int n = 1; n <= files; ++n) _RECORDER_ADDFILEPATH(recorder_, DataPath(n).c_str());
    _RECORDER_SETRECORD(recorder_, 0, 1);
    ASSERT_EQ(_RECORDER_START(recorder_), started);
  }

  std::string DataPath(int n) const { return mnt_ + "000" + std::to_string(n) + ".VDB"; }
  std::string IndexPath(int n) const { return mnt_ + "000" + std::to_string(n) + ".FIH"; }
  size_t WriteFailures() { return log_.Count(RECORDER_EVENT_WRITE_FAILED, -1, DataPath(1)); }

  // One second of frames on channel 0 at `t`; each payload starts with its sequence number.
  void FeedSecond(int64_t t) {
    testsupport::g_testNow = t;
    std::vector<uint8_t> payload = testsupport::Pattern(kPayloadSize, 3);
    for (uint32_t f = 0; f < kFramesPerSecond; ++f) {
      const uint32_t sequence = static_cast<uint32_t>((t - base_) << 8 | f);
      std::memcpy(payload.data(), &sequence, sizeof(sequence));
      FrameDescriptor d = testsupport::VideoFrame(payload, 0);
      ASSERT_EQ(_RECORDER_WRITEVIDEO(recorder_, 0, &d), 1);
    }
  }

  // The records of data file n up to its index's dataBytes, which its minute entries add up
  // to: every one whole, the last ending there, their sequences rising and each matching its
  // record's time: (records, last sequence).
  std::pair<uint32_t, int64_t> CheckDataFile(int n) const {
    const std::string dataPath = DataPath(n);
    const storage::IndexSummary summary = ReadSummary(IndexPath(n));
    EXPECT_EQ(testsupport::EntryBytes(summary), summary.dataBytes) << dataPath;
    std::pair<uint32_t, int64_t> seen(0, -1);
    for (const testsupport::StoredRecord& r :
         testsupport::ReadRecords(dataPath, summary.dataBytes)) {
      const std::vector<uint8_t> payload = r.VideoPayload();
      EXPECT_EQ(payload.size(), kPayloadSize) << dataPath << " at " << r.offset;
      if (payload.size() < 4) break;
      const int64_t sequence = storage::LoadU32(payload.data());
      EXPECT_GT(sequence, seen.second) << dataPath << " at " << r.offset;
      EXPECT_EQ(r.header.time, base_ + (sequence >> 8)) << dataPath << " at " << r.offset;
      seen = {seen.first + 1, sequence};
    }
    return seen;
  }

  testsupport::ScopedTimeZone zone_{"UTC"};
  const int64_t base_ = testsupport::LocalSeconds(2024, 6, 10, 9, 0, 0);
  testsupport::ScopedTestClock clock_{base_};
  testsupport::ScratchDir dir_;
  const std::string mnt_ = dir_.Sub("mnt");
  testsupport::EventLog log_;
  RECORDER_HANDLE recorder_ = nullptr;
  bool mounted_ = false;
};

TEST_F(DiskFullTest, ADiskWithoutRoomForADataFileFailsItsOpening) {
  if (const std::string why = Mount("size=16m"); !why.empty()) GTEST_SKIP() << why;
  SetDataFileReserveForTest(0);
  StartRecorder(2, /*started=*/0);
  ASSERT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, -1, DataPath(1)), 1u);
  EXPECT_EQ(log_.Events().front().error, ENOSPC);  // the cause, in errno during the callback
  EXPECT_EQ(log_.Count(RECORDER_EVENT_WRITE_FAILED), 0u);
}

TEST_F(DiskFullTest, WritesFailWhenFullKeepWhatWasRecordedAndResumeWhenSpaceIsFreed) {
  if (const std::string why = Mount("size=16m"); !why.empty()) GTEST_SKIP() << why;
  MakeFiller(4u << 20);
  StartRecorder(2);
  const std::string data = DataPath(1);
  const std::string index = IndexPath(1);

  // Each new second writes the last one out: either the summary grows or event 3 comes.
  int64_t t = base_;
  uint32_t before = 0;
  for (;; ++t) {
    ASSERT_LT(t - base_, 20) << "16 MiB should fill within 12 seconds of 1 MiB";
    const size_t failures = WriteFailures();
    FeedSecond(t);
    if (t == base_) continue;
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadSummary(index).dataBytes > before || WriteFailures() > failures; }));
    if (WriteFailures() > failures) break;
    before = ReadSummary(index).dataBytes;
  }

  // Full: the failed second is not counted, and what the summary counts is intact.
  const storage::IndexSummary full = ReadSummary(index);
  EXPECT_EQ(full.dataBytes, before);
  EXPECT_GT(full.dataBytes, 6u << 20);
  const uint32_t recordsAtFull = CheckDataFile(1).first;
  EXPECT_EQ(recordsAtFull * (storage::kRecordOverhead + storage::kVideoTagSize + kPayloadSize),
            full.dataBytes);
  // The files themselves could all be made: a full tmpfs still has inodes, and beyond its
  // first MiB the data file is sparse here.
  for (const testsupport::RecorderEvent& e : log_.Events()) {
    EXPECT_FALSE(e.code == RECORDER_EVENT_FILE_OPENED && e.status != 0) << e.path;
    if (e.code == RECORDER_EVENT_WRITE_FAILED) {
      EXPECT_EQ(std::make_pair(e.path, e.error), std::make_pair(data, ENOSPC));
    }
  }

  // Still full: the next second fails as well and changes nothing on disk.
  const size_t failures = WriteFailures();
  FeedSecond(++t);
  ASSERT_TRUE(WaitUntil([&] { return WriteFailures() > failures; }));
  EXPECT_EQ(ReadSummary(index).dataBytes, full.dataBytes);

  // Room again: the second buffered meanwhile is written, right after the last good one.
  std::filesystem::remove(mnt_ + "filler");
  FeedSecond(++t);
  ASSERT_TRUE(WaitUntil([&] { return ReadSummary(index).dataBytes > full.dataBytes; }));
  _RECORDER_STOP(recorder_);
  const auto [records, last] = CheckDataFile(1);
  EXPECT_GT(records, recordsAtFull);
  // The seconds that came while the disk was full are lost; the one after is stored (the
  // newest may still have sat in the ring when recording stopped).
  EXPECT_GE(last >> 8, t - 1 - base_);
}

TEST_F(DiskFullTest, AFileThatCannotBeCreatedIsReportedAndTheNextRotationRecovers) {
  // Inodes: the root, four filler files and the first pair. The second pair has none left.
  // Deleting the fillers frees enough for the closer thread, still retrying file 2 in the
  // background, and for file 3 together.
  if (const std::string why = Mount("size=16m,nr_inodes=7"); !why.empty()) GTEST_SKIP() << why;
  for (int i = 0; i < 4; ++i) MakeFiller(4096, "filler" + std::to_string(i));
  StartRecorder(3);

  FeedSecond(base_);
  FeedSecond(base_ + 1);
  ASSERT_TRUE(WaitUntil([&] { return ReadSummary(IndexPath(1)).dataBytes > 0; }));
  // A frame on the next day rotates: file 2 cannot be created.
  const int64_t day2 = base_ + 86400;
  FeedSecond(day2);
  ASSERT_TRUE(WaitUntil([&] { return log_.Count(RECORDER_EVENT_FILE_OPENED, -1, DataPath(2)); }));
  FeedSecond(day2 + 1);
  FeedSecond(day2 + 2);
  EXPECT_FALSE(std::filesystem::exists(DataPath(2)));
  char current[512] = {};
  EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(recorder_, current, sizeof(current)), 0)
      << "no data file is being recorded";

  // File 1 was finished before the failed rotation and stays readable.
  const storage::IndexSummary first = ReadSummary(IndexPath(1));
  EXPECT_EQ(CheckDataFile(1).second >> 8, 1);

  // With an inode free again, the next day's rotation creates file 3 and records into it.
  for (int i = 0; i < 4; ++i) std::filesystem::remove(mnt_ + "filler" + std::to_string(i));
  const int64_t day3 = day2 + 86400;
  FeedSecond(day3);
  FeedSecond(day3 + 1);
  FeedSecond(day3 + 2);
  ASSERT_TRUE(WaitUntil([&] { return ReadSummary(IndexPath(3)).dataBytes > 0; }));
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(3)), 1u);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, IndexPath(3)), 1u);
  _RECORDER_STOP(recorder_);
  EXPECT_GE(CheckDataFile(3).second >> 8, day3 - base_);
  EXPECT_EQ(ReadSummary(IndexPath(1)).dataBytes, first.dataBytes) << "file 1 is not touched again";
}

}  // namespace
