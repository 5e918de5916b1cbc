// The writer side: index entries per minute, the three reasons to change file, overwrite
// mode, where START continues, STOP and END, the closer thread, the header file, and file
// faults. Records are handed to the writer directly (as a writer thread does) at chosen
// times, so minutes, days and 119 entries pass in microseconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "platform/syscall_faults.h"
#include "platform/syscalls.h"
#include "recording/writer_limits.h"
#include "recording_test_util.h"

namespace rectest {
namespace {

constexpr uint32_t kFed = 100;  // payload of Feed's records
constexpr uint32_t kFedSize = static_cast<uint32_t>(storage::VideoRecordSize(kFed, true));

class FileRotationTest : public RecorderTest {
 protected:
  int32_t At(int day, int hour, int minute, int second) {
    return LocalSeconds(2024, 3, day, hour, minute, second);
  }
  void StartWith(int files) {
    AddFiles(files);
    ASSERT_EQ(_RECORDER_START(handle_), 1);
  }
  size_t DataOpens() {
    size_t n = 0;
    for (const HostEvent& e : log_.Events()) {
      n += e.code == RECORDER_EVENT_FILE_OPENED && e.path.size() > 4 &&
           e.path.compare(e.path.size() - 4, 4, ".VDB") == 0;
    }
    return n;
  }
  std::vector<StoredRecord> Stored(int n) { return ReadIndexedRecords(DataPath(n)); }
  // Starts with files 0 and 2 of the set and, between them, one whose directory is missing.
  std::string StartWithMissingSecondFile() {
    const std::string missing = dir_ / "missing/file1.VDB";
    for (const std::string& path : {DataPath(0), missing, DataPath(2)}) {
      _RECORDER_ADDFILEPATH(handle_, path.c_str());
    }
    _RECORDER_SETRECORD(handle_, 0, 1);
    EXPECT_EQ(_RECORDER_START(handle_), 1);
    return missing;
  }
  // Makes the data files 0..n-1 exist with file `newest` written last.
  void MakeFilesWithNewest(int n, int newest) {
    const auto base = std::filesystem::file_time_type::clock::now() - std::chrono::hours(5);
    for (int i = 0; i < n; ++i) {
      ScratchDir::WriteText(DataPath(i), "x");
      std::filesystem::last_write_time(DataPath(i),
                                       base + std::chrono::minutes(i == newest ? 60 : i));
    }
  }
};

// Captures the summaries written to one file descriptor.
platform::Mutex g_captureMu;
std::atomic<int> g_captureFd{-1};
std::vector<storage::IndexSummary> g_captured;

ssize_t CapturingWrite(int fd, const void* buf, size_t count, off_t offset) {
  if (fd == g_captureFd.load() && count == sizeof(storage::IndexSummary)) {
    storage::IndexSummary s;
    std::memcpy(&s, buf, sizeof(s));
    platform::MutexLock hold(&g_captureMu);
    g_captured.push_back(s);
  }
  return platform::RealSyscalls().pwrite(fd, buf, count, offset);
}

TEST_F(FileRotationTest, ChangeOfMinuteWritesTheSummaryThenStartsANewEntry) {
  StartWith(2);
  Feed(At(10, 10, 0, 59));
  {
    platform::MutexLock hold(&Rec().writeLock);
    g_captureFd = Rec().indexFile->fd();
  }
  g_captured.clear();
  platform::SetSyscall(&platform::Syscalls::pwrite, &CapturingWrite);
  Feed(At(10, 10, 1, 0));
  platform::SetSyscall(&platform::Syscalls::pwrite, platform::RealSyscalls().pwrite);

  ASSERT_GE(g_captured.size(), 2u);
  // First the summary of the finished minute, then (after the buffer write) the new entry.
  EXPECT_EQ(std::make_pair(g_captured[0].lastEntry, g_captured[0].entries[0].bytes),
            std::make_pair(0, kFedSize));
  const storage::IndexSummary& last = g_captured.back();
  EXPECT_EQ(std::make_tuple(last.lastEntry, last.entries[1].time, last.entries[1].bytes),
            std::make_tuple(1, At(10, 10, 1, 0), 0u));

  _RECORDER_STOP(handle_);
  ExpectSummaryEq(ReadSummary(IndexPath(0)), ReplaySummary(Stored(0)));
}

TEST_F(FileRotationTest, NextDayStartsTheNextFileWithItsRecordAndLateRecordsStayWhereTheyAre) {
  // Video and audio reach the writer through two rings, so a record can come after a later
  // one: minute entries and the file's day only move forward.
  StartWith(3);
  Feed(At(10, 23, 58, 59));
  Feed(At(10, 23, 59, 0));      // entry 1
  Feed(At(10, 23, 58, 59), 0);  // late audio: counted in entry 1
  Feed(At(10, 23, 59, 59));
  EXPECT_EQ(MemorySummary().lastEntry, 1);
  Feed(At(11, 0, 0, 0));        // rotates, and is the new file's first record
  Feed(At(10, 23, 59, 59), 0);  // late audio of the day before: stays in the new file
  Feed(At(11, 0, 0, 1));
  EXPECT_EQ(DataOpens(), 2u);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, IndexPath(1)), 1u);
  _RECORDER_STOP(handle_);

