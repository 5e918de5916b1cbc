// The recorder's lifecycle and settings through the exports: the path list, START and STOP,
// the settings that restart a running recording, where each START goes on, and the deletion
// worker beside a live recording.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "support/recording_host.h"

namespace {

using namespace testsupport;

std::string PathAt(RECORDER_HANDLE recorder, int32_t index, int32_t size = 256) {
  char buffer[256];
  std::memset(buffer, '#', sizeof(buffer));
  if (_RECORDER_GETFILEPATH(recorder, index, buffer, size) == 0)
    return buffer[0] == '#' ? "-" : "?";
  return buffer;
}

TEST(RecorderTest, PathListKeepsOrderDuplicatesAndExactRemoval) {
  RecordingHost host;
  RECORDER_HANDLE r = host.handle;
  EXPECT_EQ(_RECORDER_START(r), 0);  // no files
  for (const char* path : {"/rec/a.VDB", "/rec/b.VDB", "/rec/a.VDB"})
    _RECORDER_ADDFILEPATH(r, path);
  _RECORDER_REMOVEFILEPATH(r, "/REC/A.VDB");  // differs only in case: nothing
  _RECORDER_REMOVEFILEPATH(r, "/rec/a");      // a prefix: nothing
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(r), 3);
  _RECORDER_REMOVEFILEPATH(r, "/rec/a.VDB");  // only the first of the two
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(r), 2);
  // A path is given only when it and its terminator fit.
  EXPECT_EQ(
      (std::vector<std::string>{PathAt(r, 0), PathAt(r, 1), PathAt(r, 1, 10), PathAt(r, 1, 11)}),
      (std::vector<std::string>{"/rec/b.VDB", "/rec/a.VDB", "-", "/rec/a.VDB"}));
  for (int32_t index : {-1, 2, INT32_MAX, INT32_MIN}) EXPECT_EQ(PathAt(r, index), "-") << index;
  for (int32_t size : {0, -1, INT32_MIN}) EXPECT_EQ(PathAt(r, 0, size), "-") << size;
  _RECORDER_CLEARFILEPATH(r);
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(r), 0);
}

TEST(RecorderTest, PathChangesRestartARunningRecordingAndOnlyThey) {
  RecordingHost host;
  RECORDER_HANDLE r = host.handle;
  // Files opened, each data file with its index.
  const auto opens = [&] { return host.log.Count(RECORDER_EVENT_FILE_OPENED); };
  host.AddFiles(1);
  ASSERT_EQ(_RECORDER_START(r), 1);
  EXPECT_EQ(_RECORDER_START(r), 1);  // already recording: nothing is reopened
  EXPECT_EQ(host.CurrentFile(), host.Data(0));
  char name[300] = "#";
  const auto length = static_cast<int32_t>(host.Data(0).size());  // fits with its terminator
  for (int32_t size : {length, 0, -1, INT32_MIN}) {
    EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(r, name, size), 0);
  }
  EXPECT_EQ(name[0], '#');
  EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(r, name, length + 1), 1);
  ASSERT_EQ(host.Video(0), 1);
  _RECORDER_ADDFILEPATH(r, host.Data(1).c_str());
  EXPECT_EQ(host.CurrentFile(), host.Data(1));             // goes on after the file just recorded
  EXPECT_EQ(ReadIndexedRecords(host.Data(0)).size(), 1u);  // written out by the restart
  _RECORDER_REMOVEFILEPATH(r, "/not/there.VDB");
  _RECORDER_SETHEADERFILEPATH(r, "/not/used", 0);
  EXPECT_EQ(opens(), 8u);
  _RECORDER_SETOVERWRITEMODE(r, 1);
  _RECORDER_SETRECORD(r, 0, 1);
  _RECORDER_SETSTATUS(r, 0, 1);
  _RECORDER_SETPREPOSTTIME(r, 1, 2);
  EXPECT_EQ(opens(), 8u);
  _RECORDER_CLEARFILEPATH(r);  // the restart fails: stopped
  EXPECT_EQ(host.CurrentFile(), "");
  _RECORDER_ADDFILEPATH(r, host.Data(2).c_str());  // a stopped recorder is not started
  EXPECT_EQ(opens(), 8u);
  _RECORDER_SETHEADERFILEPATH(r, "", 2);  // an unknown source: START fails
  EXPECT_EQ(_RECORDER_START(r), 0);
  _RECORDER_SETHEADERFILEPATH(r, "", 0);
  EXPECT_EQ(_RECORDER_START(r), 1);
}

