// The writer on its own: records handed to it at chosen times, so minutes, days and 119
// entries pass in microseconds; the files it leaves are read back byte for byte.
#include "recording/writer.h"

#include <gtest/gtest.h>

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
using Fault = platform::ScopedSyscallFault;
using Times = std::vector<int32_t>;
using platform::CTime;

constexpr uint32_t kFedSize = static_cast<uint32_t>(storage::VideoRecordSize(100, true));
constexpr uint32_t kBig = 1u << 20;
constexpr uint32_t kBigRecord = static_cast<uint32_t>(storage::VideoRecordSize(kBig, true));
// How many of these records a full write buffer holds.
constexpr int kBigPerBuffer = static_cast<int>((Writer::kWriteBufferSize - 1) / kBigRecord);

int32_t At(int day, int hour, int minute, int second) {
  return LocalSeconds(2024, 3, day, hour, minute, second);
}

class WriterTest : public testing::Test {
 protected:
  std::string Data(int n) const { return dir_ / ("file" + std::to_string(n) + ".VDB"); }
  std::string Index(int n) const { return storage::IndexFileName(Data(n)); }
  // Starts on files 0 .. files-1, or on `paths`.
  bool Start(int files, std::vector<std::string> paths = {}) {
    for (int i = 0; i < files; ++i) paths.push_back(Data(i));
    platform::MutexLock hold(&writer_->lock);
    return writer_->Start(std::move(paths));
  }
  void Feed(uint32_t time, uint32_t type = 1, uint32_t length = 100) {
    const std::vector<uint8_t> payload = Pattern(length, static_cast<uint32_t>(time));
    const storage::RecordFields fields{.time = time, .type = type, .keyFrame = true, .reason = 1};
    std::vector<uint8_t> record(storage::VideoRecordSize(length, true));
    storage::BuildVideoRecord(record.data(), record.size(), fields, payload.data(), length);
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
        ExpectSummaryEq(ReadSummary(Index(n)), ReplaySummary(ReadIndexedRecords(Data(n))));
    }
  }
  // Events of a path ending in `path`; a failure's errno is the last event's.
  size_t Count(int32_t code, int32_t status, const std::string& path) {
    return std::count_if(events_.begin(), events_.end(), [&](const RecorderEvent& e) {
      return e.code == code && e.status == status && e.path.ends_with(path);
    });
  }
  Times TimesIn(int n) { return TimesOf(ReadIndexedRecords(Data(n))); }

  ScopedTimeZone zone_{"UTC"};
  ScratchDir dir_;
  std::vector<RecorderEvent> events_;
  // Events of every writer of the test go to one log.
  WriterEventSink Log() {
    return [this](int32_t code, int32_t status, const std::string& path, int error) {
      events_.push_back({code, status, path, error});
    };
  }
  std::shared_ptr<Writer> writer_ = std::make_shared<Writer>(Log());
};

// The writer's decision for each record: where it goes, and which write it needs first.
TEST(ClassifyRecordTest, PlaceAndWriteFollowTheSummaryTheTimeAndTheBuffer) {
  storage::IndexSummary s = storage::MakeEmptySummary();
  storage::SummaryBuilder(&s).Begin(At(10, 10, 0, 0));
  storage::IndexSummary full = s, big = s, past = s, live = s;
  live.dataBytes = 100;
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
    int32_t clockAhead = 0;  // how far the clock is past the record's time
  } rows[] = {
      {s, At(10, 10, 0, 0), t0, false, {P::kSameEntry, W::kNone}},
      {s, At(10, 10, 0, 0), t0, true, {P::kSameEntry, W::kBackground}},
      {s, At(10, 10, 0, 1), t0, false, {P::kSameEntry, W::kFlush}},
      {s, At(10, 9, 59, 0), t0, false, {P::kSameEntry, W::kNone}},  // late: stays, no flush
      {s, At(10, 9, 59, 0), t0, true, {P::kSameEntry, W::kBackground}},
      {s, At(11, 0, 0, 0), t0, false, {P::kNewFile, W::kFlush}},
      {full, At(10, 10, 0, 0), t0, false, {P::kNewFile, W::kNone}},
      {past, At(10, 10, 0, 0), t0, false, {P::kNewFile, W::kNone}},
      {big, At(10, 10, 0, 0), t0, true, {P::kNewFile, W::kBackground}},
      // More than a minute behind the file: a clock set back, or old footage written late.
      {live, At(10, 9, 58, 59), t0, false, {P::kNewFile, W::kNone}},
      {live, At(10, 9, 58, 59), t0, false, {P::kSameEntry, W::kNone}, 61},
      {live, At(10, 9, 59, 0), t0, false, {P::kSameEntry, W::kNone}},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(ClassifyRecord(r.summary, CTime(r.time), r.last, r.overflow, 0,
                             CTime(r.time + r.clockAhead)),
              r.step)
        << r.time << " overflow " << r.overflow;
  }
  big.dataBytes = kRotateDataBytes;
  EXPECT_EQ(ClassifyRecord(big, t0, t0, false, 0, t0).place, P::kSameEntry);
}

