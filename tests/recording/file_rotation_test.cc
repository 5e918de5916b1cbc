// The writer side: index entries per minute, the three reasons to change file, overwrite
// mode, where START continues, STOP and END, the closer thread, the header file, and file
// faults. Records are handed to the writer directly (as a writer thread does) at chosen
// times, so minutes, days and 119 entries pass in microseconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <vector>

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
  std::vector<int32_t> TimesOf(const std::vector<StoredRecord>& records) {
    std::vector<int32_t> times;
    for (const StoredRecord& r : records) times.push_back(r.header.time);
    return times;
  }
};

// Captures the summaries written to one file descriptor.
std::mutex g_captureMu;
std::atomic<int> g_captureFd{-1};
std::vector<storage::IndexSummary> g_captured;

ssize_t CapturingWrite(int fd, const void* buf, size_t count) {
  if (fd == g_captureFd.load() && count == sizeof(storage::IndexSummary)) {
    storage::IndexSummary s;
    std::memcpy(&s, buf, sizeof(s));
    std::lock_guard<std::mutex> hold(g_captureMu);
    g_captured.push_back(s);
  }
  return platform::RealSyscalls().write(fd, buf, count);
}

TEST_F(FileRotationTest, ChangeOfMinuteWritesTheSummaryThenStartsANewEntry) {
  StartWith(2);
  Feed(At(10, 10, 0, 59));
  {
    EventLockHolder hold(Rec().writeLock);
    g_captureFd = Rec().indexFile->fd();
  }
  g_captured.clear();
  platform::SetSyscall(&platform::Syscalls::write, &CapturingWrite);
  Feed(At(10, 10, 1, 0));
  platform::SetSyscall(&platform::Syscalls::write, platform::RealSyscalls().write);

  ASSERT_GE(g_captured.size(), 2u);
  // First the summary of the finished minute, then (after the buffer write) the new entry.
  EXPECT_EQ(g_captured[0].lastEntry, 0);
  EXPECT_EQ(g_captured[0].entries[0].bytes, kFedSize);
  EXPECT_EQ(g_captured.back().lastEntry, 1);
  EXPECT_EQ(g_captured.back().entries[1].time, At(10, 10, 1, 0));
  EXPECT_EQ(g_captured.back().entries[1].bytes, 0u);

  _RECORDER_STOP(handle_);
  const storage::IndexSummary s = ReadSummary(IndexPath(0));
  EXPECT_EQ(s.lastEntry, 1);
  EXPECT_EQ(s.entries[0].time, At(10, 10, 0, 59));
  EXPECT_EQ(s.entries[1].bytes, kFedSize);
  EXPECT_EQ(s.startTime, At(10, 10, 0, 59));
  EXPECT_EQ(s.endTime, At(10, 10, 1, 0));
}

TEST_F(FileRotationTest, RecordOfTheNextDayIsDroppedAndStartsTheNextFile) {
  StartWith(3);
  Feed(At(10, 23, 59, 58));
  Feed(At(10, 23, 59, 59));
  Feed(At(11, 0, 0, 0));  // dropped, rotates
  EXPECT_EQ(DataOpens(), 2u);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(1)), 1u);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, IndexPath(1)), 1u);
  Feed(At(11, 0, 0, 1));
  _RECORDER_STOP(handle_);

  EXPECT_EQ(TimesOf(Stored(0)), (std::vector<int32_t>{At(10, 23, 59, 58), At(10, 23, 59, 59)}));
  EXPECT_EQ(TimesOf(Stored(1)), (std::vector<int32_t>{At(11, 0, 0, 1)}));
  const storage::IndexSummary s = ReadSummary(IndexPath(1));
  EXPECT_EQ(s.startTime, At(11, 0, 0, 0));
  EXPECT_EQ(s.endTime, At(11, 0, 0, 1));
  EXPECT_EQ(s.dataBytes, kFedSize);
  EXPECT_EQ(storage::IndexRecordName(ReadIndexFile(IndexPath(1)).record), "file1.VDB");
  // The finished file was padded to its nominal size by the closer thread.
  EXPECT_TRUE(WaitUntil([&] { return FileSize(DataPath(0)) >= storage::kDataFileSize; }));
}