  EXPECT_EQ(TimesOf(Stored(0)), (std::vector<int32_t>{At(10, 23, 58, 59), At(10, 23, 59, 0),
                                                      At(10, 23, 58, 59), At(10, 23, 59, 59)}));
  EXPECT_EQ(TimesOf(Stored(1)),
            (std::vector<int32_t>{At(11, 0, 0, 0), At(10, 23, 59, 59), At(11, 0, 0, 1)}));
  for (int n : {0, 1}) ExpectSummaryEq(ReadSummary(IndexPath(n)), ReplaySummary(Stored(n)));
  const storage::IndexSummary s = ReadSummary(IndexPath(1));
  EXPECT_EQ(std::make_tuple(s.startTime, s.lastEntry, s.dataBytes, s.entries[0].audioMask),
            std::make_tuple(At(11, 0, 0, 0), 0, 3 * kFedSize, 1u));
  EXPECT_EQ(storage::IndexRecordName(ReadIndexFile(IndexPath(1)).record), "file1.VDB");
  // The finished file was padded to its nominal size by the closer thread.
  EXPECT_TRUE(WaitUntil([&] { return FileSize(DataPath(0)) >= storage::kDataFileSize; }));
}

TEST_F(FileRotationTest, EntryNumber119InUseRotatesAtTheNextRecord) {
  StartWith(2);
  for (int m = 0; m < 120; ++m) Feed(At(10, 10 + m / 60, m % 60, 0));
  EXPECT_EQ(MemorySummary().lastEntry, 119);
  EXPECT_EQ(DataOpens(), 1u);
  Feed(At(10, 12, 0, 0));  // stored, in the next file
  EXPECT_EQ(DataOpens(), 2u);
  _RECORDER_STOP(handle_);

  EXPECT_EQ(Stored(0).size(), 120u);
  ExpectSummaryEq(ReadSummary(IndexPath(0)), ReplaySummary(Stored(0)));
  EXPECT_EQ(TimesOf(Stored(1)), (std::vector<int32_t>{At(10, 12, 0, 0)}));
}

TEST_F(FileRotationTest, MoreThan199MiBRotatesEvenWithinASecond) {
  StartWith(2);
  const auto countAndFeed = [&](uint32_t counted) {
    {
      platform::MutexLock hold(&Rec().writeLock);
      Rec().currentIndexRecord.summary.dataBytes = counted;
    }
    Feed(At(10, 10, 0, 0));
  };
  Feed(At(10, 10, 0, 0));
  countAndFeed(kRotateDataBytes);  // not above yet
  EXPECT_EQ(DataOpens(), 1u);
  countAndFeed(kRotateDataBytes + 1);
  EXPECT_EQ(DataOpens(), 2u);
  _RECORDER_STOP(handle_);
  EXPECT_EQ(TimesOf(Stored(1)), (std::vector<int32_t>{At(10, 10, 0, 0)}));
}