// Video and audio reach the writer through two rings, so a record can come after a later
// one: minute entries and the file's day only move forward. Entry 119 in use, or more than
// 199 MiB claimed by the host's stream header, change the file too.
TEST_F(WriterTest, MinutesDaysLateRecordsAndFullFilesLandWhereTheSummarySays) {
  ASSERT_TRUE(Start(4));
  Feed(At(10, 23, 58, 59));
  Feed(At(10, 23, 59, 0));      // entry 1
  Feed(At(10, 23, 58, 59), 0);  // late audio: counted in entry 1
  Feed(At(10, 23, 59, 59));
  Feed(At(11, 0, 0, 0));        // the next day: the new file's first record
  Feed(At(10, 23, 59, 59), 0);  // late audio of the day before: stays in the new file
  for (uint32_t type : {5u, 19u, 7u}) Feed(At(11, 0, 0, 0), type);  // never stored
  for (int m = 1; m < 120; ++m) Feed(At(11, m / 60, m % 60, 0));
  EXPECT_EQ(std::make_tuple(Count(2, 0, ".VDB"), Count(2, 0, Index(1))), std::make_tuple(2u, 1u));
  Feed(At(11, 2, 0, 0));  // entry 119 is in use: stored in the next file
  for (uint32_t bytes : {kRotateDataBytes, kRotateDataBytes + 1}) {  // not above yet, then above
    storage::IndexSummary claimed = storage::MakeEmptySummary();
    storage::SummaryBuilder(&claimed).Begin(At(11, 2, 0, 0));
    claimed.dataBytes = bytes;
    {
      platform::MutexLock hold(&writer_->lock);
      ASSERT_EQ(writer_->WriteStreamHeader(&claimed, sizeof(claimed)), 1);
    }
    Feed(At(11, 2, 0, 0));
  }
  EXPECT_EQ(Count(2, 0, ".VDB"), 4u);
  Stop(2);  // file 2 holds the host's claimed summary
  EXPECT_EQ(TimesIn(0),
            (Times{At(10, 23, 58, 59), At(10, 23, 59, 0), At(10, 23, 58, 59), At(10, 23, 59, 59)}));
  EXPECT_EQ(std::make_tuple(TimesIn(1).size(), TimesIn(1)[1], TimesIn(3)),
            std::make_tuple(121u, At(10, 23, 59, 59), Times{At(11, 2, 0, 0)}));
  const storage::IndexSummary s1 = ReadSummary(Index(1));
  EXPECT_EQ(std::make_tuple(s1.startTime, s1.lastEntry, s1.dataBytes, s1.entries[0].audioMask),
            std::make_tuple(At(11, 0, 0, 0), 119, 121 * kFedSize, 1u));
  // The finished file was padded to its nominal size by the closer thread.
  EXPECT_TRUE(WaitUntil([&] { return FileSize(Data(0)) >= storage::kDataFileSize; }));
}

