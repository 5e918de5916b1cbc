// The writer on its own: records handed to it at chosen times, so minutes, days and 119
// entries pass in microseconds; the files it leaves are read back byte for byte.
#include "recording/writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <tuple>
#include <vector>

#include "platform/syscall_faults.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;
using platform::CTime;
using platform::ScopedSyscallFault;

constexpr uint32_t kFedSize = static_cast<uint32_t>(storage::VideoRecordSize(100, true));

int32_t At(int day, int hour, int minute, int second) {
  return LocalSeconds(2024, 3, day, hour, minute, second);
}

class WriterTest : public testing::Test {
 protected:
  std::string Data(int n) const { return dir_ / ("file" + std::to_string(n) + ".VDB"); }
  std::string Index(int n) const { return storage::IndexFileName(Data(n)); }
  bool Start(std::vector<std::string> paths) {
    platform::MutexLock hold(&writer_->lock);
    return writer_->Start(std::move(paths));
  }
  bool Start(int files) {
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i) paths.push_back(Data(i));
    return Start(paths);
  }
  void Feed(int32_t time, uint32_t type = 1, uint32_t length = 100) {
    const std::vector<uint8_t> payload = Pattern(length, static_cast<uint32_t>(time));
    const storage::RecordFields fields{.time = time, .type = type, .keyFrame = true, .reason = 1};
    std::vector<uint8_t> record(storage::VideoRecordSize(length, true));
    ASSERT_EQ(
        storage::BuildVideoRecord(record.data(), record.size(), fields, payload.data(), length),
        record.size());
    platform::MutexLock hold(&writer_->lock);
    writer_->WriteFrame(record.data(), static_cast<uint32_t>(record.size()));
  }
  // Stops, then checks that each file's index (but file `skip`'s) counts exactly the records
  // it holds.
  void Stop(int skip = -1) {
    {
      platform::MutexLock hold(&writer_->lock);
      writer_->Stop();
    }
    for (int n = 0; n < 5; ++n) {
      if (n != skip && FileSize(Index(n)) != 0)
        ExpectSummaryEq(ReadSummary(Index(n)), ReplaySummary(Stored(n)));
    }
  }
  // Events of a path ending in `path`.
  size_t Count(int32_t code, int32_t status, const std::string& path) {
    return std::count_if(events_.begin(), events_.end(), [&](const RecorderEvent& e) {
      return e.code == code && e.status == status && e.path.ends_with(path);
    });
  }
  size_t Opened() { return Count(2, 0, ".VDB"); }
  std::vector<StoredRecord> Stored(int n) { return ReadIndexedRecords(Data(n)); }
  std::vector<int32_t> Times(int n) { return TimesOf(Stored(n)); }

  ScopedTimeZone zone_{"UTC"};
  ScratchDir dir_;
  std::vector<RecorderEvent> events_;
  std::shared_ptr<Writer> writer_ = std::make_shared<Writer>(
      [this](int32_t code, int32_t status, const std::string& path, int error) {
        events_.push_back({code, status, path, error});
      });
};

TEST(ClassifyRecordTest, PlaceAndWriteFollowTheSummaryTheTimeAndTheBuffer) {
  storage::IndexSummary s = storage::MakeEmptySummary();
  storage::SummaryBuilder(&s).Begin(At(10, 10, 0, 0));
  storage::IndexSummary full = s, big = s, past = s;
  full.lastEntry = storage::kLastEntryMax;
  big.dataBytes = kRotateDataBytes + 1;
  past.lastEntry = -1;
  using P = RecordPlace;
  using W = RecordWrite;
  const CTime t0(At(10, 10, 0, 0));
  const struct {
    const storage::IndexSummary& summary;
    int32_t time;
    CTime last;
    bool overflow;
    RecordStep step;
  } rows[] = {
      {s, At(10, 10, 0, 0), t0, false, {P::kSameEntry, W::kNone}},
      {s, At(10, 10, 0, 0), t0, true, {P::kSameEntry, W::kBackground}},
      {s, At(10, 10, 0, 1), t0, false, {P::kSameEntry, W::kFlush}},
      {s, At(10, 10, 0, 1), t0, true, {P::kSameEntry, W::kFlush}},
      {s, At(10, 10, 1, 0), t0, false, {P::kNewEntry, W::kFlush}},
      {s, At(10, 9, 59, 0), t0, false, {P::kSameEntry, W::kFlush}},  // late: stays
      {s, At(11, 0, 0, 0), t0, false, {P::kNewFile, W::kFlush}},
      {s, At(9, 23, 0, 0), t0, false, {P::kSameEntry, W::kFlush}},
      {full, At(10, 10, 0, 0), t0, false, {P::kNewFile, W::kNone}},
      {past, At(10, 10, 0, 0), t0, false, {P::kNewFile, W::kNone}},
      {big, At(10, 10, 0, 0), t0, true, {P::kNewFile, W::kBackground}},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(ClassifyRecord(r.summary, CTime(r.time), r.last, r.overflow), r.step)
        << r.time << " overflow " << r.overflow;
  }
  big.dataBytes = kRotateDataBytes;
  EXPECT_EQ(ClassifyRecord(big, t0, t0, false).place, P::kSameEntry);
}