TEST_F(FileRotationTest, SecondWithoutRecordsStillRewritesTheSummary) {
  StartWith(2);
  Feed(At(10, 23, 59, 59));
  Feed(At(11, 0, 0, 0));  // rotates; the buffer is empty afterwards
  const storage::IndexSummary opened = ReadSummary(IndexPath(1));
  EXPECT_EQ(opened.startTime, storage::NoTimeSeconds());
  Feed(At(11, 0, 0, 1));  // a change of second with nothing buffered
  const storage::IndexSummary rewritten = ReadSummary(IndexPath(1));
  EXPECT_EQ(rewritten.startTime, At(11, 0, 0, 0));
  EXPECT_EQ(rewritten.dataBytes, 0u);
}

TEST_F(FileRotationTest, EntryNumber119InUseRotatesAtTheNextRecord) {
  StartWith(2);
  for (int m = 0; m < 120; ++m) Feed(At(10, 10 + m / 60, m % 60, 0));
  EXPECT_EQ(MemorySummary().lastEntry, 119);
  EXPECT_EQ(DataOpens(), 1u);
  Feed(At(10, 12, 0, 0));  // stored, in the next file
  EXPECT_EQ(DataOpens(), 2u);
  _RECORDER_STOP(handle_);

  const storage::IndexSummary first = ReadSummary(IndexPath(0));
  EXPECT_EQ(first.lastEntry, 119);
  EXPECT_EQ(first.entries[119].time, At(10, 11, 59, 0));
  EXPECT_EQ(first.dataBytes, 120 * kFedSize);
  EXPECT_EQ(Stored(0).size(), 120u);
  EXPECT_EQ(TimesOf(Stored(1)), (std::vector<int32_t>{At(10, 12, 0, 0)}));
}

TEST_F(FileRotationTest, MoreThan199MiBRotatesEvenWithinASecond) {
  StartWith(2);
  Feed(At(10, 10, 0, 0));
  {
    EventLockHolder hold(Rec().writeLock);
    Rec().currentIndexRecord.summary.dataBytes = kRotateDataBytes;  // not above yet
  }
  Feed(At(10, 10, 0, 0));
  EXPECT_EQ(DataOpens(), 1u);
  {
    EventLockHolder hold(Rec().writeLock);
    Rec().currentIndexRecord.summary.dataBytes = kRotateDataBytes + 1;
  }
  Feed(At(10, 10, 0, 0));
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

// Makes the data files 0..n-1 exist with file `newest` written last.
void MakeFilesWithNewest(int n, int newest, const std::function<std::string(int)>& path) {
  const auto base = std::filesystem::file_time_type::clock::now() - std::chrono::hours(5);
  for (int i = 0; i < n; ++i) {
    ScratchDir::WriteText(path(i), "x");
    std::filesystem::last_write_time(path(i), base + std::chrono::minutes(i == newest ? 60 : i));
  }
}

TEST_F(FileRotationTest, StartContinuesAfterTheNewestFile) {
  MakeFilesWithNewest(3, 1, [&](int i) { return DataPath(i); });
  StartWith(3);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(2)), 1u);
  char name[300];
  ASSERT_EQ(_RECORDER_GETCURRENTRECFILE(handle_, name, sizeof(name)), 1);
  EXPECT_EQ(std::string(name), DataPath(2));
  EXPECT_EQ(_RECORDER_GETOVERWRITECOUNT(handle_), 0);
}

class OverwriteModeTest : public FileRotationTest, public testing::WithParamInterface<int> {};

TEST_P(OverwriteModeTest, StartAfterTheLastFileWrapsOnlyInOverwriteMode) {
  const int mode = GetParam();
  MakeFilesWithNewest(3, 2, [&](int i) { return DataPath(i); });
  AddFiles(3);
  _RECORDER_SETOVERWRITEMODE(handle_, mode);
  EXPECT_EQ(_RECORDER_START(handle_), mode);
  EXPECT_EQ(_RECORDER_GETOVERWRITECOUNT(handle_), 1);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(0)), mode == 1 ? 1u : 0u);
  EXPECT_EQ(DataOpens(), mode == 1 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, OverwriteModeTest, testing::Values(0, 1));

