// The recorder's lifecycle and settings through the exports: the path list, START and STOP,
// the settings that restart a running recording, where each START goes on, and the deletion
// worker beside a live recording.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/child_process.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;

// The path list keeps order and duplicates and removes exactly one equal path; a path (or the
// current file's name) is given only when it and its terminator fit. Changing the paths or
// the header file restarts a running recording, which goes on after the file just recorded;
// other settings do not.
TEST(RecorderTest, PathListAndPathChangesRestartARunningRecordingAndOnlyThey) {
  RecordingHost host;
  RECORDER_HANDLE r = host.handle;
  const auto pathAt = [&](int32_t index, int32_t size) {
    char buffer[256] = "#";
    return _RECORDER_GETFILEPATH(r, index, buffer, size) == 0 ? "-" : std::string(buffer);
  };
  for (const char* path : {"/rec/a.VDB", "/rec/b.VDB", "/rec/a.VDB", "/REC/A.VDB", "/rec/a"})
    _RECORDER_ADDFILEPATH(r, path);
  for (const char* path : {"/rec/a.VDB", "/REC/A.VDB", "/rec/a"}) _RECORDER_REMOVEFILEPATH(r, path);
  EXPECT_EQ(std::vector<std::string>({pathAt(0, 256), pathAt(1, 10), pathAt(1, 11), pathAt(2, 256),
                                      pathAt(-1, 256), pathAt(0, -1)}),
            std::vector<std::string>({"/rec/b.VDB", "-", "/rec/a.VDB", "-", "-", "-"}));
  _RECORDER_CLEARFILEPATH(r);

  host.AddFiles(1);
  ASSERT_EQ(_RECORDER_START(r), 1);
  EXPECT_EQ(_RECORDER_START(r), 1);  // already recording: nothing is reopened
  char name[300] = "#";
  const auto length = static_cast<int32_t>(host.Data(0).size());  // fits with its terminator
  EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(r, name, length) + _RECORDER_GETCURRENTRECFILE(r, name, 0),
            0);
  EXPECT_EQ(name[0], '#');
  EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(r, name, length + 1), 1);
  ASSERT_EQ(host.Video(0), 1);
  _RECORDER_ADDFILEPATH(r, host.Data(1).c_str());
  EXPECT_EQ(host.CurrentFile(), host.Data(1));             // goes on after the file just recorded
  EXPECT_EQ(ReadIndexedRecords(host.Data(0)).size(), 1u);  // written out by the restart
  _RECORDER_REMOVEFILEPATH(r, "/not/there.VDB");
  _RECORDER_SETHEADERFILEPATH(r, "/not/used", 0);
  _RECORDER_SETOVERWRITEMODE(r, 1);
  EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED), 8u);
  _RECORDER_CLEARFILEPATH(r);  // the restart fails: stopped
  EXPECT_EQ(host.CurrentFile(), "");
  _RECORDER_ADDFILEPATH(r, host.Data(2).c_str());  // a stopped recorder is not started
  EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED), 8u);
}

// START within the second of the STOP before it, over and over: each recording goes on in
// the file after the one just recorded, which keeps its records; without overwriting, the
// used-up set is refused.
TEST(RecorderTest, StartRightAfterStopGoesOnInTheNextFile) {
  for (int mode : {0, 1}) {
    RecordingHost host;
    host.AddFiles(3);
    _RECORDER_SETOVERWRITEMODE(host.handle, mode);
    for (int cycle = 0; cycle < 5; ++cycle) {
      const int32_t started = _RECORDER_START(host.handle);
      ASSERT_EQ(started, mode == 1 || cycle < 3 ? 1 : 0) << "mode " << mode << ", cycle " << cycle;
      if (started == 0) break;
      EXPECT_EQ(host.CurrentFile(), host.Data(cycle % 3));
      host.SetTime(g_testNow + 1);
      for (int i = 0; i < 3; ++i) ASSERT_EQ(host.Video(0, 300), 1);
      _RECORDER_STOP(host.handle);
      for (int back = 0; back <= std::min(cycle, 1); ++back)
        EXPECT_EQ(ReadIndexedRecords(host.Data((cycle + 3 - back) % 3)).size(), 3u) << cycle;
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
    const std::vector<std::string> kept = {host.Data(0), host.Index(0), host.Data(1), host.Index(1),
                                           host.dir / "recent.VDB"},
                                   old = {host.dir / "old.VDB", host.dir / "old.FIH"};
    ASSERT_TRUE(_RECORDER_START(host.handle) == 1 && host.Video(0, 4000) == 1 && host.Drain());
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(host.Index(1)); }));
    for (const std::string& path : {kept[0], kept[1], kept[2], kept[3], old[0], old[1]})
      SetWritten(path, g_testNow - 3 * 3600);
    SetWritten(kept[4], g_testNow - 3600);
    _RECORDER_DELETEMAN_START(host.handle, 0, 2);
    CRecorder::FromHandle(host.handle)->RunDeletionScanForTest();
    EXPECT_EQ(host.log.Count(1, 0, old[0]) + host.log.Count(1, 0, old[1]), 2u);
    EXPECT_FALSE(std::filesystem::exists(old[0]) || std::filesystem::exists(old[1]));
    for (const std::string& path : kept) EXPECT_TRUE(std::filesystem::exists(path)) << path;
    for (int day = 1; day <= 2; ++day) {
      host.SetTime(g_testNow + 86400);
      ASSERT_TRUE(host.Video(0) == 1 && host.Drain());
    }
    _RECORDER_STOP(host.handle);
    EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, 0, host.Data(0)), 2u);
    EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, 0, host.Data(1)), 1u);
    for (const RecorderEvent& e : host.log.Events()) EXPECT_NE(e.status, -1) << e.path;
  }
}