// Past the last file of the set: overwrite mode wraps to the first file; otherwise the change
// is refused and the last file is rewritten from its start, again at each refusal.
TEST_F(WriterTest, NextFileAfterTheLastWrapsOnlyInOverwriteMode) {
  for (int mode : {0, 1}) {
    std::filesystem::remove_all(dir_.root());
    std::filesystem::create_directory(dir_.root());
    events_.clear();
    writer_->SetOverwriteMode(mode);
    ASSERT_TRUE(Start(2));
    for (const auto& [day, second] :
         {std::pair{10, 0}, {11, 0}, {11, 1}, {12, 0}, {12, 1}, {13, 0}, {13, 1}}) {
      Feed(At(day, 10, 0, second));  // day 11: file 1; day 12 and 13: past the last file
      EXPECT_EQ(writer_->overwriteCount(), day == 12 || (day == 13 && mode == 0) ? 1 : 0);
    }
    Stop();
    EXPECT_EQ(Count(2, 0, ".VDB"), mode == 1 ? 4u : 2u) << "mode " << mode;
    EXPECT_EQ(TimesIn(0),
              mode == 1 ? (Times{At(12, 10, 0, 0), At(12, 10, 0, 1)}) : (Times{At(10, 10, 0, 0)}));
    EXPECT_EQ(TimesIn(1), (Times{At(13, 10, 0, 0), At(13, 10, 0, 1)}));
  }
}

// The closer prepares the next file ahead; a file that cannot be opened is reported with its
// cause and nothing is stored meanwhile, but what was taken in waits: at the next second the
// file after the missing one is opened and receives it. STOP does not wait for a closer that
// keeps failing on a missing directory.
TEST_F(WriterTest, FileThatCannotBeOpenedIsReportedAndTheNextSecondOpensTheFileAfterIt) {
  const std::string missing = dir_ / "missing/file2.VDB";
  ASSERT_TRUE(Start(0, {Data(0), Data(1), missing, Data(3), dir_ / "missing/file4.VDB"}));
  EXPECT_TRUE(WaitUntil(
      [&] { return FileSize(Data(1)) == storage::kDataFileSize && FileSize(Index(1)) == 0; }));
  Feed(At(10, 10, 0, 0));
  EXPECT_EQ(ReadSummary(Index(0)).dataBytes, 0u);  // nothing written within the second
  Feed(At(11, 10, 0, 0));                          // -> file 1, prepared
  Feed(At(12, 10, 0, 0));                          // -> the missing file
  EXPECT_EQ(std::make_tuple(Count(2, -1, missing), events_.back().error, writer_->storing()),
            std::make_tuple(1u, ENOENT, false));
  Feed(At(12, 10, 0, 0));  // the same second: held, no second attempt
  EXPECT_EQ(Count(2, -1, ""), 1u);
  Feed(At(12, 10, 0, 1));  // -> file 3, which receives what was held
  EXPECT_TRUE(writer_->storing());
  const auto before = std::chrono::steady_clock::now();
  Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_EQ(std::make_pair(TimesIn(1), TimesIn(3)),
            std::make_pair(Times{At(11, 10, 0, 0)},
                           Times{At(12, 10, 0, 0), At(12, 10, 0, 0), At(12, 10, 0, 1)}));
}