TEST_F(WriterTest, MinutesDaysAndLateRecordsLandWhereTheSummarySays) {
  // Video and audio reach the writer through two rings, so a record can come after a later
  // one: minute entries and the file's day only move forward.
  ASSERT_TRUE(Start(3));
  Feed(At(10, 23, 58, 59));
  Feed(At(10, 23, 59, 0));      // entry 1
  Feed(At(10, 23, 58, 59), 0);  // late audio: counted in entry 1
  Feed(At(10, 23, 59, 59));
  Feed(At(11, 0, 0, 0));        // the next day: the new file's first record
  Feed(At(10, 23, 59, 59), 0);  // late audio of the day before: stays in the new file
  Feed(At(11, 0, 0, 1));
  for (uint32_t type : {5u, 19u, 7u}) Feed(At(11, 0, 0, 1), type);  // never stored
  EXPECT_EQ(Opened(), 2u);
  EXPECT_EQ(Count(2, 0, Index(1)), 1u);
  Stop();
  EXPECT_EQ(Times(0), (std::vector<int32_t>{At(10, 23, 58, 59), At(10, 23, 59, 0),
                                            At(10, 23, 58, 59), At(10, 23, 59, 59)}));
  EXPECT_EQ(Times(1), (std::vector<int32_t>{At(11, 0, 0, 0), At(10, 23, 59, 59), At(11, 0, 0, 1)}));
  const storage::IndexSummary s0 = ReadSummary(Index(0)), s1 = ReadSummary(Index(1));
  EXPECT_EQ(std::make_tuple(s0.lastEntry, s0.entries[1].time, s0.entries[1].audioMask),
            std::make_tuple(1, At(10, 23, 59, 0), 1u));
  EXPECT_EQ(std::make_tuple(s1.startTime, s1.lastEntry, s1.dataBytes, s1.entries[0].audioMask),
            std::make_tuple(At(11, 0, 0, 0), 0, 3 * kFedSize, 1u));
  EXPECT_EQ(storage::IndexRecordName(ReadIndexFile(Index(1)).record), "file1.VDB");
  // The finished file was padded to its nominal size by the closer thread.
  EXPECT_TRUE(WaitUntil([&] { return FileSize(Data(0)) >= storage::kDataFileSize; }));
}

TEST_F(WriterTest, EntryOneHundredNineteenOrMoreThan199MiBChangeTheFile) {
  {
    const storage::IndexSummary any = storage::MakeEmptySummary();
    platform::MutexLock hold(&writer_->lock);
    EXPECT_EQ(writer_->WriteStreamHeader(&any, sizeof(any)), 0);  // not recording
  }
  ASSERT_TRUE(Start(3));
  for (int m = 0; m < 120; ++m) Feed(At(10, 10 + m / 60, m % 60, 0));
  EXPECT_EQ(Opened(), 1u);
  Feed(At(10, 12, 0, 0));  // entry 119 is in use: stored in the next file
  EXPECT_EQ(Opened(), 2u);
  // The host's stream header can claim 199 MiB: not above yet, then above.
  for (uint32_t bytes : {kRotateDataBytes, kRotateDataBytes + 1}) {
    storage::IndexSummary claimed = storage::MakeEmptySummary();
    storage::SummaryBuilder(&claimed).Begin(At(10, 12, 0, 0));
    claimed.dataBytes = bytes;
    {
      platform::MutexLock hold(&writer_->lock);
      ASSERT_EQ(writer_->WriteStreamHeader(&claimed, sizeof(claimed)), 1);
    }
    Feed(At(10, 12, 0, 0));
  }
  EXPECT_EQ(Opened(), 3u);
  Stop(1);  // file 1 holds the host's claimed summary
  EXPECT_EQ(Stored(0).size(), 120u);
  EXPECT_EQ(Times(2), (std::vector<int32_t>{At(10, 12, 0, 0)}));
}