// A change of file into a directory that is not there: the host hears why, and every frame
// it sends before a file is open again is refused, never taken and lost. At the next second
// its own frames bring the file after the missing one, which receives what was taken in.
TEST(RecorderTest, WhileNoDataFileIsOpenFramesAreRefusedAndTheNextSecondOpensTheFileAfter) {
  RecordingHost host;
  const std::string missing = host.dir / "missing/file1.VDB";
  for (const std::string& path : {host.Data(0), missing, host.Data(2)})
    _RECORDER_ADDFILEPATH(host.handle, path.c_str());
  _RECORDER_SETRECORD(host.handle, 0, 1);
  ASSERT_EQ(_RECORDER_START(host.handle), 1);
  // Lengths tell the frames apart.
  std::vector<uint32_t> accepted;
  const auto send = [&](uint32_t length) {
    const int32_t taken = host.Video(0, length) + host.Audio(0, 64);
    if (taken != 0) accepted.push_back(length);
    return taken;
  };
  ASSERT_EQ(send(100), 2);
  ASSERT_TRUE(host.Drain());  // both rings written before the day changes
  host.SetTime(g_testNow + 86400);  // the next day: a change of file
  ASSERT_EQ(send(101), 2);
  ASSERT_TRUE(host.Drain());
  EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, -1, missing), 1u);
  EXPECT_EQ(host.log.Events().back().error, ENOENT);
  EXPECT_EQ(host.CurrentFile(), "");
  for (uint32_t length = 102; length < 110; ++length) EXPECT_EQ(send(length), 0) << length;
  EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, -1, missing), 1u);
  host.SetTime(g_testNow + 86401);
  EXPECT_EQ(send(110), 2);
  EXPECT_EQ(host.CurrentFile(), host.Data(2));
  _RECORDER_STOP(host.handle);
  std::vector<uint32_t> stored;
  size_t audio = 0;
  for (int n : {0, 2}) {
    for (const StoredRecord& r : ReadIndexedRecords(host.Data(n))) {
      if (r.header.type == 1) stored.push_back(static_cast<uint32_t>(r.body.size()) - 4);
      audio += r.header.type == 0;
    }
  }
  EXPECT_EQ(stored, accepted);
  EXPECT_EQ(audio, accepted.size());
}

// A file-size limit below the data file's size (the shell's `ulimit -f 102400`) refuses
// START with EFBIG in the event; the host process lives.
TEST(RecorderTest, FileSizeLimitBelowTheDataFileRefusesStartWithoutKillingTheHost) {
  const int result = RunInChild([] {
    const struct rlimit limit = {102400 * 1024, RLIM_INFINITY};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    RecordingHost host;
    host.AddFiles(2);
    if (_RECORDER_START(host.handle) != 0) return 11;
    const std::vector<RecorderEvent> events = host.log.Events();
    if (events.empty() || events.back().status != -1 || events.back().error != EFBIG) return 12;
    return 0;
  });
  EXPECT_EQ(result, 0);
}

// A channel recording on trigger A, one key frame a second and the trigger in second 40 only:
// the pre- and post-record times (5 s each in a new recorder, clamped to 0-30 and 0-300 s)
// decide the seconds stored; with 0 and 0 only the triggering frame is.
TEST(RecorderTest, PreAndPostRecordTimesAreClampedAndDefaultToFiveSeconds) {
  const struct {
    bool set;
    int32_t pre, post;
    int first, last;
  } rows[] = {
      {false, 0, 0, 35, 45}, {true, 0, 0, 40, 40}, {true, 100, -3, 10, 40}, {true, 3, 400, 37, 59}};
  for (const auto& row : rows) {
    RecordingHost host;
    host.AddFiles(1, 1);
    _RECORDER_SETSTATUS(host.handle, 0, 2);
    if (row.set) _RECORDER_SETPREPOSTTIME(host.handle, row.pre, row.post);
    ASSERT_EQ(_RECORDER_START(host.handle), 1);
    const int64_t base = g_testNow;
    for (int s = 0; s < 60; ++s) {
      host.SetTime(base + s);
      const std::vector<uint8_t> payload = Pattern(100, s);
      FrameDescriptor d = VideoFrame(payload, 0, 1, true, s == 40 ? 1 : 0);
      _RECORDER_WRITEVIDEO(host.handle, 0, &d);
    }
    _RECORDER_STOP(host.handle);
    std::vector<int32_t> want;
    for (int s = row.first; s <= row.last; ++s) want.push_back(static_cast<int32_t>(base + s));
    EXPECT_EQ(TimesOf(ReadIndexedRecords(host.Data(0))), want) << row.pre << " " << row.post;
  }
}

}  // namespace