// Write faults: the host hears of each with its errno, the summary never counts bytes the
// data file lacks (the check in Stop), and what follows is written where the lost bytes
// would have gone.
TEST_F(WriterTest, WriteFaultsAreReportedWithTheirCauseAndNeverCountedAndFilesHaveOneWriter) {
  ASSERT_TRUE(Start(3));
  {
    Fault fault(Fault::Call::kWrite, EIO, 0, 1);
    Feed(At(10, 10, 0, 0));  // the test write at the start fails: buffered, counted, reported
  }
  Feed(At(10, 10, 0, 0));  // the test write is tried again, and succeeds
  Feed(At(10, 10, 0, 1));  // the first two records reach the file
  {
    auto fault = Fault::ShortWritesThenFail(100, 1, EIO);
    Feed(At(10, 10, 0, 2));  // writing the second record fails after 100 bytes
  }
  EXPECT_EQ(std::make_tuple(Count(3, -1, Data(0)), events_.back().error), std::make_tuple(2u, EIO));
  {
    Fault fault(Fault::Call::kWrite, ENOSPC, 1, 1);  // the summary
    Feed(At(10, 10, 0, 3));
  }
  EXPECT_EQ(std::make_tuple(Count(3, -1, Index(0)), events_.back().error),
            std::make_tuple(1u, ENOSPC));
  // A second writer is refused the files this one records: file 1 is prepared and locked.
  ASSERT_TRUE(WaitUntil([&] { return FileSize(Data(1)) == storage::kDataFileSize; }));
  auto other = std::make_shared<Writer>(Log());
  {
    platform::MutexLock hold(&other->lock);
    EXPECT_FALSE(other->Start({Data(0), Data(1)}));
    other->Detach();
  }
  EXPECT_EQ(std::make_tuple(Count(2, -1, ""), events_.back().path, events_.back().error),
            std::make_tuple(1u, Data(1), EWOULDBLOCK));
  Feed(At(10, 10, 0, 4));
  Stop();
  EXPECT_EQ(TimesIn(0), (Times{At(10, 10, 0, 0), At(10, 10, 0, 0), At(10, 10, 0, 2),
                               At(10, 10, 0, 3), At(10, 10, 0, 4)}));
}

// While the file cannot be written the records wait in the buffer; when it would overflow
// they are dropped, and the summary (checked in Stop) must stop counting them.
TEST_F(WriterTest, RecordsDroppedFromAFullBufferAreNotCounted) {
  ASSERT_TRUE(Start(2));
  {
    Fault fault(Fault::Call::kWrite, EIO, 0, Fault::kPersistent, ".VDB");
    for (int i = 0; i < kBigPerBuffer + 2; ++i) Feed(At(10, 10, 0, 0), 1, kBig);
  }
  Feed(At(10, 10, 0, 1));
  Stop();
  EXPECT_LT(TimesIn(0).size(), static_cast<size_t>(kBigPerBuffer) + 3);
}

// A header file lists the set; each file's summary also goes to its record there.
TEST_F(WriterTest, HeaderFileRecordsGetTheSummaries) {
  const std::string header = dir_ / "set";
  WriteHeaderFile(header, 3, {MakeFileInfo(Data(0)), MakeFileInfo(""), MakeFileInfo(Data(2))});
  {
    platform::MutexLock hold(&writer_->lock);
    writer_->SetHeaderFile(header, 1);
  }
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
  }
}

// Full buffers go to the data file on the buffer writer's threads while the writer keeps
// gathering: the files must hold what a writer that wrote every buffer itself would leave,
// and the index must never count bytes the data file lacks: whatever the summary counts at
// any moment is on disk, the last record it counts whole. Then a buffer lost behind the
// writer's back is reported, uncounted and overwritten by the next.
TEST_F(WriterTest, FullBuffersWrittenBehindKeepEveryRecordInOrderAndCountedOnlyOnDisk) {
  ASSERT_TRUE(Start(2));
  Times fed;
  for (int i = 0; i < 48; ++i) {
    fed.push_back(At(10, 10, 0, i / 16));
    Feed(fed.back(), 1, kBig);
    const uint32_t counted = ReadSummary(Index(0)).dataBytes;
    ASSERT_EQ(counted % kBigRecord, 0u);
    if (counted == 0) continue;
    ASSERT_EQ(ParseRecords(ReadBytes(Data(0), counted - kBigRecord, kBigRecord)).size(), 1u)
        << "after record " << i << ", " << counted << " bytes counted";
  }
  // The change of second writes the rest itself, leaving one record of the new second
  // buffered; the next full buffer (that record and the ones after it) is lost.
  Feed(At(10, 10, 0, 3), 1, kBig);
  {
    Fault fault(Fault::Call::kWrite, EIO, 0, 1);
    for (int i = 0; i < 15; ++i) Feed(At(10, 10, 0, 3), 1, kBig);
    Stop();
  }
  EXPECT_EQ(std::make_tuple(Count(3, -1, Data(0)), events_.back().error), std::make_tuple(1u, EIO));
  fed.insert(fed.end(), 16 - kBigPerBuffer, At(10, 10, 0, 3));
  EXPECT_EQ(TimesIn(0), fed);
}

}  // namespace