TEST_F(FileRotationTest, RefusedWrapRewritesTheLastFileFromItsStart) {
  _RECORDER_SETOVERWRITEMODE(handle_, 0);
  StartWith(3);
  Feed(At(10, 10, 0, 0));
  Feed(At(11, 10, 0, 0));  // -> file 1
  Feed(At(11, 10, 0, 1));
  Feed(At(12, 10, 0, 0));  // -> file 2
  Feed(At(12, 10, 0, 1));
  Feed(At(12, 10, 0, 2));
  EXPECT_EQ(_RECORDER_GETOVERWRITECOUNT(handle_), 0);
  Feed(At(13, 10, 0, 0));  // no file after the last: refused
  EXPECT_EQ(_RECORDER_GETOVERWRITECOUNT(handle_), 1);
  Feed(At(13, 10, 0, 1));
  Feed(At(14, 10, 0, 0));  // refused again
  Feed(At(14, 10, 0, 1));
  _RECORDER_STOP(handle_);

  EXPECT_EQ(DataOpens(), 3u);
  // File 2 holds only what came after the last refusal, from offset 0.
  EXPECT_EQ(TimesOf(Stored(2)), (std::vector<int32_t>{At(14, 10, 0, 1)}));
  EXPECT_EQ(ReadSummary(IndexPath(2)).startTime, At(14, 10, 0, 0));
}

TEST_F(FileRotationTest, WrapInOverwriteModeReusesTheFirstFile) {
  StartWith(2);
  Feed(At(10, 10, 0, 0));
  Feed(At(11, 10, 0, 0));  // -> file 1
  Feed(At(12, 10, 0, 0));  // -> file 0 again
  EXPECT_EQ(_RECORDER_GETOVERWRITECOUNT(handle_), 1);
  Feed(At(12, 10, 0, 1));
  _RECORDER_STOP(handle_);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(0)), 2u);
  EXPECT_EQ(TimesOf(Stored(0)), (std::vector<int32_t>{At(12, 10, 0, 1)}));
}

TEST_F(FileRotationTest, StopWritesOutTheBufferBeforeClosing) {
  StartWith(2);
  std::vector<uint8_t> payload = Pattern(2000, 3);
  for (int i = 0; i < 5; ++i) {
    FrameDescriptor d = VideoFrame(payload, 0);
    ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, 1, &d), 1);
  }
  Drain();
  // All in one second: nothing written yet but the write test at offset 0.
  EXPECT_EQ(ReadSummary(IndexPath(0)).dataBytes, 0u);
  EXPECT_EQ(storage::LoadU32(ReadBytes(DataPath(0), 0, 4).data()), storage::kRecordStartMarker);
  _RECORDER_STOP(handle_);
  EXPECT_EQ(Stored(0).size(), 5u);
  char name[300];
  EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(handle_, name, sizeof(name)), 0);
}

TEST_F(FileRotationTest, StartTwiceDoesNotReopen) {
  StartWith(2);
  const size_t events = log_.Events().size();
  EXPECT_EQ(_RECORDER_START(handle_), 1);
  EXPECT_EQ(log_.Events().size(), events);
}

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

TEST_F(FileRotationTest, EndOfARecordingRecorderWritesOutAndReturnsWithinASecond) {
  StartWith(2);
  std::vector<uint8_t> payload = Pattern(5000, 9);
  for (int i = 0; i < 20; ++i) {
    FrameDescriptor d = VideoFrame(payload, 0);
    ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, 2, &d), 1);
  }
  Drain();
  const auto before = std::chrono::steady_clock::now();
  _RECORDER_END(handle_);
  handle_ = nullptr;
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_EQ(Stored(0).size(), 20u);
}

// --- The closer thread ---

TEST_F(FileRotationTest, CloserPreparesTheNextFileAndRotationTakesIt) {
  StartWith(3);
  EXPECT_TRUE(WaitUntil([&] {
    return FileSize(DataPath(1)) == storage::kDataFileSize && FileSize(IndexPath(1)) == 0;
  }));
  Feed(At(10, 10, 0, 0));
  Feed(At(11, 10, 0, 0));
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(1)), 1u);
  EXPECT_EQ(FileSize(IndexPath(1)), storage::kIndexFileSize);
  // The next closer prepares file 2.
  EXPECT_TRUE(WaitUntil([&] { return FileSize(DataPath(2)) == storage::kDataFileSize; }));
}