// Where START goes on given the newest existing file and the overwrite mode.
TEST_F(WriterTest, StartGoesOnAfterTheNewestFileAndWrapsOnlyInOverwriteMode) {
  const struct {
    int newest, mode;
    bool started;
    int opened, overwriteCount;
  } rows[] = {{1, 1, true, 2, 0}, {2, 1, true, 0, 1}, {2, 0, false, -1, 1}};
  const auto base = std::filesystem::file_time_type::clock::now() - std::chrono::hours(5);
  for (const auto& r : rows) {
    for (int i = 0; i < 3; ++i) {  // file `newest` written last
      ScratchDir::WriteText(Data(i), "x");
      std::filesystem::last_write_time(Data(i),
                                       base + std::chrono::minutes(i == r.newest ? 60 : i));
    }
    events_.clear();
    writer_->SetOverwriteMode(r.mode);
    EXPECT_EQ(Start(3), r.started);
    EXPECT_EQ(writer_->overwriteCount(), r.overwriteCount);
    std::string name;
    EXPECT_EQ(writer_->CurrentDataFile(&name), r.started);
    EXPECT_EQ(name, r.started ? Data(r.opened) : "");
    EXPECT_EQ(Opened(), r.started ? 1u : 0u);
    Stop();
  }
}

// Past the last file of the set: overwrite mode wraps to the first file; otherwise the change
// is refused and the last file is rewritten from its start, again at each refusal.
TEST_F(WriterTest, NextFileAfterTheLast) {
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    std::filesystem::remove_all(dir_.root());
    std::filesystem::create_directory(dir_.root());
    events_.clear();
    writer_->SetOverwriteMode(mode);
    ASSERT_TRUE(Start(2));
    Feed(At(10, 10, 0, 0));
    Feed(At(11, 10, 0, 0));  // -> file 1
    Feed(At(11, 10, 0, 1));
    EXPECT_EQ(writer_->overwriteCount(), 0);
    Feed(At(12, 10, 0, 0));  // -> file 0, or refused
    EXPECT_EQ(writer_->overwriteCount(), 1);
    Feed(At(12, 10, 0, 1));
    Feed(At(13, 10, 0, 0));  // -> file 1, or refused again
    Feed(At(13, 10, 0, 1));
    Stop();
    EXPECT_EQ(Opened(), mode == 1 ? 4u : 2u);
    EXPECT_EQ(Times(0), mode == 1 ? (std::vector<int32_t>{At(12, 10, 0, 0), At(12, 10, 0, 1)})
                                  : (std::vector<int32_t>{At(10, 10, 0, 0)}));
    EXPECT_EQ(Times(1), (std::vector<int32_t>{At(13, 10, 0, 0), At(13, 10, 0, 1)}));
  }
}

// The closer prepares the next file ahead; a file that cannot be opened is reported with its
// cause, what comes for it is dropped, the next rotation recovers, and STOP does not wait for
// a closer that keeps failing on a missing directory.
TEST_F(WriterTest, FileThatCannotBeOpenedIsReportedTheNextRotationRecoversAndStopIsQuick) {
  const std::string missing = dir_ / "missing/file2.VDB";
  ASSERT_TRUE(Start({Data(0), Data(1), missing, Data(3), dir_ / "missing/file4.VDB"}));
  EXPECT_TRUE(WaitUntil(
      [&] { return FileSize(Data(1)) == storage::kDataFileSize && FileSize(Index(1)) == 0; }));
  Feed(At(10, 10, 0, 0));
  // Nothing is written within the second but the test write at the start of the file.
  EXPECT_EQ(storage::LoadU32(ReadBytes(Data(0), 0, 4).data()), storage::kRecordStartMarker);
  EXPECT_EQ(ReadSummary(Index(0)).dataBytes, 0u);
  Feed(At(11, 10, 0, 0));  // -> file 1, prepared
  EXPECT_EQ(FileSize(Index(1)), storage::kIndexFileSize);
  Feed(At(12, 10, 0, 0));  // -> the missing file
  ASSERT_EQ(Count(2, -1, missing), 1u);
  EXPECT_EQ(events_.back().error, ENOENT);
  std::string name;
  EXPECT_FALSE(writer_->CurrentDataFile(&name));
  Feed(At(12, 10, 0, 1));  // discarded, not counted
  Feed(At(13, 10, 0, 0));  // -> file 3; its closer keeps failing on the missing directory
  Feed(At(13, 10, 0, 1));
  const auto before = std::chrono::steady_clock::now();
  Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_EQ(Times(1), (std::vector<int32_t>{At(11, 10, 0, 0)}));
  EXPECT_EQ(Times(3), (std::vector<int32_t>{At(13, 10, 0, 0), At(13, 10, 0, 1)}));
  EXPECT_EQ(ReadSummary(Index(3)).dataBytes, 2 * kFedSize);
}

