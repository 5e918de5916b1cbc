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

#include <fstream>
#include <future>
#include <thread>

#include "playback_test_util.h"
#include "support/process_state.h"

namespace playtest {
namespace {

class ControlTest : public PlaybackTest {
 protected:
  // The catalogue's temporary tables held open; none of them has a name in the directory.
  int TempFiles() {
    EXPECT_EQ(testsupport::CountEntries(tmp_), 0u);
    return int(testsupport::OpenFilesUnder(tmp_));
  }
  std::string tmp_ = dir_.Sub("tmp");
  testsupport::ScopedEnv tmpEnv_{"TMPDIR", tmp_};
};

// One search through its whole life: nothing plays before PLAYTIME and SETDISPLAYCHANNELS;
// pause, reversals (resuming from the last shown frame) and a single step; a STOP that ends
// a thread blocked by back-pressure at once and drops the catalogue; a START that waits for
// its own PLAYTIME, and one that plays the PLAYTIME given while stopped.
TEST_F(ControlTest, StartPlayPauseReverseStepStopAndRestart) {
  Record(t0).Stream(t0, 8, 10, 1, /*withAudio=*/true);
  Open(1, dir_.path());
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  EXPECT_EQ(_RECORDER_FILESEARCH_START(search_), 0);
  EXPECT_EQ(TempFiles(), 2);
  PlayFrom(t0);
  platform::SleepMs(500);
  EXPECT_TRUE(Events().empty()) << "frames before PLAYTIME and SETDISPLAYCHANNELS";
  Display({1});
  ASSERT_TRUE(WaitFor([&](auto& e) { return IsShown(e) && e.time >= t0 + 3; }, 1));
  const auto rate = [&](float r) { ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, r), 1); };
  rate(0.0f);
  platform::SleepMs(300);
  // 1.0 -> 0 -> -1.0 -> 1.0: each reversal plays on from the last shown frame (which may show
  // again, after frames that were already on their way).
  for (const float r : {-1.0f, 1.0f}) {
    const size_t turn = Events().size();
    const int32_t last = Shown().back().time;
    rate(r);
    ASSERT_TRUE(WaitFor(IsShown, 12, turn));
    const std::vector<HostEvent> run = Shown(turn);
    size_t start = 0;
    for (size_t i = 1; i < run.size(); ++i) {
      start = (r > 0) == (run[i].serial <= run[i - 1].serial) ? i : start;
    }
    EXPECT_TRUE(r > 0 || start == 0);
    ASSERT_GE(run.size() - start, 8u) << "no run after the reversal to " << r;
    EXPECT_LE(std::abs(run[start].time - last), 1);
    EXPECT_TRUE(r > 0 || run[start].time <= last);
    for (size_t i = start + 1; i < run.size(); ++i) {
      EXPECT_EQ(run[i].serial, run[i - 1].serial + int32_t(r));
    }
  }
  // A single step shows exactly one more frame, and the rate still reads 100.
  rate(0.0f);
  platform::SleepMs(300);
  const size_t beforeStep = Count(IsShown);
  rate(100.0f);
  ASSERT_TRUE(WaitFor(IsShown, beforeStep + 1));
  platform::SleepMs(500);
  EXPECT_EQ(Count(IsShown), beforeStep + 1);
  float now = 0.0f;
  EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(search_, &now) * now, 100.0f);

  // At 1.0 the thread soon runs into the queue's back-pressure; STOP ends it at once.
  rate(1.0f);
  PlayFrom(t0);
  ASSERT_TRUE(WaitUntil([&] { return Object()->Scheduler()->VideoProducersWaiting() > 0; }));
  const double before = platform::PerfSeconds();
  _RECORDER_FILESEARCH_STOP(search_);
  _RECORDER_FILESEARCH_STOP(search_);
  EXPECT_LT(platform::PerfSeconds() - before, 1.0);
  EXPECT_FALSE(Object()->PlaybackThreadAlive());
  EXPECT_EQ(TempFiles(), 0);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  EXPECT_EQ(TempFiles(), 2);
  const size_t restarted = Events().size();
  platform::SleepMs(500);
  EXPECT_EQ(Events().size(), restarted) << "frames after a restart without PLAYTIME";
  _RECORDER_FILESEARCH_STOP(search_);
  PlayFrom(t0 + 1);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  ASSERT_TRUE(WaitFor(IsShown, 1, restarted));
  EXPECT_EQ(Shown(restarted).front().time, t0 + 1);
  End();
  EXPECT_EQ(TempFiles(), 0);
}