TEST_F(FileRotationTest, TypesOutsideTheStoredFamiliesAreDiscarded) {
  StartWith(1);
  for (uint32_t type : {1u, 5u, 19u, 17u, 160u, 161u, 7u}) Feed(At(10, 10, 0, 0), type);
  _RECORDER_STOP(handle_);
  std::vector<uint32_t> types;
  for (const StoredRecord& r : Stored(0)) types.push_back(r.header.type);
  EXPECT_EQ(types, (std::vector<uint32_t>{1, 17, 160, 161}));
  EXPECT_EQ(ReadSummary(IndexPath(0)).entries[0].audioMask, 1u);
}

// Where START continues given the newest existing file and the overwrite mode.
struct StartCase {
  int newest;
  int mode;
  int32_t started;  // of START
  int opened;       // the data file opened, or -1
  int32_t overwriteCount;
};

class StartPositionTest : public FileRotationTest, public testing::WithParamInterface<StartCase> {};

TEST_P(StartPositionTest, StartContinuesAfterTheNewestFileAndWrapsOnlyInOverwriteMode) {
  const StartCase c = GetParam();
  MakeFilesWithNewest(3, c.newest);
  AddFiles(3);
  _RECORDER_SETOVERWRITEMODE(handle_, c.mode);
  EXPECT_EQ(_RECORDER_START(handle_), c.started);
  EXPECT_EQ(_RECORDER_GETOVERWRITECOUNT(handle_), c.overwriteCount);
  EXPECT_EQ(DataOpens(), c.opened < 0 ? 0u : 1u);
  char name[300] = {};
  EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(handle_, name, sizeof(name)), c.opened < 0 ? 0 : 1);
  EXPECT_EQ(std::string(name), c.opened < 0 ? "" : DataPath(c.opened));
}

INSTANTIATE_TEST_SUITE_P(Cases, StartPositionTest,
                         testing::Values(StartCase{1, 1, 1, 2, 0}, StartCase{2, 1, 1, 0, 1},
                                         StartCase{2, 0, 0, -1, 1}));

// Past the last file of the set: overwrite mode wraps to the first file; otherwise the change
// is refused and the last file is rewritten from its start, again at each refusal.
class WrapTest : public FileRotationTest, public testing::WithParamInterface<int> {};

TEST_P(WrapTest, NextFileAfterTheLast) {
  const bool overwrite = GetParam() == 1;
  _RECORDER_SETOVERWRITEMODE(handle_, GetParam());
  StartWith(2);
  Feed(At(10, 10, 0, 0));
  Feed(At(11, 10, 0, 0));  // -> file 1
  Feed(At(11, 10, 0, 1));
  EXPECT_EQ(_RECORDER_GETOVERWRITECOUNT(handle_), 0);
  Feed(At(12, 10, 0, 0));  // -> file 0, or refused
  EXPECT_EQ(_RECORDER_GETOVERWRITECOUNT(handle_), 1);
  Feed(At(12, 10, 0, 1));
  Feed(At(13, 10, 0, 0));  // -> file 1, or refused again
  Feed(At(13, 10, 0, 1));
  _RECORDER_STOP(handle_);

  EXPECT_EQ(DataOpens(), overwrite ? 4u : 2u);
  EXPECT_EQ(TimesOf(Stored(0)), overwrite
                                    ? (std::vector<int32_t>{At(12, 10, 0, 0), At(12, 10, 0, 1)})
                                    : (std::vector<int32_t>{At(10, 10, 0, 0)}));
  EXPECT_EQ(TimesOf(Stored(1)), (std::vector<int32_t>{At(13, 10, 0, 0), At(13, 10, 0, 1)}));
  EXPECT_EQ(ReadSummary(IndexPath(1)).startTime, At(13, 10, 0, 0));
}

INSTANTIATE_TEST_SUITE_P(Modes, WrapTest, testing::Values(0, 1));

