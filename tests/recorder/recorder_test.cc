#include "recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>

#include "platform/local_time.h"
#include "recorder/path_list.h"
#include "recorder/recorder.h"
#include "recorder/recorder_test_support.h"

namespace {

using recorder_test::ProbeRecorder;

std::string PathAt(RECORDER_HANDLE recorder, int32_t index) {
  char buffer[256];
  if (_RECORDER_GETFILEPATH(recorder, index, buffer, sizeof(buffer)) == 0) return "<none>";
  return buffer;
}

class RecorderExportTest : public ::testing::Test {
 protected:
  void SetUp() override { recorder = _RECORDER_INIT("cam", 42, nullptr); }
  void TearDown() override { _RECORDER_END(recorder); }
  RECORDER_HANDLE recorder = nullptr;
};

TEST_F(RecorderExportTest, NewRecorderOverwritesAndCannotStartWithoutFiles) {
  ASSERT_NE(recorder, nullptr);
  EXPECT_EQ(_RECORDER_GETOVERWRITEMODE(recorder), 1);
  EXPECT_EQ(_RECORDER_START(recorder), 0);
  _RECORDER_STOP(recorder);
  EXPECT_EQ(CRecorderBase::FromHandle(recorder)->recording, 0);
}

TEST_F(RecorderExportTest, PathListKeepsOrderDuplicatesAndExactRemoval) {
  _RECORDER_ADDFILEPATH(recorder, "/rec/a.VDB");
  _RECORDER_ADDFILEPATH(recorder, "/rec/b.VDB");
  _RECORDER_ADDFILEPATH(recorder, "/rec/a.VDB");
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(recorder), 3);
  _RECORDER_REMOVEFILEPATH(recorder, "/REC/A.VDB");  // differs only in case: nothing
  _RECORDER_REMOVEFILEPATH(recorder, "/rec/a");      // a prefix: nothing
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(recorder), 3);
  _RECORDER_REMOVEFILEPATH(recorder, "/rec/a.VDB");  // only the first of the two
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(recorder), 2);
  EXPECT_EQ(PathAt(recorder, 0), "/rec/b.VDB");
  EXPECT_EQ(PathAt(recorder, 1), "/rec/a.VDB");
  EXPECT_EQ(PathAt(recorder, 2), "<none>");
  EXPECT_EQ(PathAt(recorder, -1), "<none>");
  _RECORDER_CLEARFILEPATH(recorder);
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(recorder), 0);
  _RECORDER_CLEARFILEPATH(recorder);
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(recorder), 0);
}

TEST_F(RecorderExportTest, PathIsCopiedOnlyWhenItAndItsTerminatorFit) {
  _RECORDER_ADDFILEPATH(recorder, "/rec/0001.VDB");  // 13 characters
  char buffer[32];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(_RECORDER_GETFILEPATH(recorder, 0, buffer, 13), 0);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(_RECORDER_GETFILEPATH(recorder, 0, buffer, 14), 1);
  EXPECT_EQ(std::memcmp(buffer, "/rec/0001.VDB\0#", 15), 0);
}

// ---- Start, stop and the restarting settings, with a recorder that opens no file. ----

class RecorderLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder = std::make_unique<ProbeRecorder>();
    recorder->Initialise("probe", 0, nullptr);
  }
  std::string CurrentRecFile(int32_t size = 256) {
    char buffer[256];
    std::memset(buffer, '#', sizeof(buffer));
    if (recorder->GetCurrentRecFile(buffer, size) == 0) return "<none>";
    return buffer;
  }
  std::unique_ptr<ProbeRecorder> recorder;
};