// A channel switched on during play starts at its next key frame (sound at fast rates is
// refused by the scheduler).
TEST_F(ControlTest, ASwitchedOnChannelStartsAtItsNextKeyFrame) {
  Recording& rec = Record(t0);
  rec.Stream(t0, 40, 25, 2, /*withAudio=*/false, {0, 12});  // channel 1's key frames at frame 12
  StartPlay(2, {1, 0}, t0);
  ASSERT_TRUE(WaitFor(On(0), 20));
  EXPECT_EQ(Count(On(1)), 0u);
  Display({1, 1});
  ASSERT_TRUE(WaitFor(On(1), 3));
  End();
  std::vector<HostEvent> shown = Shown();
  std::erase_if(shown, [](auto& e) { return e.channel != 1; });
  EXPECT_TRUE(rec.video[shown[0].serial - 1].key);
  for (size_t i = 1; i < shown.size(); ++i) EXPECT_EQ(shown[i].serial, shown[i - 1].serial + 2);
}

// SETPATH while started changes nothing; while stopped it takes effect.
TEST_F(ControlTest, SetPathWhileStartedChangesNothing) {
  Record(t0).Stream(t0, 1, 5, 1);
  Open(1, dir_.path(), {"file0.FIH"}, 0);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  for (const int32_t days : {1, 0}) {
    if (days == 0) _RECORDER_FILESEARCH_STOP(search_);
    _RECORDER_FILESEARCH_SETPATH(search_, dir_.path().c_str(), "missing.FIH", 0);
    _RECORDER_FILESEARCH_STOP(search_);
    ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
    int32_t count = -1;
    _RECORDER_FILESEARCH_GetDateTable(search_, nullptr, &count);
    EXPECT_EQ(count, days);
  }
}

// Every file-search export called from inside each callback either works or returns its
// failure value at once; none waits for a lock the callback's thread holds, not even while
// another thread's STOP of the same search waits for that callback.
TEST_F(ControlTest, EveryExportFromInsideEachCallbackReturnsAtOnce) {
  Record(t0).Stream(t0, 3, 10, 1, /*withAudio=*/true);
  platform::Mutex mu;
  std::vector<std::vector<int32_t>> results;
  std::atomic<int> calls{0};
  std::thread stopper;
  hook_ = [&] {
    if (calls.fetch_add(1) >= 3) return;
    FILESEARCH_HANDLE self = search_;
    if (!stopper.joinable()) {
      // Another thread's STOP now waits for this callback to return.
      stopper = std::thread([self] { _RECORDER_FILESEARCH_STOP(self); });
      platform::SleepMs(50);
    }
    const uint32_t shown[1] = {1};
    float rate = 0.0f;
    int32_t days = -1, kind = 0, hours = 0;
    std::vector<uint32_t> masks(6 * 1440);
    _RECORDER_FILESEARCH_SETPATH(self, "/nonexistent/", "x.FIH", 0);
    const int32_t started = _RECORDER_FILESEARCH_START(self);
    _RECORDER_FILESEARCH_STOP(self);
    _RECORDER_FILESEARCH_SETCURRENTCHANNEL(self, 0);
    _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(self, shown, 1);
    const int32_t playTime = _RECORDER_FILESEARCH_PLAYTIME(self, 2024, 3, 10, 10, 0, 1);
    const int32_t playRate = _RECORDER_FILESEARCH_PLAYRATE(self, -1.0f);
    const int32_t getRate = _RECORDER_FILESEARCH_GETPLAYRATE(self, &rate);
    _RECORDER_FILESEARCH_SetDSTRange(self, 0, 3, 1, 2, 10, 1, 3);
    _RECORDER_FILESEARCH_GetDateTable(self, nullptr, &days);
    _RECORDER_FILESEARCH_GetDayTable(self, LocalSeconds(2024, 3, 10, 0, 0, 0), &masks[0],
                                     &masks[1440], &masks[2880], &masks[4320], &masks[5760],
                                     &masks[7200], &kind, &hours);
    FILESEARCH_HANDLE other = _RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr);
    _RECORDER_FILESEARCH_END(other);
    _RECORDER_FILESEARCH_END(self);
    platform::MutexLock hold(&mu);
    results.push_back({started, playTime, playRate, getRate, int32_t(rate), days, other != nullptr,
                       _RECORDER_FILESEARCH_SETSTATUS(self, 1)});
  };
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(Open(1, dir_.path()), 0);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Display({1});
  PlayFrom(t0);
  ASSERT_TRUE(WaitUntil([&] { return !Object()->PlaybackThreadAlive(); }, 10000));
  stopper.join();
  platform::MutexLock hold(&mu);
  ASSERT_FALSE(results.empty());
  for (const auto& r : results) EXPECT_EQ(r, (std::vector<int32_t>{0, 0, 0, 1, 1, 1, 1, 0}));
}

