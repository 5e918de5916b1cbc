// Recording onto a file system that runs out of room. A small tmpfs is mounted over the
// host's directory (root only; the test skips otherwise). A data file reserves its nominal
// size when it is prepared, so on a disk without that room its opening fails. With only its
// first MiB reserved (as on a file system that cannot reserve), a filler file takes part of
// the tmpfs, so the recorder's data writes hit ENOSPC. Checked: the host hears of it through
// its event callback, nothing crashes, every record counted by an index summary is intact,
// and recording resumes once the filler is deleted. (A file that cannot be created at a
// rotation, for want of an inode or a directory, takes the path the writer tests check.)
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

#include "support/data_file_reserve.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;
constexpr int64_t kBase = 1718010000;  // 2024-06-10 09:00 UTC
constexpr uint32_t kFramesPerSecond = 8;
constexpr uint32_t kPayloadSize = 128 * 1024;  // 1 MiB of frames per recorded second

// A tmpfs over `at` while it lives; `why` tells why it could not be mounted.
struct Tmpfs {
  Tmpfs(const std::string& at, const char* options) : at(at) {
    if (::geteuid() != 0)
      why = "mounting a tmpfs needs root";
    else if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options) != 0)
      why = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
  }
  ~Tmpfs() {
    if (why.empty()) ::umount2(at.c_str(), MNT_DETACH);
  }
  std::string at, why;
};

// One second of frames on channel 0 at `t`; each payload starts with its sequence number.
void FeedSecond(RecordingHost& host, int64_t t) {
  host.SetTime(t);
  std::vector<uint8_t> payload = Pattern(kPayloadSize, 3);
  for (uint32_t f = 0; f < kFramesPerSecond; ++f) {
    storage::StoreU32(payload.data(), static_cast<uint32_t>((t - kBase) << 8 | f));
    FrameDescriptor d = VideoFrame(payload, 0);
    ASSERT_EQ(_RECORDER_WRITEVIDEO(host.handle, 0, &d), 1);
  }
}

// The records of data file n up to its index's dataBytes, which its minute entries add up
// to: every one whole, the last ending there, their sequences rising and each matching its
// record's time: (records, second of the last one).
std::pair<uint32_t, int64_t> CheckDataFile(const RecordingHost& host, int n) {
  const storage::IndexSummary summary = ReadSummary(host.Index(n));
  EXPECT_EQ(EntryBytes(summary), summary.dataBytes) << host.Data(n);
  std::pair<uint32_t, int64_t> seen(0, -1);
  for (const StoredRecord& r : ReadRecords(host.Data(n), summary.dataBytes)) {
    const std::vector<uint8_t> payload = r.VideoPayload();
    const int64_t sequence = payload.size() == kPayloadSize ? storage::LoadU32(payload.data()) : -1;
    EXPECT_TRUE(sequence > seen.second && r.header.time == kBase + (sequence >> 8))
        << host.Data(n) << " at " << r.offset;
    seen = {seen.first + 1, sequence};
  }
  return {seen.first, seen.second >> 8};
}

// A data file that reserves its nominal size does not fit: its opening fails and tells the
// cause. With only its first MiB reserved, and a filler taking 4 of the 16 MiB, the writes
// fill the disk.
TEST(DiskFullTest, WritesFailWhenFullKeepWhatWasRecordedAndResumeWhenSpaceIsFreed) {
  RecordingHost host("UTC", kBase);
  const Tmpfs tmpfs(host.dir.path(), "size=16m");
  if (!tmpfs.why.empty()) GTEST_SKIP() << tmpfs.why;
  host.AddFiles(2, 1);
  EXPECT_EQ(_RECORDER_START(host.handle), 0);
  ASSERT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, -1, host.Data(0)), 1u);
  EXPECT_EQ(host.log.Events().front().error, ENOSPC);  // the cause, in errno during the callback
  const ScopedDataFileReserve reserve(1u << 20);
  std::ofstream(host.dir / "filler") << std::string(4u << 20, 'F');
  ASSERT_EQ(_RECORDER_START(host.handle), 1);  // into the next file of the set
  const std::string data = host.Data(1);
  const auto failures = [&] { return host.log.Count(RECORDER_EVENT_WRITE_FAILED, -1, data); };
  const auto dataBytes = [&] { return ReadSummary(host.Index(1)).dataBytes; };
  // Each new second writes the last one out: either the summary grows or event 3 comes.
  int64_t t = kBase;
  uint32_t before = 0;
  FeedSecond(host, t);
  for (;; before = dataBytes()) {
    ASSERT_LT(++t - kBase, 20) << "16 MiB should fill within 12 seconds of 1 MiB";
    const size_t failed = failures();
    FeedSecond(host, t);
    ASSERT_TRUE(WaitUntil([&] { return dataBytes() > before || failures() > failed; }));
    if (failures() > failed) break;
  }
  // Full: the failed second is not counted, and what the summary counts is intact.
  const uint32_t recordsAtFull = CheckDataFile(host, 1).first;
  EXPECT_EQ(std::make_pair(dataBytes(), dataBytes() > (6u << 20)), std::make_pair(before, true));
  // Room again: the second buffered meanwhile is written, right after the last good one. The
  // seconds that came while the disk was full are lost; the one after is stored (the newest
  // may still have sat in the ring when recording stopped).
  std::filesystem::remove(host.dir / "filler");
  FeedSecond(host, ++t);
  ASSERT_TRUE(WaitUntil([&] { return dataBytes() > before; }));
  _RECORDER_STOP(host.handle);
  const auto [records, last] = CheckDataFile(host, 1);
  EXPECT_GT(records, recordsAtFull);
  EXPECT_GE(last, t - 1 - kBase);
}

}  // namespace