TEST_F(FileRotationTest, AddFilePathWhileRecordingContinuesInANewFile) {
  StartWith(2);
  Feed(At(10, 10, 0, 0));
  _RECORDER_ADDFILEPATH(handle_, DataPath(2).c_str());
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(handle_), 3);
  EXPECT_EQ(DataOpens(), 2u);
  char name[300];
  ASSERT_EQ(_RECORDER_GETCURRENTRECFILE(handle_, name, sizeof(name)), 1);
  EXPECT_NE(std::string(name), DataPath(0));
  // What was buffered for the first file reached it when the recording restarted.
  EXPECT_EQ(Stored(0).size(), 1u);
}

// --- The closer thread ---

TEST_F(FileRotationTest, CloserPreparesTheNextFileAndRotationTakesIt) {
  StartWith(3);
  EXPECT_TRUE(WaitUntil([&] {
    return FileSize(DataPath(1)) == storage::kDataFileSize && FileSize(IndexPath(1)) == 0;
  }));
  Feed(At(10, 10, 0, 0));
  // Nothing is written within the second but the test write at the start of the file.
  EXPECT_EQ(storage::LoadU32(ReadBytes(DataPath(0), 0, 4).data()), storage::kRecordStartMarker);
  EXPECT_EQ(ReadSummary(IndexPath(0)).dataBytes, 0u);
  Feed(At(11, 10, 0, 0));
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(1)), 1u);
  EXPECT_EQ(FileSize(IndexPath(1)), storage::kIndexFileSize);
  // The next closer prepares file 2.
  EXPECT_TRUE(WaitUntil([&] { return FileSize(DataPath(2)) == storage::kDataFileSize; }));
}

TEST_F(FileRotationTest, StopEndsACloserThatCannotOpenTheNextFile) {
  const std::string missing = StartWithMissingSecondFile();
  // The closer keeps failing to open the next file; stopping must not wait for it.
  const auto before = std::chrono::steady_clock::now();
  _RECORDER_STOP(handle_);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// --- Faults ---

TEST_F(FileRotationTest, DataFileThatCannotBeOpenedIsReportedAndTheNextRotationRecovers) {
  const std::string missing = StartWithMissingSecondFile();
  Feed(At(10, 10, 0, 0));
  Feed(At(11, 10, 0, 0));  // -> the missing file
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, -1, missing), 1u);
  char name[300];
  EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(handle_, name, sizeof(name)), 0);
  Feed(At(11, 10, 0, 1));  // discarded, not counted
  Feed(At(11, 10, 0, 2));
  EXPECT_EQ(MemorySummary().dataBytes, 0u);
  Feed(At(12, 10, 0, 0));  // -> file 2
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(2)), 1u);
  Feed(At(12, 10, 0, 1));
  _RECORDER_STOP(handle_);

  EXPECT_EQ(TimesOf(Stored(0)), (std::vector<int32_t>{At(10, 10, 0, 0)}));
  EXPECT_EQ(TimesOf(Stored(2)), (std::vector<int32_t>{At(12, 10, 0, 0), At(12, 10, 0, 1)}));
  EXPECT_EQ(ReadSummary(IndexPath(2)).dataBytes, 2 * kFedSize);
}

TEST_F(FileRotationTest, DottedDirectoriesAndNamesWithoutExtensionKeepTheIndexBeside) {
  // Each file of the set gets its own index in its own directory.
  const std::string dotted = dir_.Sub("rec.1") + "f0.VDB";
  const std::string noDot = dir_ / "nodot";
  for (const std::string& path : {dotted, noDot}) _RECORDER_ADDFILEPATH(handle_, path.c_str());
  _RECORDER_SETRECORD(handle_, 0, 1);
  ASSERT_EQ(_RECORDER_START(handle_), 1);
  Feed(At(10, 10, 0, 0));
  Feed(At(11, 10, 0, 0));
  Feed(At(11, 10, 0, 1));
  _RECORDER_STOP(handle_);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, dir_ / "rec.1/f0.FIH"), 1u);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, noDot + ".FIH"), 1u);
  EXPECT_EQ(TimesOf(ReadIndexedRecords(dotted)), (std::vector<int32_t>{At(10, 10, 0, 0)}));
  EXPECT_EQ(TimesOf(ReadIndexedRecords(noDot)),
            (std::vector<int32_t>{At(11, 10, 0, 0), At(11, 10, 0, 1)}));
  for (const HostEvent& e : log_.Events()) EXPECT_NE(e.status, -1) << e.path;
}

