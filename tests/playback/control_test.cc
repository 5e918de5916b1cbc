// The control side of a file search through its exports: what START, STOP, PLAYTIME,
// PLAYRATE and SETDISPLAYCHANNELS do to what reaches the host, the catalogue's temporary
// files, SETPATH while started, exports called from inside the host's callbacks or from
// several threads at once, FIFOs among the files, and hidden channels.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <future>
#include <thread>

#include "playback_test_util.h"
#include "support/process_state.h"

namespace playtest {
namespace {

// One search through its whole life: pause and reversals (resuming from the last shown
// frame) with a hidden channel, of which nothing reaches the host; a STOP (and a second one)
// that ends a thread blocked by back-pressure at once and leaves no file open; a START that
// waits for its own PLAYTIME, and one that plays the PLAYTIME given while stopped; the current
// channel changed and a channel switched on then.
TEST_F(PlaybackTest, StartPlayPauseReverseStopAndRestart) {
  Record(t0).Stream(t0, 8, 10, 2, /*withAudio=*/true);
  StartPlay(2, {1, 0}, t0);
  ASSERT_TRUE(WaitFor([&](auto& e) { return IsShown(e) && e.time >= t0 + 3; }, 1));
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, 0.0f), 1);
  platform::SleepMs(300);
  // 1.0 -> 0 -> -1.0 -> 1.0: each reversal plays on from the last shown frame (which may show
  // again, after frames that were already on their way).
  for (const float r : {-1.0f, 1.0f}) {
    const size_t turn = Events().size();
    const int32_t last = Events(IsShown).back().time;
    ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, r), 1);
    std::vector<HostEvent> run;
    size_t start = 0;  // where the run in the new direction starts
    ASSERT_TRUE(WaitUntil([&] {
      run = Events(IsShown, turn);
      for (size_t i = 1; i < run.size(); ++i)
        start = (r > 0) == (run[i].serial <= run[i - 1].serial) ? i : start;
      return run.size() >= start + 8;
    })) << "no run after the reversal to "
        << r;
    // Backwards the run starts at once, at or before the last shown frame; forwards it starts
    // where the frames still on their way at the turn left off.
    EXPECT_TRUE(r > 0 || (start == 0 && run[start].time <= last));
    EXPECT_LE(std::abs(run[start].time - (start > 0 ? run[start - 1].time : last)), 1);
    for (size_t i = start + 1; i < run.size(); ++i)
      EXPECT_EQ(run[i].serial, run[i - 1].serial + 2 * int32_t(r));
  }

  // At 1.0 the thread soon runs into the queue's back-pressure; STOP ends it at once, and
  // what it had queued never reaches the host.
  PlayFrom(t0);
  const auto* q = Object()->Scheduler();  // the frames queued ahead of the pacing
  ASSERT_TRUE(WaitUntil([&] { return q->VideoProducersWaiting() > 0 && q->HasQueuedFrames(); }));
  const double before = platform::PerfSeconds();
  _RECORDER_FILESEARCH_STOP(search_);
  _RECORDER_FILESEARCH_STOP(search_);
  EXPECT_LT(platform::PerfSeconds() - before, 1.0);
  EXPECT_FALSE(Object()->PlaybackThreadAlive());
  EXPECT_EQ(testsupport::OpenFilesUnder(dir_.path()), 0u);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  const size_t restarted = Events().size();
  platform::SleepMs(500);
  EXPECT_EQ(Events().size(), restarted) << "frames after a restart without PLAYTIME";
  _RECORDER_FILESEARCH_STOP(search_);
  PlayFrom(t0 + 1);
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search_, 1);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  ASSERT_TRUE(WaitFor(IsShown, 1, restarted));
  EXPECT_EQ(Events(IsShown, restarted).front().time, t0 + 1);
  EXPECT_TRUE(Events([](auto& e) { return e.channel == 1; }).empty()) << "a hidden channel";
  // Channel 0's audio is heard once it is made the current channel during play; a channel
  // switched on during play starts at its next key frame.
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search_, 0);
  Display({1, 1});
  ASSERT_TRUE(WaitFor(On(0, IsAudio), 1, restarted));
  ASSERT_TRUE(WaitFor(On(1), 2, restarted));
  EXPECT_TRUE(rec_.video.at(Events(On(1), restarted).front().serial - 1).key);
}

