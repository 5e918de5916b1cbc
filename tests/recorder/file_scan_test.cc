// The scan of existing files at start: the rotation set from the path list or the header
// file, and the newest file in it. Run in two time zones, since times are compared as local
// times and the no-time value is local.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/local_time.h"
#include "recorder/recorder.h"
#include "recorder/recorder_test_support.h"
#include "storage/formats.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"

namespace {

using testsupport::ScopedTimeZone;

// A header file with `recordCount` in its head and one record per (path, start, bytes);
// `truncateTo` > 0 cuts the file to that many bytes.
struct HeaderRecord {
  std::string path;
  int32_t startTime;
  uint32_t dataBytes;
};
void WriteHeaderFile(const std::string& file, uint32_t recordCount,
                     const std::vector<HeaderRecord>& records, uint64_t truncateTo = 0) {
  std::vector<storage::FileInfo> infos;
  for (const HeaderRecord& r : records) {
    infos.push_back(testsupport::MakeFileInfo(r.path, r.startTime, r.dataBytes));
  }
  testsupport::WriteHeaderFile(file, recordCount, infos);
  if (truncateTo > 0) std::filesystem::resize_file(file, truncateTo);
}

void SetLastWriteTime(const std::string& file, int64_t utcSeconds) {
  std::ofstream(file, std::ios::app).put('x');
  struct timespec times[2];
  times[0].tv_sec = utcSeconds;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

class FileScanTest : public ::testing::TestWithParam<const char*> {
 protected:
  FileScanTest() : zone_(GetParam()) {
    recorder = std::make_unique<CRecorder>();
    recorder->Initialise("scan", 0, nullptr);
  }

  // The scan runs under writeLock, as Start runs it.
  int32_t Load() {
    platform::MutexLock hold(&recorder->writeLock);
    return recorder->LoadFileList();
  }
  int32_t FindNewest() {
    platform::MutexLock hold(&recorder->writeLock);
    return recorder->FindNewestFile();
  }
  int32_t CurrentFile() { return recorder->currentFile; }
  bool HeaderFileOpen() {
    platform::MutexLock hold(&recorder->writeLock);
    return recorder->headerFile != nullptr;
  }
  std::vector<std::string> FileNames() {
    platform::MutexLock hold(&recorder->writeLock);
    return recorder->fileNames;
  }
  void UseHeaderFile(const std::string& file) { recorder->SetHeaderFilePath(file.c_str(), 1); }
  static int32_t LocalTime(int hour) {
    return platform::CTime::FromLocal(2024, 5, 10, hour, 0, 0).seconds();
  }

  ScopedTimeZone zone_;
  testsupport::ScratchDir dir_;
  const std::string header = dir_ / "header";
  std::unique_ptr<CRecorder> recorder;
};

TEST_P(FileScanTest, PathListNewestFileIsTheLatestWrittenTheLaterOnATie) {
  const int64_t base = 1700000000;  // 2023-11-14
  SetLastWriteTime(dir_ / "a.VDB", base + 60);
  SetLastWriteTime(dir_ / "c.VDB", base + 3600);
  SetLastWriteTime(dir_ / "d.VDB", base + 3600);
  SetLastWriteTime(dir_ / "f.VDB", base);
  // b and e do not exist and stay in the set.
  std::vector<std::string> paths;
  for (const char* name : {"a.VDB", "b.VDB", "c.VDB", "d.VDB", "e.VDB", "f.VDB"}) {
    paths.push_back(dir_ / name);
    recorder->AddFilePath(paths.back().c_str());
  }
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(recorder->fileCount, 6);
  EXPECT_EQ(FileNames(), paths);
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), 3);
}

TEST_P(FileScanTest, EmptyPathListLoadsNothingAndNoExistingFileHasNoNewest) {
  EXPECT_EQ(Load(), 0);
  EXPECT_EQ(recorder->fileCount, 0);
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), -1);
  recorder->AddFilePath((dir_ / "a.VDB").c_str());
  recorder->AddFilePath((dir_ / "b.VDB").c_str());
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), -1);
}

TEST_P(FileScanTest, PathListNewestComparesFullPrecisionAndPrefersFilesWithRecords) {
  // Written within one second: the later nanosecond wins, whatever the order in the set.
  const int64_t second = 1700000000;
  for (const auto& [name, ns] : {std::pair{"a.VDB", 900000000L}, std::pair{"b.VDB", 100L}}) {
    SetLastWriteTime(dir_ / name, second);
    const struct timespec times[2] = {{second, ns}, {second, ns}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / name).c_str(), times, 0), 0);
    recorder->AddFilePath((dir_ / name).c_str());
  }
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), 0);
  // A file written an hour later whose index counts no records (one prepared for the next
  // rotation) loses to one whose index counts some.
  storage::IndexSummary counted = storage::MakeEmptySummary();
  counted.dataBytes = 100;
  testsupport::WriteIndexFile(dir_ / "b.FIH", {testsupport::MakeRecord("b.VDB", counted)});
  testsupport::WriteIndexFile(dir_ / "c.FIH",
                              {testsupport::MakeRecord("c.VDB", storage::MakeEmptySummary())});
  SetLastWriteTime(dir_ / "c.VDB", second + 3600);
  recorder->AddFilePath((dir_ / "c.VDB").c_str());
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), 1);
}

