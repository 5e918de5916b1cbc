// The deletion worker next to a live recording: with a retention of 0 every old enough
// data file in the path-list directories is a candidate, but the files the recorder holds
// open (the pair being written and the pair prepared for the next rotation) must survive,
// while a file nobody uses goes, with its index file, and is reported to the host.
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

class DeletionWhileRecordingTest : public RecorderTest {
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

TEST_F(DeletionWhileRecordingTest, FilesInUseSurviveRetentionZeroWhileUnusedOnesGo) {
  // Two data files of the rotation set, and the directory itself for the deletion worker
  // (it sits last in the list, so the recording never reaches it in this test).
  AddFiles(2);
  _RECORDER_ADDFILEPATH(handle_, dir_.path().c_str());
  const std::string oldData = dir_ / "old.VDB";
  const std::string oldIndex = dir_ / "old.FIH";
  std::ofstream(oldData) << "an old recording";
  std::ofstream(oldIndex) << "its index";

  ASSERT_EQ(_RECORDER_START(handle_), 1);
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

  const int64_t anHourAgo = g_testNow - 3600;
  for (const std::string& path :
       {DataPath(0), IndexPath(0), DataPath(1), IndexPath(1), oldData, oldIndex}) {
    SetLastWrite(path, anHourAgo);
  }
  _RECORDER_DELETEMAN_START(handle_, 0, 0);
  Rec().deleteManager->RunDeletionScan();

  EXPECT_FALSE(std::filesystem::exists(oldData));
  EXPECT_FALSE(std::filesystem::exists(oldIndex));
  EXPECT_EQ(log_.Count(1, 0, oldData), 1u);
  EXPECT_EQ(log_.Count(1, 0, oldIndex), 1u);
  for (const std::string& path : {DataPath(0), IndexPath(0), DataPath(1), IndexPath(1)}) {
    EXPECT_TRUE(std::filesystem::exists(path)) << path << " was deleted while in use";
    EXPECT_EQ(log_.Count(1, 0, path), 0u) << path;
  }

  // Recording goes on into the file that survived: what STOP writes out is readable.
  _RECORDER_STOP(handle_);
  EXPECT_EQ(ReadIndexedRecords(DataPath(0)).size(), 50u);
}

}  // namespace
}  // namespace rectest