TEST_F(FileRotationTest, StopEndsACloserThatCannotOpenTheNextFile) {
  const std::string missing = dir_ / "missing/file1.VDB";
  _RECORDER_ADDFILEPATH(handle_, DataPath(0).c_str());
  _RECORDER_ADDFILEPATH(handle_, missing.c_str());
  _RECORDER_SETRECORD(handle_, 0, 1);
  ASSERT_EQ(_RECORDER_START(handle_), 1);
  // The closer keeps failing to open the next file; stopping must not wait for it.
  const auto before = std::chrono::steady_clock::now();
  _RECORDER_STOP(handle_);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// --- Faults ---

TEST_F(FileRotationTest, DataFileThatCannotBeOpenedIsReportedAndTheNextRotationRecovers) {
  const std::string missing = dir_ / "missing/file1.VDB";
  _RECORDER_ADDFILEPATH(handle_, DataPath(0).c_str());
  _RECORDER_ADDFILEPATH(handle_, missing.c_str());
  _RECORDER_ADDFILEPATH(handle_, DataPath(2).c_str());
  _RECORDER_SETRECORD(handle_, 0, 1);
  ASSERT_EQ(_RECORDER_START(handle_), 1);
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
  EXPECT_EQ(TimesOf(Stored(2)), (std::vector<int32_t>{At(12, 10, 0, 1)}));
  EXPECT_EQ(ReadSummary(IndexPath(2)).dataBytes, kFedSize);
}

TEST_F(FileRotationTest, DataFileWithoutIndexNameStillRecords) {
  const std::string noDot = dir_ / "nodot";
  _RECORDER_ADDFILEPATH(handle_, noDot.c_str());
  _RECORDER_SETRECORD(handle_, 0, 1);
  ASSERT_EQ(_RECORDER_START(handle_), 1);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, noDot), 1u);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, -1, ""), 1u);
  Feed(At(10, 10, 0, 0));
  Feed(At(10, 10, 0, 1));
  Feed(At(10, 10, 0, 2));
  _RECORDER_STOP(handle_);
  EXPECT_EQ(TimesOf(ScanRecords(noDot, 4 * kFedSize)),
            (std::vector<int32_t>{At(10, 10, 0, 0), At(10, 10, 0, 1), At(10, 10, 0, 2)}));
  for (const HostEvent& e : log_.Events()) EXPECT_NE(e.code, RECORDER_EVENT_WRITE_FAILED);
}

// Write calls on one descriptor: the first writes 100 bytes, the next fails with EIO.
std::atomic<int> g_faultFd{-1};
std::atomic<int> g_faultCalls{0};
ssize_t PartialThenFailingWrite(int fd, const void* buf, size_t count) {
  if (fd == g_faultFd.load()) {
    const int call = g_faultCalls.fetch_add(1);
    if (call == 0) return platform::RealSyscalls().write(fd, buf, std::min<size_t>(count, 100));
    errno = EIO;
    return -1;
  }
  return platform::RealSyscalls().write(fd, buf, count);
}

TEST_F(FileRotationTest, FailedBufferWriteIsReportedRolledBackAndUncounted) {
  StartWith(2);
  Feed(At(10, 10, 0, 0));
  Feed(At(10, 10, 0, 1));  // the first record reaches the file
  {
    EventLockHolder hold(Rec().writeLock);
    g_faultFd = Rec().dataFile->fd();
  }
  g_faultCalls = 0;
  platform::SetSyscall(&platform::Syscalls::write, &PartialThenFailingWrite);
  Feed(At(10, 10, 0, 2));  // writing the second record fails after 100 bytes
  platform::SetSyscall(&platform::Syscalls::write, platform::RealSyscalls().write);
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
  _RECORDER_STOP(handle_);

  const storage::FileInfo first = ReadFileInfo(header, 0);
  EXPECT_EQ(first.summary.dataBytes, kFedSize);
  EXPECT_EQ(first.summary.startTime, At(10, 10, 0, 0));
  const storage::FileInfo empty = ReadFileInfo(header, 1);
  EXPECT_EQ(storage::FileInfoPath(empty), "");
  EXPECT_EQ(empty.summary.dataBytes, 0u);
  EXPECT_EQ(empty.summary.startTime, storage::NoTimeSeconds());
  const storage::FileInfo third = ReadFileInfo(header, 2);
  EXPECT_EQ(storage::FileInfoPath(third), DataPath(2));
  const IndexFileView index = ReadIndexFile(IndexPath(2));
  EXPECT_EQ(std::memcmp(&third.summary, &index.record.summary, sizeof(third.summary)), 0);
  EXPECT_EQ(third.summary.dataBytes, 2 * kFedSize);
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