TEST_P(FileScanTest, HeaderFileNewestRecordIsTheLatestStartWithData) {
  const int32_t noTime = platform::CTime::NoTime().seconds();
  WriteHeaderFile(header, 4,
                  {{"/rec/0.VDB", LocalTime(8), 100},
                   {"/rec/1.VDB", LocalTime(9), 100},
                   {"/rec/2.VDB", noTime, 100},
                   {"/rec/3.VDB", LocalTime(7), 100}});
  UseHeaderFile(header);
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(recorder->fileCount, 4);
  EXPECT_TRUE(HeaderFileOpen());  // kept open for the summary writes
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), 1);
}

TEST_P(FileScanTest, HeaderFileWithoutDataHasNoNewest) {
  WriteHeaderFile(header, 3,
                  {{"/rec/0.VDB", LocalTime(8), 0},
                   {"/rec/1.VDB", LocalTime(9), 0},
                   {"/rec/2.VDB", LocalTime(10), 0x80000000u}});  // negative as signed
  UseHeaderFile(header);
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), -1);
}

TEST_P(FileScanTest, HeaderFileEmptyPathShiftsListPositionsAndNewestIsAPosition) {
  WriteHeaderFile(header, 4,
                  {{"/rec/0.VDB", LocalTime(8), 100},
                   {"", LocalTime(11), 100},  // empty record, not part of the set
                   {"/rec/2.VDB", LocalTime(7), 100},
                   {"/rec/3.VDB", LocalTime(9), 100}});
  UseHeaderFile(header);
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(FileNames(), (std::vector<std::string>{"/rec/0.VDB", "/rec/2.VDB", "/rec/3.VDB"}));
  EXPECT_EQ(recorder->fileRecordNumbers, (std::vector<int32_t>{0, 2, 3}));
  EXPECT_EQ(recorder->fileCount, 3);
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), 2);  // record 3 is at list position 2
}

TEST_P(FileScanTest, HeaderFileWithoutRecordsOrWithAShortHeadLoadsNothing) {
  WriteHeaderFile(header, 0, {{"/rec/0.VDB", LocalTime(8), 100}});
  UseHeaderFile(header);
  EXPECT_EQ(Load(), 0);
  EXPECT_FALSE(HeaderFileOpen());
  EXPECT_EQ(recorder->fileCount, 0);

  WriteHeaderFile(header, 1, {}, storage::kHeaderFileHeadSize - 1);
  EXPECT_EQ(Load(), 0);
  EXPECT_FALSE(HeaderFileOpen());

  UseHeaderFile(dir_ / "missing");
  EXPECT_EQ(Load(), 0);
  EXPECT_FALSE(HeaderFileOpen());
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), -1);
}

TEST_P(FileScanTest, HugeRecordCountIsReadOnlyUpToTheFilesEnd) {
  // Three whole records and half of a fourth.
  WriteHeaderFile(header, 0xFFFFFFFFu,
                  {{"/rec/0.VDB", LocalTime(8), 100},
                   {"/rec/1.VDB", LocalTime(10), 100},
                   {"/rec/2.VDB", LocalTime(9), 100},
                   {"/rec/3.VDB", LocalTime(12), 100}},
                  storage::kHeaderFileHeadSize + 3 * storage::kFileInfoSize + 100);
  UseHeaderFile(header);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Load(), 1);
  EXPECT_EQ(FileNames(), (std::vector<std::string>{"/rec/0.VDB", "/rec/1.VDB", "/rec/2.VDB"}));
  EXPECT_EQ(FindNewest(), 1);
  EXPECT_EQ(CurrentFile(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_P(FileScanTest, UnterminatedPathIsCutAt259Characters) {
  std::string longPath = "/" + std::string(300, 'p');
  WriteHeaderFile(header, 1, {{"", LocalTime(8), 100}});
  {
    // Fill the whole 260-byte path field without a terminator.
    std::fstream file(header, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(storage::kHeaderFileHeadSize);
    file.write(longPath.data(), storage::kFileInfoPathSize);
  }
  UseHeaderFile(header);
  EXPECT_EQ(Load(), 1);
  ASSERT_EQ(FileNames().size(), 1u);
  EXPECT_EQ(FileNames()[0], longPath.substr(0, 259));
}

INSTANTIATE_TEST_SUITE_P(TimeZones, FileScanTest, ::testing::Values("UTC", "Asia/Shanghai"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param).find('/') == std::string::npos
                                      ? std::string(info.param)
                                      : std::string("Shanghai");
                         });

}  // namespace