// Write faults: the host hears of each with its errno, the summary never counts bytes the
// data file lacks, and what follows is written where the lost bytes would have gone.
TEST_F(WriterTest, WriteFaultsAreReportedWithTheirCauseAndNeverCounted) {
  ASSERT_TRUE(Start(2));
  {
    ScopedSyscallFault fault(ScopedSyscallFault::Call::kWrite, EIO, 0, 1);
    Feed(At(10, 10, 0, 0));  // the test write at the start fails: buffered, counted, reported
  }
  ASSERT_EQ(Count(3, -1, Data(0)), 1u);
  Feed(At(10, 10, 0, 0));  // the test write is tried again, and succeeds
  Feed(At(10, 10, 0, 1));  // the first two records reach the file
  {
    auto fault = ScopedSyscallFault::ShortWritesThenFail(100, 1, EIO);
    Feed(At(10, 10, 0, 2));  // writing the second record fails after 100 bytes
  }
  ASSERT_EQ(Count(3, -1, Data(0)), 2u);
  EXPECT_EQ(events_.back().error, EIO);
  {
    ScopedSyscallFault fault(ScopedSyscallFault::Call::kWrite, ENOSPC, 1, 1);  // the summary
    Feed(At(10, 10, 0, 3));
    EXPECT_EQ(fault.faults(), 1);
  }
  ASSERT_EQ(Count(3, -1, Index(0)), 1u);
  EXPECT_EQ(events_.back().error, ENOSPC);
  Feed(At(10, 10, 0, 4));
  Stop();
  const std::vector<StoredRecord> records = Stored(0);
  EXPECT_EQ(TimesOf(records),
            (std::vector<int32_t>{At(10, 10, 0, 0), At(10, 10, 0, 0), At(10, 10, 0, 2),
                                  At(10, 10, 0, 3), At(10, 10, 0, 4)}));
}

// While the file cannot be written the records wait in the buffer; when it would overflow
// they are dropped, and the summary must stop counting them.
TEST_F(WriterTest, RecordsDroppedFromAFullBufferAreNotCounted) {
  ASSERT_TRUE(Start(2));
  {
    ScopedSyscallFault fault(ScopedSyscallFault::Call::kWrite, EIO, 0,
                             ScopedSyscallFault::kPersistent, ".VDB");
    for (int i = 0; i < 9; ++i) Feed(At(10, 10, 0, 0), 1, 1u << 20);
  }
  Feed(At(10, 10, 0, 1));
  Stop();
  const std::vector<StoredRecord> records = Stored(0);
  EXPECT_LT(records.size(), 10u);
}

// A header file lists the set; each file's summary also goes to its record there.
TEST_F(WriterTest, HeaderFileRecordsGetTheSummariesAndAFailedStartLeavesItUntouched) {
  const std::string header = dir_ / "set";
  WriteHeaderFile(header, 3, {MakeFileInfo(Data(0)), MakeFileInfo(""), MakeFileInfo(Data(2))});
  {
    platform::MutexLock hold(&writer_->lock);
    writer_->SetHeaderFile(header, 1);
  }
  const std::string before = ScratchDir::ReadText(header);
  {
    ScopedSyscallFault fault(ScopedSyscallFault::Call::kOpen, EACCES, 0,
                             ScopedSyscallFault::kPersistent, ".VDB");
    EXPECT_FALSE(Start(0));
  }
  EXPECT_EQ(Count(2, -1, Data(0)), 1u);
  EXPECT_EQ(ScratchDir::ReadText(header), before);
  ASSERT_TRUE(Start(0));
  Feed(At(10, 10, 0, 0));
  Feed(At(11, 10, 0, 0));  // -> the second listed file, header record 2
  Feed(At(11, 10, 0, 1));
  Stop();
  for (int n : {0, 2}) {
    storage::FileInfo info{};
    const std::vector<uint8_t> bytes = ReadBytes(header, storage::HeaderFileInfoOffset(n));
    std::memcpy(&info, bytes.data(), std::min(bytes.size(), sizeof(info)));
    EXPECT_EQ(storage::FileInfoPath(info), Data(n));
    ExpectSummaryEq(info.summary, ReadSummary(Index(n)));
    EXPECT_EQ(info.summary.dataBytes, (n == 0 ? 1 : 2) * kFedSize);
  }
}