// Write calls on one descriptor: the first writes 100 bytes, the next fails with EIO.
std::atomic<int> g_faultFd{-1};
std::atomic<int> g_faultCalls{0};
ssize_t PartialThenFailingWrite(int fd, const void* buf, size_t count, off_t offset) {
  if (fd == g_faultFd.load()) {
    const int call = g_faultCalls.fetch_add(1);
    if (call == 0)
      return platform::RealSyscalls().pwrite(fd, buf, std::min<size_t>(count, 100), offset);
    errno = EIO;
    return -1;
  }
  return platform::RealSyscalls().pwrite(fd, buf, count, offset);
}

TEST_F(FileRotationTest, FailedBufferWriteIsReportedRolledBackAndUncounted) {
  StartWith(2);
  Feed(At(10, 10, 0, 0));
  Feed(At(10, 10, 0, 1));  // the first record reaches the file
  {
    platform::MutexLock hold(&Rec().writeLock);
    g_faultFd = Rec().dataFile->fd();
  }
  g_faultCalls = 0;
  platform::SetSyscall(&platform::Syscalls::pwrite, &PartialThenFailingWrite);
  Feed(At(10, 10, 0, 2));  // writing the second record fails after 100 bytes
  platform::SetSyscall(&platform::Syscalls::pwrite, platform::RealSyscalls().pwrite);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_WRITE_FAILED, -1, DataPath(0)), 1u);
  // The first record and the one just buffered; the lost one is not counted.
  EXPECT_EQ(MemorySummary().dataBytes, 2 * kFedSize);
  Feed(At(10, 10, 0, 3));
  _RECORDER_STOP(handle_);

  // The third record took the place of the lost one.
  const std::vector<StoredRecord> records = Stored(0);
  EXPECT_EQ(TimesOf(records),
            (std::vector<int32_t>{At(10, 10, 0, 0), At(10, 10, 0, 2), At(10, 10, 0, 3)}));
  ExpectSummaryEq(ReadSummary(IndexPath(0)), ReplaySummary(records));
}

TEST_F(FileRotationTest, UnwritableIndexFileIsReportedAndDataStillRecords) {
  StartWith(2);
  Feed(At(10, 10, 0, 0));
  {
    platform::ScopedSyscallFault fault(platform::ScopedSyscallFault::Call::kWrite, ENOSPC,
                                       /*skip=*/1, /*times=*/1);  // the summary after the data
    Feed(At(10, 10, 0, 1));
    EXPECT_EQ(fault.faults(), 1);
  }
  EXPECT_EQ(log_.Count(RECORDER_EVENT_WRITE_FAILED, -1, IndexPath(0)), 1u);
  _RECORDER_STOP(handle_);
  EXPECT_EQ(Stored(0).size(), 2u);
}

// The write test at the start of a recording fails once (EIO on the first 4-byte write).
std::atomic<int> g_failedProbes{0};
ssize_t ProbeFailsOnce(int fd, const void* buf, size_t count, off_t offset) {
  if (count == sizeof(uint32_t) && g_failedProbes.fetch_add(1) == 0) {
    errno = EIO;
    return -1;
  }
  return platform::RealSyscalls().pwrite(fd, buf, count, offset);
}

TEST_F(FileRotationTest, FailedWriteTestIsReportedAndTheSummaryStillMatchesTheData) {
  StartWith(2);
  g_failedProbes = 0;
  platform::SetSyscall(&platform::Syscalls::pwrite, &ProbeFailsOnce);
  std::vector<uint8_t> payload = Pattern(200, 3);
  for (int i = 0; i < 5; ++i) {
    FrameDescriptor d = VideoFrame(payload, 0);
    ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &d), 1);
  }
  Drain();
  platform::SetSyscall(&platform::Syscalls::pwrite, platform::RealSyscalls().pwrite);
  EXPECT_GE(g_failedProbes.load(), 2);  // failed, then tried again with the next record
  EXPECT_EQ(log_.Count(RECORDER_EVENT_WRITE_FAILED, -1, DataPath(0)), 1u);
  _RECORDER_STOP(handle_);
  const std::vector<StoredRecord> records = Stored(0);
  EXPECT_EQ(records.size(), 5u);
  ExpectSummaryEq(ReadSummary(IndexPath(0)), ReplaySummary(records));
}