TEST_F(RecorderLifecycleTest, StartOpensOnceAndStopClosesTheCurrentFile) {
  recorder->AddFilePath("/rec/a.VDB");
  recorder->AddFilePath("/rec/b.VDB");
  EXPECT_EQ(recorder->Start(), 1);
  EXPECT_EQ(recorder->Start(), 1);  // already recording: nothing is reopened
  EXPECT_EQ(recorder->openCalls, 1);
  EXPECT_EQ(CurrentRecFile(), "/rec/a.VDB");  // no file exists: the first file of the set
  EXPECT_EQ(CurrentRecFile(10), "<none>");    // the name does not fit
  EXPECT_EQ(CurrentRecFile(11), "/rec/a.VDB");
  recorder->Stop();
  EXPECT_EQ(recorder->recording, 0);
  EXPECT_EQ(CurrentRecFile(), "<none>");
  recorder->Stop();
}

TEST_F(RecorderLifecycleTest, PathChangesRestartARunningRecordingEvenWhenNothingChanges) {
  recorder->AddFilePath("/rec/a.VDB");
  ASSERT_EQ(recorder->Start(), 1);
  recorder->AddFilePath("/rec/b.VDB");
  EXPECT_EQ(recorder->openCalls, 2);
  EXPECT_EQ(recorder->fileCount, 2);
  recorder->RemoveFilePath("/rec/not-there.VDB");
  EXPECT_EQ(recorder->openCalls, 3);
  recorder->SetHeaderFilePath("/rec/header", 0);
  EXPECT_EQ(recorder->openCalls, 4);
  EXPECT_EQ(recorder->recording, 1);
  // Settings that only store a value do not restart.
  recorder->SetOverwriteMode(0);
  recorder->SetRecord(0, 1);
  recorder->SetStatus(0, 2);
  recorder->SetPrePostTime(1, 2);
  EXPECT_EQ(recorder->openCalls, 4);
  // A restart whose start fails leaves the recorder stopped.
  recorder->ClearFilePath();
  EXPECT_EQ(recorder->openCalls, 5);
  EXPECT_EQ(recorder->recording, 0);
  EXPECT_EQ(CurrentRecFile(), "<none>");
  // A stopped recorder is not started by a change.
  recorder->AddFilePath("/rec/c.VDB");
  EXPECT_EQ(recorder->openCalls, 5);
  EXPECT_EQ(recorder->recording, 0);
}

TEST_F(RecorderLifecycleTest, UnknownFileSetSourceMakesTheNextStartFail) {
  recorder->AddFilePath("/rec/a.VDB");
  recorder->SetHeaderFilePath("", 2);
  EXPECT_EQ(recorder->Start(), 0);
  EXPECT_EQ(recorder->fileCount, 0);
  recorder->SetHeaderFilePath("", 0);
  EXPECT_EQ(recorder->Start(), 1);
}

TEST_F(RecorderLifecycleTest, StartResetsThePerStartValues) {
  recorder->AddFilePath("/rec/a.VDB");
  {
    platform::MutexLock hold(&recorder->writeLock);
    recorder->needHeader = 0;
    recorder->streamFileId = 9;
    recorder->overwriteCount = 1;
    recorder->lastFrameTime = platform::CTime(12345);
    recorder->currentIndexRecord.summary.dataBytes = 77;
  }
  ASSERT_EQ(recorder->Start(), 1);
  platform::MutexLock hold(&recorder->writeLock);
  const storage::IndexSummary& s = recorder->currentIndexRecord.summary;
  EXPECT_EQ(std::make_tuple(recorder->needHeader, recorder->streamFileId,
                            recorder->overwriteCount.load(), recorder->lastFrameTime.seconds(),
                            s.dataBytes, s.startTime, recorder->writeFill),
            std::make_tuple(1, -1, 0, platform::CTime::NoTime().seconds(), 0u,
                            platform::CTime::NoTime().seconds(), 0u));
}

TEST(RecorderDestructionTest, EndingARecorderIsQuickWhenItsThreadsAreIdle) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    RECORDER_HANDLE recorder = _RECORDER_INIT("quick", 0, nullptr);
    ASSERT_NE(recorder, nullptr);
    _RECORDER_END(recorder);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