// START, STOP, SETPATH and PLAYTIME of one search from four threads at once, then END from
// all four: the catalogue is built and dropped by one of them at a time, and nothing hangs.
TEST_F(ControlTest, ControlCallsFromFourThreadsAtOnce) {
  Record(t0).Stream(t0, 2, 10, 1);
  FILESEARCH_HANDLE handle = Open(1, dir_.path());
  Display({1});
  search_ = nullptr;
  std::atomic<int> started{0};
  for (bool ending : {false, true}) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] {
        for (int k = 0; k < 25 && !ending; ++k) {
          _RECORDER_FILESEARCH_SETPATH(handle, dir_.path().c_str(), "file0.FIH", (i + k) % 2);
          started += _RECORDER_FILESEARCH_START(handle);
          if (k % 5 == i) _RECORDER_FILESEARCH_PLAYTIME(handle, 2024, 3, 10, 10, 0, 0);
          _RECORDER_FILESEARCH_STOP(handle);
        }
        if (ending) _RECORDER_FILESEARCH_END(handle);
      });
    }
    for (std::thread& t : threads) t.join();
  }
  EXPECT_GT(started.load(), 0);
}

// An index or data file that is a FIFO is refused at once: it holds up neither START nor
// playback, and the rest of the recording plays.
TEST_F(ControlTest, FifosNamedAsIndexOrDataFilesAreRefusedAtOnce) {
  Record(t0).Stream(t0, 2, 10, 1);
  rec_.Finish();
  // q.FIH describes file0's recording, but its data file q.VDB is a FIFO.
  std::filesystem::copy_file(dir_ / "file0.FIH", dir_ / "q.FIH");
  for (const char* name : {"pipe.FIH", "pipe.VDB", "q.VDB"}) {
    ASSERT_EQ(::mkfifo((dir_ / name).c_str(), 0600), 0);
  }
  for (int32_t flag : {0, 1}) {
    Open(1, dir_.path(), {"pipe.FIH", "q.FIH", "file0.FIH"}, flag);
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
    EXPECT_TRUE(WaitFor(IsShown, 5)) << flag;
    End();
  }
}

// END of a search while its frame callback calls INIT and END of another search: both
// return. Run in a child process, so a deadlock costs the test ten seconds, not the suite.
TEST_F(ControlTest, EndWhileTheCallbackCreatesAndEndsAnotherSearch) {
  Record(t0).Stream(t0, 2, 10, 1);
  rec_.Finish();  // no writer thread may be running at the fork
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::atomic<bool> inCallback{false};
    hook_ = [&] {
      if (inCallback.exchange(true)) return;
      platform::SleepMs(100);  // END below now waits for this callback
      _RECORDER_FILESEARCH_END(_RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr));
    };
    StartPlay(1, {1}, t0);
    if (!WaitUntil([&] { return inCallback.load(); }, 5000)) ::_exit(2);
    End();
    ::_exit(0);
  }
  int status = 0;
  const bool ended = WaitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10000);
  if (!ended) ::kill(child, SIGKILL), ::waitpid(child, &status, 0);
  EXPECT_TRUE(ended) << "END and the callback wait for each other";
  EXPECT_TRUE(!ended || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
}

// With every channel hidden, nothing can close a group: key frames of hidden channels are
// then not queued as decode-only frames, which would pile up in the queue until the end.
TEST_F(ControlTest, HidingEveryChannelKeepsTheQueueFromGrowing) {
  Recording& rec = Record(t0);
  for (int s = 0; s < 600; ++s) rec.Video(0, t0 + s, 2, true, 100000);
  const auto resident = [] {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && line.rfind("VmRSS:", 0) != 0) {
    }
    return line.empty() ? 0ll : std::stoll(line.substr(6)) * 1024;
  };
  StartPlay(1, {1}, t0);
  ASSERT_TRUE(WaitFor(IsShown, 2));
  Display({0});
  platform::SleepMs(300);
  const int64_t before = resident();
  platform::SleepMs(2000);
  EXPECT_LT(resident() - before, 2 << 20);
}

}  // namespace
}  // namespace playtest