// START within the second of the STOP before it, over and over: each recording goes on in
// the file after the one just recorded, which keeps its records.
class RestartTest : public FileRotationTest,
                    public testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(RestartTest, StartRightAfterStopGoesOnInTheNextFile) {
  const auto [files, mode] = GetParam();
  AddFiles(files);
  _RECORDER_SETOVERWRITEMODE(handle_, mode);
  std::vector<uint8_t> payload = Pattern(300, 5);
  for (int cycle = 0; cycle < 10; ++cycle) {
    SCOPED_TRACE(cycle);
    const int32_t started = _RECORDER_START(handle_);
    if (mode == 0 && cycle >= files) {  // the set is used up and may not be overwritten
      EXPECT_EQ(started, 0);
      break;
    }
    ASSERT_EQ(started, 1);
    char name[300] = {};
    ASSERT_EQ(_RECORDER_GETCURRENTRECFILE(handle_, name, sizeof(name)), 1);
    EXPECT_EQ(std::string(name), DataPath(cycle % files));
    g_testNow += 1;
    for (int i = 0; i < 3; ++i) {
      FrameDescriptor d = VideoFrame(payload, 0);
      ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &d), 1);
    }
    _RECORDER_STOP(handle_);
    EXPECT_EQ(Stored(cycle % files).size(), 3u);
    if (cycle > 0) {
      EXPECT_EQ(Stored((cycle - 1) % files).size(), 3u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FilesAndModes, RestartTest,
                         testing::Combine(testing::Values(2, 3), testing::Values(0, 1)));

TEST_F(FileRotationTest, ASecondRecorderIsRefusedTheFilesTheFirstOneRecords) {
  StartWith(3);
  Feed(At(10, 10, 0, 0));
  Feed(At(10, 10, 0, 1));  // file 0 counts bytes now
  // File 1 is prepared for the first recorder's next rotation, and locked with it.
  ASSERT_TRUE(WaitUntil([&] { return FileSize(DataPath(1)) == storage::kDataFileSize; }));
  EventLog otherLog;
  RECORDER_HANDLE other = _RECORDER_INIT("other", otherLog.Context(), &EventLog::Callback);
  _RECORDER_SETRECORD(other, 0, 1);
  for (int i = 0; i < 3; ++i) _RECORDER_ADDFILEPATH(other, DataPath(i).c_str());
  EXPECT_EQ(_RECORDER_START(other), 0);  // would go on in file 1
  EXPECT_EQ(otherLog.Count(RECORDER_EVENT_FILE_OPENED, -1, DataPath(1)), 1u);

  // With file 2 first in its set, it starts there; its rotation to file 0 is refused.
  _RECORDER_CLEARFILEPATH(other);
  for (int i : {2, 0}) _RECORDER_ADDFILEPATH(other, DataPath(i).c_str());
  ASSERT_EQ(_RECORDER_START(other), 1);
  {
    CRecorderBase& second = *CRecorderBase::FromHandle(other);
    const std::vector<uint8_t> record = testsupport::Pattern(0, 0);
    for (int day : {10, 11}) {
      storage::RecordFields fields;
      fields.time = At(day, 10, 0, 2);
      fields.type = 1;
      fields.keyFrame = true;
      fields.reason = 1;
      std::vector<uint8_t> bytes(storage::VideoRecordSize(0, true));
      storage::BuildVideoRecord(bytes.data(), bytes.size(), fields, nullptr, 0);
      platform::MutexLock hold(&second.writeLock);
      second.WriteFrame(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
  }
  EXPECT_EQ(otherLog.Count(RECORDER_EVENT_FILE_OPENED, -1, DataPath(0)), 1u);
  EXPECT_EQ(otherLog.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(0)), 0u);
  _RECORDER_END(other);

  Feed(At(10, 10, 0, 3));
  _RECORDER_STOP(handle_);
  EXPECT_EQ(TimesOf(Stored(0)),
            (std::vector<int32_t>{At(10, 10, 0, 0), At(10, 10, 0, 1), At(10, 10, 0, 3)}));
}

// --- Header file ---

class HeaderFileTest : public FileRotationTest {
 protected:
  // A header file listing `paths` (an empty path is an empty record).
  void WriteHeaderFile(const std::string& path, const std::vector<std::string>& paths) {
    std::vector<storage::FileInfo> infos;
    for (const std::string& p : paths) infos.push_back(testsupport::MakeFileInfo(p));
    testsupport::WriteHeaderFile(path, static_cast<uint32_t>(infos.size()), infos);
  }
  storage::FileInfo ReadFileInfo(const std::string& path, uint32_t record) {
    storage::FileInfo info{};
    const std::vector<uint8_t> bytes =
        ReadBytes(path, storage::HeaderFileInfoOffset(record), sizeof(info));
    EXPECT_EQ(bytes.size(), sizeof(info));
    std::memcpy(&info, bytes.data(), std::min(bytes.size(), sizeof(info)));
    return info;
  }
};

TEST_F(HeaderFileTest, SummariesGoToTheRecordOfTheFileInUse) {
  const std::string header = dir_ / "set";
  WriteHeaderFile(header, {DataPath(0), "", DataPath(2)});
  _RECORDER_SETHEADERFILEPATH(handle_, header.c_str(), 1);
  _RECORDER_SETRECORD(handle_, 0, 1);
  ASSERT_EQ(_RECORDER_START(handle_), 1);
  Feed(At(10, 10, 0, 0));
  Feed(At(11, 10, 0, 0));  // -> the second listed file, header record 2
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(2)), 1u);
  Feed(At(11, 10, 0, 1));
  Feed(At(11, 10, 0, 2));
  {
    platform::MutexLock hold(&Rec().writeLock);
    EXPECT_TRUE(Rec().headerFile);  // kept open while recording, for the summary writes
  }
  _RECORDER_STOP(handle_);
  EXPECT_FALSE(Rec().headerFile);

  // Each listed file's record holds the summary its index file holds; the empty one is
  // left as it was.
  for (int n : {0, 2}) {
    const storage::FileInfo info = ReadFileInfo(header, static_cast<uint32_t>(n));
    EXPECT_EQ(storage::FileInfoPath(info), DataPath(n));
    ExpectSummaryEq(info.summary, ReadSummary(IndexPath(n)));
    EXPECT_EQ(info.summary.dataBytes, (n == 0 ? 1 : 3) * kFedSize);
  }
  const storage::FileInfo empty = ReadFileInfo(header, 1);
  EXPECT_EQ(storage::FileInfoPath(empty), "");
  ExpectSummaryEq(empty.summary, storage::MakeEmptySummary());
}

TEST_F(HeaderFileTest, FailedStartClosesTheHeaderFileWithoutWritingIt) {
  const std::string header = dir_ / "set";
  WriteHeaderFile(header, {DataPath(0), DataPath(1)});
  const std::string before = ScratchDir::ReadText(header);
  {
    // Opening the data file fails, so the start fails after the header file was read.
    platform::ScopedSyscallFault fault(platform::ScopedSyscallFault::Call::kOpen, EACCES, 0,
                                       platform::ScopedSyscallFault::kPersistent, ".VDB");
    _RECORDER_SETHEADERFILEPATH(handle_, header.c_str(), 1);
    EXPECT_EQ(_RECORDER_START(handle_), 0);
  }
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, -1, DataPath(0)), 1u);
  EXPECT_EQ(ScratchDir::ReadText(header), before);
  EXPECT_FALSE(Rec().headerFile);
}

}  // namespace
}  // namespace rectest
