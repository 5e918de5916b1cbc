// The deletion worker next to a live recording. The path list names the data files of the
// rotation set (and may name their directory too): the worker looks in the directory of
// each, never deletes the files the recorder holds open (the pair being written and the pair
// prepared for the next rotation), deletes an unused file past the retention time with its
// index file and reports both, and keeps a recent one. A listed directory is never recorded
// into.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "recording_test_util.h"
#include "storage/delete_manager.h"

namespace rectest {
namespace {

class DeletionWhileRecordingTest : public RecorderTest, public testing::WithParamInterface<bool> {
 protected:
  // Gives a file the last-write time `seconds` (UTC seconds), so the retention rule sees it
  // as old whatever the real clock says.
  static void SetLastWrite(const std::string& path, int64_t seconds) {
    struct timespec times[2];
    times[0].tv_sec = seconds;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }
};

TEST_P(DeletionWhileRecordingTest, OldUnusedFilesGoWhileFilesInUseAndRecentOnesStay) {
  AddFiles(2);
  if (GetParam()) _RECORDER_ADDFILEPATH(handle_, dir_.root().c_str());
  const std::string oldData = dir_ / "old.VDB";
  const std::string oldIndex = dir_ / "old.FIH";
  const std::string recentData = dir_ / "recent.VDB";
  for (const std::string& path : {oldData, oldIndex, recentData}) std::ofstream(path) << "x";

  ASSERT_EQ(_RECORDER_START(handle_), 1);
  char current[300] = {};
  ASSERT_EQ(_RECORDER_GETCURRENTRECFILE(handle_, current, sizeof(current)), 1);
  EXPECT_EQ(std::string(current), DataPath(0));
  std::vector<uint8_t> buffer = Pattern(4000, 7);
  for (int i = 0; i < 50; ++i) {
    FrameDescriptor d = VideoFrame(buffer, 0);
    ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, static_cast<uint32_t>(i % 4), &d), 1);
  }
  Drain();
  // The closer thread prepares the next pair in advance; wait until it is there.
  ASSERT_TRUE(WaitUntil([&] {
    return std::filesystem::exists(DataPath(1)) && std::filesystem::exists(IndexPath(1));
  }));

  const int64_t threeHoursAgo = g_testNow - 3 * 3600;
  for (const std::string& path :
       {DataPath(0), IndexPath(0), DataPath(1), IndexPath(1), oldData, oldIndex}) {
    SetLastWrite(path, threeHoursAgo);
  }
  SetLastWrite(recentData, g_testNow - 3600);
  _RECORDER_DELETEMAN_START(handle_, 0, 2);
  Rec().deleteManager->RunDeletionScan();

  EXPECT_FALSE(std::filesystem::exists(oldData));
  EXPECT_FALSE(std::filesystem::exists(oldIndex));
  EXPECT_EQ(log_.Count(1, 0, oldData), 1u);
  EXPECT_EQ(log_.Count(1, 0, oldIndex), 1u);
  EXPECT_TRUE(std::filesystem::exists(recentData));
  for (const std::string& path : {DataPath(0), IndexPath(0), DataPath(1), IndexPath(1)}) {
    EXPECT_TRUE(std::filesystem::exists(path)) << path << " was deleted while in use";
    EXPECT_EQ(log_.Count(1, 0, path), 0u) << path;
  }

  // Recording goes on into the file that survived: what STOP writes out is readable.
  Drain();
  {
    platform::MutexLock hold(&Rec().writeLock);
    Rec().FlushWriteBuffer(0);
  }
  EXPECT_EQ(ReadIndexedRecords(DataPath(0)).size(), 50u);
  // The rotation goes round the two data files only.
  for (int day = 1; day <= 2; ++day) {
    g_testNow += 86400;
    FrameDescriptor d = VideoFrame(buffer, 0);
    ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &d), 1);
    Drain();
  }
  _RECORDER_STOP(handle_);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(0)), 2u);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(1)), 1u);
  for (const HostEvent& e : log_.Events()) EXPECT_NE(e.status, -1) << e.path;
}

INSTANTIATE_TEST_SUITE_P(DirectoryListedToo, DeletionWhileRecordingTest, testing::Bool());

}  // namespace
}  // namespace rectest