// An index or data file that is a FIFO is refused at once: it holds up neither START nor
// playback, and the rest of the recording plays. With every channel hidden, and on an empty
// catalogue (where the seek stays pending), the thread does not spin a core, and STOP ends
// it at once.
TEST_F(PlaybackTest, FifosAndAnEmptyCatalogue) {
  Record(t0).Stream(t0, 2, 10, 1);
  rec_.Finish();
  // q.FIH describes file0's recording, but its data file q.VDB is a FIFO.
  std::filesystem::copy_file(dir_ / "file0.FIH", dir_ / "q.FIH");
  for (const char* name : {"pipe.FIH", "pipe.VDB", "q.VDB"})
    ASSERT_EQ(::mkfifo((dir_ / name).c_str(), 0600), 0);
  for (int32_t flag : {0, 1}) {
    Open(1, {"pipe.FIH", "q.FIH", "file0.FIH"}, flag);
    std::future<int32_t> start =
        std::async(std::launch::async, [&] { return _RECORDER_FILESEARCH_START(search_); });
    if (start.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // Let the blocked opens go, so the test can end.
      const int unblock[2] = {::open((dir_ / "pipe.FIH").c_str(), O_WRONLY | O_NONBLOCK),
                              ::open((dir_ / "q.VDB").c_str(), O_WRONLY | O_NONBLOCK)};
      ADD_FAILURE() << "START waited for a FIFO, flag " << flag;
      start.wait();
      ::close(unblock[0]), ::close(unblock[1]);
    }
    EXPECT_EQ(start.get(), 1);
    Display({1});
    PlayFrom(t0);
    EXPECT_TRUE(WaitFor(IsShown, 5, Events().size())) << flag;
  }
  for (const char* name : {"file0.FIH", "missing.FIH"}) {
    StartPlay(1, {0}, t0, 1.0f, {name});
    const std::clock_t cpuBefore = std::clock();
    platform::SleepMs(1500);
    EXPECT_LT(double(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.3) << "the thread spins";
    EXPECT_TRUE(Object()->PlaybackThreadAlive());
    const double before = platform::PerfSeconds();
    _RECORDER_FILESEARCH_STOP(search_);
    EXPECT_LT(platform::PerfSeconds() - before, 1.0);
    EXPECT_FALSE(Object()->PlaybackThreadAlive());
  }
}

// Every file-search export called from inside a callback either works or returns its
// failure value at once; none waits for a lock the callback's thread holds, not even while
// another thread's STOP of the same search waits for that callback. END of a search while
// its callback calls INIT and END of another search: both return. Run in a child process,
// so a deadlock costs the test twenty seconds, not the suite.
TEST_F(PlaybackTest, EveryExportFromInsideACallbackAndEndWhileTheCallbackEndsAnother) {
  Record(t0).Stream(t0, 3, 10, 1, /*withAudio=*/true);
  rec_.Finish();  // no writer thread may be running at the fork
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::atomic<int> calls{0};
    bool ending = false;
    std::thread stopper;
    hook_ = [&] {
      if (calls.fetch_add(1) != 0) return;
      FILESEARCH_HANDLE self = search_;
      // Another thread's STOP, or END, now waits for this callback to return.
      if (!ending) stopper = std::thread([self] { _RECORDER_FILESEARCH_STOP(self); });
      platform::SleepMs(100);
      FILESEARCH_HANDLE other = _RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr);
      _RECORDER_FILESEARCH_END(other);
      if (ending) return;
      float rate = 0.0f;
      int32_t days = -1, kind = 0, hours = 0;
      std::vector<uint32_t> masks(6 * 1440);
      _RECORDER_FILESEARCH_SETPATH(self, "/nonexistent/", "x.FIH", 0);
      EXPECT_EQ(_RECORDER_FILESEARCH_START(self), 0);
      _RECORDER_FILESEARCH_STOP(self);
      _RECORDER_FILESEARCH_SETCURRENTCHANNEL(self, 0);
      _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(self, masks.data(), 1);
      EXPECT_EQ(_RECORDER_FILESEARCH_PLAYTIME(self, 2024, 3, 10, 10, 0, 1), 0);
      EXPECT_EQ(_RECORDER_FILESEARCH_PLAYRATE(self, -1.0f), 0);
      EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(self, &rate) * rate, 1.0f);
      _RECORDER_FILESEARCH_SetDSTRange(self, 0, 3, 1, 2, 10, 1, 3);
      _RECORDER_FILESEARCH_GetDateTable(self, nullptr, &days);
      _RECORDER_FILESEARCH_GetDayTable(self, LocalSeconds(2024, 3, 10, 0, 0, 0), &masks[0],
                                       &masks[1440], &masks[2880], &masks[4320], &masks[5760],
                                       &masks[7200], &kind, &hours);
      _RECORDER_FILESEARCH_END(self);
      EXPECT_EQ(std::tuple(other != nullptr, days, _RECORDER_FILESEARCH_SETSTATUS(self, 1)),
                std::tuple(true, 1, 0));
    };
    StartPlay(1, {1}, t0);
    if (!WaitUntil([&] { return !Object()->PlaybackThreadAlive(); }, 10000)) ::_exit(2);
    stopper.join();
    calls = 0, ending = true;
    StartPlay(1, {1}, t0);
    if (!WaitUntil([&] { return calls.load() != 0; }, 5000)) ::_exit(3);
    _RECORDER_FILESEARCH_END(search_);  // search_ itself stays: the callbacks read it
    ::_exit(HasFailure() ? 1 : 0);
  }
  int status = 0;
  const bool ended = WaitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 20000);
  if (!ended) ::kill(child, SIGKILL), ::waitpid(child, &status, 0);
  EXPECT_TRUE(ended) << "an export and the callback wait for each other";
  EXPECT_TRUE(!ended || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
}

// With every channel hidden nothing closes a group: key frames of hidden channels must then
// not be queued as decode-only frames, which would pile up until the end of the recording.
TEST_F(PlaybackTest, HidingEveryChannelKeepsTheQueueFromGrowing) {
  Recording& rec = Record(t0);
  for (int s = 0; s < 600; ++s) rec.Video(0, t0 + s, 2, true, 100000);
  StartPlay(1, {1}, t0);
  ASSERT_TRUE(WaitFor(IsShown, 2));
  Display({0});
  platform::SleepMs(300);
  const int64_t before = testsupport::ResidentBytes();
  platform::SleepMs(2000);
  EXPECT_LT(testsupport::ResidentBytes() - before, 2 << 20);
}

}  // namespace
}  // namespace playtest