// START within the second of the STOP before it, over and over: each recording goes on in
// the file after the one just recorded, which keeps its records.
TEST(RecorderTest, StartRightAfterStopGoesOnInTheNextFile) {
  for (int files : {2, 3}) {
    for (int mode : {0, 1}) {
      RecordingHost host;
      host.AddFiles(files);
      _RECORDER_SETOVERWRITEMODE(host.handle, mode);
      for (int cycle = 0; cycle < 7; ++cycle) {
        SCOPED_TRACE(testing::Message() << files << " files, mode " << mode << ", cycle " << cycle);
        const int32_t started = _RECORDER_START(host.handle);
        if (mode == 0 && cycle >= files) {  // the set is used up and may not be overwritten
          EXPECT_EQ(started, 0);
          break;
        }
        ASSERT_EQ(started, 1);
        EXPECT_EQ(host.CurrentFile(), host.Data(cycle % files));
        host.SetTime(g_testNow + 1);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(host.Video(0, 300), 1);
        _RECORDER_STOP(host.handle);
        EXPECT_EQ(ReadIndexedRecords(host.Data(cycle % files)).size(), 3u);
        if (cycle > 0) {
          EXPECT_EQ(ReadIndexedRecords(host.Data((cycle - 1) % files)).size(), 3u);
        }
      }
    }
  }
}

// The deletion worker looks in the directory of each listed file (and in a listed
// directory), never deletes the files the recorder holds open (the pair in use and the pair
// prepared for the next rotation), deletes an unused file past the retention time with its
// index file and reports both, and keeps a recent one. A listed directory is never recorded
// into.
TEST(RecorderTest, DeletionSparesTheFilesInUseAndRecentOnes) {
  for (bool directoryListed : {false, true}) {
    RecordingHost host;
    host.AddFiles(2);
    if (directoryListed) _RECORDER_ADDFILEPATH(host.handle, host.dir.root().c_str());
    const std::string oldData = host.dir / "old.VDB", oldIndex = host.dir / "old.FIH",
                      recent = host.dir / "recent.VDB";
    ASSERT_EQ(_RECORDER_START(host.handle), 1);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(host.Video(i % 4, 4000), 1);
    ASSERT_TRUE(host.Drain());
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(host.Index(1)); }));
    const std::vector<std::string> inUse = {host.Data(0), host.Index(0), host.Data(1),
                                            host.Index(1)};
    for (const std::string& path : {inUse[0], inUse[1], inUse[2], inUse[3], oldData, oldIndex})
      SetWritten(path, g_testNow - 3 * 3600);
    SetWritten(recent, g_testNow - 3600);
    _RECORDER_DELETEMAN_START(host.handle, 0, 2);
    CRecorder::FromHandle(host.handle)->RunDeletionScanForTest();
    EXPECT_EQ(host.log.Count(1, 0, oldData) + host.log.Count(1, 0, oldIndex), 2u);
    EXPECT_FALSE(std::filesystem::exists(oldData) || std::filesystem::exists(oldIndex));
    for (const std::string& path : {inUse[0], inUse[1], inUse[2], inUse[3], recent})
      EXPECT_TRUE(std::filesystem::exists(path)) << path;
    for (int day = 1; day <= 2; ++day) {
      host.SetTime(g_testNow + 86400);
      ASSERT_EQ(host.Video(0), 1);
      ASSERT_TRUE(host.Drain());
    }
    _RECORDER_STOP(host.handle);
    EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, 0, host.Data(0)), 2u);
    EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, 0, host.Data(1)), 1u);
    for (const RecorderEvent& e : host.log.Events()) EXPECT_NE(e.status, -1) << e.path;
  }
}

}  // namespace