TEST_F(WriterTest, ASecondWriterIsRefusedTheFilesTheFirstOneRecords) {
  ASSERT_TRUE(Start(3));
  Feed(At(10, 10, 0, 0));
  Feed(At(10, 10, 0, 1));  // file 0 counts bytes now: the newest
  ASSERT_TRUE(WaitUntil([&] { return FileSize(Data(1)) == storage::kDataFileSize; }));
  std::vector<RecorderEvent> otherEvents;
  auto other = std::make_shared<Writer>([&](int32_t c, int32_t s, const std::string& p, int e) {
    otherEvents.push_back({c, s, p, e});
  });
  platform::MutexLock hold(&other->lock);
  EXPECT_FALSE(other->Start({Data(0), Data(1)}));  // file 1: prepared and locked for the first
  ASSERT_EQ(otherEvents.size(), 1u);
  EXPECT_EQ(std::make_tuple(otherEvents[0].status, otherEvents[0].path, otherEvents[0].error),
            std::make_tuple(-1, Data(1), EWOULDBLOCK));
  other->Detach();
}

// Full buffers go to the data file on the buffer writer's threads while the writer keeps
// gathering: the files must hold what a writer that wrote every buffer itself would leave,
// the index must never count bytes the data file lacks, and a buffer lost behind the
// writer's back is reported and uncounted. Seven of these records fill the 8 MiB buffer.
constexpr uint32_t kBig = 1u << 20;
constexpr uint32_t kBigRecord = static_cast<uint32_t>(storage::VideoRecordSize(kBig, true));

TEST_F(WriterTest, FullBuffersWrittenBehindKeepEveryRecordInOrderAndCountedOnlyOnDisk) {
  ASSERT_TRUE(Start(2));
  std::vector<int32_t> fed;
  for (int i = 0; i < 60; ++i) {
    fed.push_back(At(10, 10, 0, i / 20));
    Feed(fed.back(), 1, kBig);
    // Whatever the summary counts at this moment is on disk: the last record it counts is
    // whole.
    const uint32_t counted = ReadSummary(Index(0)).dataBytes;
    ASSERT_EQ(counted % kBigRecord, 0u);
    if (counted == 0) continue;
    const std::vector<StoredRecord> last =
        ParseRecords(ReadBytes(Data(0), counted - kBigRecord, kBigRecord));
    ASSERT_EQ(last.size(), 1u) << "after record " << i << ", " << counted << " bytes counted";
  }
  Stop();
  EXPECT_EQ(Times(0), fed);
  EXPECT_EQ(Count(3, -1, Data(0)) + Count(3, -1, Index(0)), 0u);
}

TEST_F(WriterTest, LostBufferIsReportedUncountedAndOverwrittenByTheNext) {
  ASSERT_TRUE(Start(2));
  // Two full buffers go out behind the writer's back, then the change of second writes the
  // rest itself, leaving one record of the new second buffered.
  for (int i = 0; i < 16; ++i) Feed(At(10, 10, 0, 0), 1, kBig);
  Feed(At(10, 10, 0, 1), 1, kBig);
  {
    // The next full buffer (that record and six more) is lost behind the writer's back.
    ScopedSyscallFault fault(ScopedSyscallFault::Call::kWrite, EIO, 0, 1);
    for (int i = 0; i < 15; ++i) Feed(At(10, 10, 0, 1), 1, kBig);
    Stop();
    EXPECT_EQ(fault.faults(), 1);
  }
  ASSERT_EQ(Count(3, -1, Data(0)), 1u);
  EXPECT_EQ(events_.back().error, EIO);
  std::vector<int32_t> expected(16, At(10, 10, 0, 0));
  expected.insert(expected.end(), 16 - 7, At(10, 10, 0, 1));
  EXPECT_EQ(Times(0), expected);
}

}  // namespace
