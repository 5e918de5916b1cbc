// The control side of a file search through its exports: what START, STOP, PLAYTIME,
// PLAYRATE and SETDISPLAYCHANNELS do to what reaches the host, the catalogue's temporary
// files across a stop and a restart, and exports called from inside the host's callbacks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <thread>

#include "platform/mutex.h"
#include "playback_test_util.h"
#include "support/process_state.h"

namespace playtest {
namespace {

class ControlTest : public PlaybackTest {
 protected:
  const int32_t t0 = Local(2024, 3, 10, 10, 0, 0);
};

TEST_F(ControlTest, NothingPlaysBeforePlayTimeOrDisplayChannelsAndStopKeepsTheSeek) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 4, 10, 1, /*audio=*/true);

  Open(1, rec);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  EXPECT_EQ(_RECORDER_FILESEARCH_START(search_), 0);  // already started
  Idle(500);
  EXPECT_EQ(log_.Size(), 0u) << "frames before the first PLAYTIME";

  // Playing, but no channel is displayed yet: no video and no audio.
  PlayFrom(t0);
  Idle(800);
  EXPECT_EQ(log_.Size(), 0u) << "frames before SETDISPLAYCHANNELS";

  Display({1});
  ASSERT_TRUE(WaitForCount(IsShown, 5));
  ASSERT_TRUE(WaitForCount(IsAudio, 2));

  // After a stop, a new start again waits for its PLAYTIME.
  _RECORDER_FILESEARCH_STOP(search_);
  _RECORDER_FILESEARCH_STOP(search_);  // stopped already: nothing
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  const size_t before = log_.Size();
  Idle(500);
  EXPECT_EQ(log_.Size(), before) << "frames after a restart without PLAYTIME";

  // A PLAYTIME given while stopped is played by the next start.
  _RECORDER_FILESEARCH_STOP(search_);
  PlayFrom(t0 + 1);
  Idle(200);
  EXPECT_EQ(log_.Size(), before);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  ASSERT_TRUE(WaitUntil([&] { return log_.Count(IsShown, before) >= 1; }));
  // Play starts at the seek target.
  EXPECT_EQ(log_.ShownSince(before).front().time, t0 + 1);
}

class LifecycleTest : public ControlTest {
 protected:
  // The catalogue's temporary tables held open; none of them has a name in the directory.
  int TempFiles() const {
    EXPECT_EQ(testsupport::CountEntries(tmp_), 0u);
    return static_cast<int>(testsupport::OpenFilesUnder(tmp_));
  }

  std::string tmp_ = dir_.Sub("tmp");
  testsupport::ScopedEnv tmpEnv_{"TMPDIR", tmp_};
};

TEST_F(LifecycleTest, StopEndsABlockedThreadQuicklyAndClearsTheCatalogue) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 10, 25, 1);

  Open(1, rec);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  EXPECT_EQ(TempFiles(), 2);
  Display({1});
  PlayFrom(t0);
  // Ten recorded seconds at rate 1.0: the thread soon runs into the queue's back-pressure.
  ASSERT_TRUE(WaitUntil([&] { return Object()->Scheduler()->VideoProducersWaiting() > 0; }));

  const double before = platform::PerfSeconds();
  _RECORDER_FILESEARCH_STOP(search_);
  EXPECT_LT(platform::PerfSeconds() - before, 1.0);
  EXPECT_FALSE(Object()->PlaybackThreadAlive());
  EXPECT_EQ(TempFiles(), 0);

  // A new start rebuilds the catalogue and plays again.
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  EXPECT_EQ(TempFiles(), 2);
  int32_t days = 0;
  _RECORDER_FILESEARCH_GetDateTable(search_, nullptr, &days);
  EXPECT_EQ(days, 1);
  const size_t shown = log_.Count(IsShown);
  PlayFrom(t0);
  ASSERT_TRUE(WaitUntil([&] { return log_.Count(IsShown) >= shown + 3; }));
  EndSearch();
  EXPECT_EQ(TempFiles(), 0);
}

TEST_F(LifecycleTest, SetPathWhileStartedChangesNothing) {
  const std::string a = dir_ / "a/";
  const std::string b = dir_ / "b/";
  std::filesystem::create_directory(a);
  std::filesystem::create_directory(b);
  const int32_t dayB = Local(2024, 3, 12, 9, 0, 0);
  {
    Recording recA(a);
    RecordSeconds(recA, t0, 1, 5, 1);
  }
  Recording recB(b);
  RecordSeconds(recB, dayB, 1, 5, 1);

  ASSERT_NE(Open(1, a, {"file0.FIH"}, 0), nullptr);
  const auto firstDate = [&] {
    uint32_t table[4] = {};
    int32_t count = 0;
    _RECORDER_FILESEARCH_GetDateTable(search_, table, &count);
    return count == 1 ? static_cast<int32_t>(table[0]) : -count;
  };

  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  EXPECT_EQ(firstDate(), Local(2024, 3, 10, 0, 0, 0));
  _RECORDER_FILESEARCH_SETPATH(search_, b.c_str(), "file0.FIH", 0);
  _RECORDER_FILESEARCH_STOP(search_);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  EXPECT_EQ(firstDate(), Local(2024, 3, 10, 0, 0, 0));

  // While stopped the same call takes effect.
  _RECORDER_FILESEARCH_STOP(search_);
  _RECORDER_FILESEARCH_SETPATH(search_, b.c_str(), "file0.FIH", 0);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  EXPECT_EQ(firstDate(), Local(2024, 3, 12, 0, 0, 0));
}

TEST_F(ControlTest, ReversalsResumeFromTheLastShownFrameAndAStepShowsOneFrame) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 8, 10, 1);

  StartPlay(1, rec, {1}, t0);
  ASSERT_TRUE(WaitForCount([&](const HostEvent& e) { return IsShown(e) && e.time >= t0 + 3; }, 1));

  // Pause: nothing more arrives.
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, 0.0f), 1);
  Idle(300);
  const size_t paused = log_.Size();
  Idle(300);
  ASSERT_EQ(log_.Size(), paused);
  const int32_t last = log_.ShownSince().back().time;

  // 1.0 -> 0 -> -1.0 still reverses: play goes backwards from the last shown frame.
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, -1.0f), 1);
  ASSERT_TRUE(WaitUntil([&] { return log_.Count(IsShown, paused) >= 12; }));
  const std::vector<HostEvent> backward = log_.ShownSince(paused);
  EXPECT_LE(backward.front().time, last);
  EXPECT_GE(backward.front().time, last - 1);
  for (size_t i = 1; i < backward.size(); ++i) {
    EXPECT_LT(backward[i].serial, backward[i - 1].serial) << "shown frame " << i;
  }

  // -1.0 -> 1.0 reverses at once (frames already on their way may still arrive first).
  const size_t turn = log_.Size();
  const int32_t lastBackward = log_.ShownSince().back().time;
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, 1.0f), 1);
  ASSERT_TRUE(WaitUntil([&] { return log_.Count(IsShown, turn) >= 12; }));
  const std::vector<HostEvent> forward = log_.ShownSince(turn);
  size_t start = 0;
  for (size_t i = 1; i < forward.size(); ++i) {
    if (forward[i].serial < forward[i - 1].serial) start = i;
  }
  ASSERT_GE(forward.size() - start, 8u) << "no forward run after the reversal";
  EXPECT_GE(forward[start].time, lastBackward - 1);
  EXPECT_LE(forward[start].time, lastBackward + 1);
  for (size_t i = start + 1; i < forward.size(); ++i) {
    EXPECT_EQ(forward[i].serial, forward[i - 1].serial + 1);
  }

  // A single step shows exactly one more frame, and the rate still reads 100.
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, 0.0f), 1);
  Idle(300);
  const size_t shownBeforeStep = log_.Count(IsShown);
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, 100.0f), 1);
  ASSERT_TRUE(WaitUntil([&] { return log_.Count(IsShown) >= shownBeforeStep + 1; }));
  Idle(500);
  EXPECT_EQ(log_.Count(IsShown), shownBeforeStep + 1);
  float rate = 0.0f;
  ASSERT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(search_, &rate), 1);
  EXPECT_EQ(rate, 100.0f);
}

// Every file-search export called from inside each callback either works or returns its
// failure value at once; none waits for a lock the callback's thread holds, not even while
// another thread's STOP of the same search waits for that callback.
TEST_F(ControlTest, EveryExportFromInsideEachCallbackReturnsAtOnce) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 3, 10, 1, /*audio=*/true);

  struct Results {
    int32_t start = -1, playRate = -1, playTime = -1, getRate = -1, status = -1;
    float rate = 0.0f;
    int32_t days = -1;
    bool other = false;  // INIT and END of another search worked
  };
  platform::Mutex mu;
  std::vector<Results> results;
  std::atomic<int> calls{0};
  std::atomic<bool> stopping{false};
  std::thread stopper;
  const auto callEveryExport = [&](FILESEARCH_HANDLE self) {
    if (calls.fetch_add(1) >= 3) return;
    Results r;
    if (!stopping.exchange(true)) {
      // Another thread's STOP now waits for this callback to return.
      stopper = std::thread([self] { _RECORDER_FILESEARCH_STOP(self); });
      platform::SleepMs(50);
    }
    const uint32_t shown[1] = {1};
    _RECORDER_FILESEARCH_SETPATH(self, "/nonexistent/", "x.FIH", 0);
    r.start = _RECORDER_FILESEARCH_START(self);
    _RECORDER_FILESEARCH_STOP(self);
    _RECORDER_FILESEARCH_SETCURRENTCHANNEL(self, 0);
    _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(self, shown, 1);
    r.playTime = _RECORDER_FILESEARCH_PLAYTIME(self, 2024, 3, 10, 10, 0, 1);
    r.playRate = _RECORDER_FILESEARCH_PLAYRATE(self, -1.0f);
    r.getRate = _RECORDER_FILESEARCH_GETPLAYRATE(self, &r.rate);
    r.status = _RECORDER_FILESEARCH_SETSTATUS(self, 1);
    _RECORDER_FILESEARCH_SetDSTRange(self, 0, 3, 1, 2, 10, 1, 3);
    _RECORDER_FILESEARCH_GetDateTable(self, nullptr, &r.days);
    std::vector<uint32_t> masks(6 * 1440);
    int32_t kind = 0, hours = 0;
    _RECORDER_FILESEARCH_GetDayTable(self, Local(2024, 3, 10, 0, 0, 0), &masks[0], &masks[1440],
                                     &masks[2880], &masks[4320], &masks[5760], &masks[7200], &kind,
                                     &hours);
    FILESEARCH_HANDLE other = _RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr);
    r.other = other != nullptr;
    _RECORDER_FILESEARCH_END(other);
    _RECORDER_FILESEARCH_END(self);
    platform::MutexLock hold(&mu);
    results.push_back(r);
  };
  log_.hook = [&](uint32_t, const FrameDescriptor*) { callEveryExport(log_.search.load()); };
  log_.notifyHook = [&] { callEveryExport(log_.search.load()); };
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(Open(1, rec), 0);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Display({1});
  PlayFrom(t0);
  ASSERT_TRUE(WaitUntil([&] {
    platform::MutexLock hold(&mu);
    return results.size() >= 1;
  }));
  ASSERT_TRUE(WaitUntil([&] { return !Object()->PlaybackThreadAlive(); }, 10000));
  stopper.join();
  platform::MutexLock hold(&mu);
  for (const Results& r : results) {
    EXPECT_EQ((std::vector<int32_t>{r.start, r.playTime, r.playRate, r.getRate, r.status, r.days}),
              (std::vector<int32_t>{0, 0, 0, 1, 0, 1}));
    EXPECT_EQ(r.rate, 1.0f);
    EXPECT_TRUE(r.other);
  }
}

// START, STOP and SETPATH of one search from four threads at once, then END from all four:
// the catalogue is built and dropped by one of them at a time, and nothing hangs.
TEST_F(ControlTest, ControlCallsFromFourThreadsAtOnce) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 2, 10, 1);
  Open(1, rec);
  Display({1});
  std::vector<std::thread> threads;
  std::atomic<int> started{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 25; ++k) {
        _RECORDER_FILESEARCH_SETPATH(search_, rec.dir().c_str(), "file0.FIH", (i + k) % 2);
        started += _RECORDER_FILESEARCH_START(search_);
        if (k % 5 == i) PlayFrom(t0);
        _RECORDER_FILESEARCH_STOP(search_);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_GT(started.load(), 0);
  threads.clear();
  FILESEARCH_HANDLE handle = search_;
  search_ = nullptr;
  for (int i = 0; i < 4; ++i) threads.emplace_back([handle] { _RECORDER_FILESEARCH_END(handle); });
  for (std::thread& t : threads) t.join();
}

// An index or data file that is a FIFO is refused at once: it holds up neither START nor
// playback, and the rest of the recording plays.
TEST_F(ControlTest, FifosNamedAsIndexOrDataFilesAreRefusedAtOnce) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 2, 10, 1);
  const std::string fifo = dir_ / "pipe.FIH";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir_ / "pipe.VDB").c_str(), 0600), 0);
  // q.FIH describes file0's recording, but its data file q.VDB is a FIFO.
  std::filesystem::copy_file(dir_ / "file0.FIH", dir_ / "q.FIH");
  ASSERT_EQ(::mkfifo((dir_ / "q.VDB").c_str(), 0600), 0);
  for (int32_t flag : {0, 1}) {
    SCOPED_TRACE(flag);
    Open(1, dir_.path(),
         flag == 0 ? std::vector<std::string>{"pipe.FIH"}
                   : std::vector<std::string>{"pipe.FIH", "q.FIH", "file0.FIH"},
         flag);
    std::future<int32_t> start =
        std::async(std::launch::async, [&] { return _RECORDER_FILESEARCH_START(search_); });
    if (start.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // Let the blocked open go, so the test can end.
      const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      ADD_FAILURE() << "START waited for the FIFO";
      start.wait();
      ::close(unblock);
    }
    EXPECT_EQ(start.get(), 1);
    if (flag == 1) {
      Display({1});
      PlayFrom(t0);
      EXPECT_TRUE(WaitForCount(IsShown, 5));
    }
    EndSearch();
  }
}

// The playback thread's own seek to the next day never replaces a host PLAYTIME that came
// while it prepared that seek, and a thread abandoned by a STOP never sets the wake or seek
// state of a later START. A hook on the thread holds the day change open for the test.
TEST_F(ControlTest, DayChangeRacesWithPlayTimeAndAbandonedThreads) {
  const int32_t day1 = Local(2024, 3, 10, 23, 59, 58);
  const int32_t day2 = Local(2024, 3, 11, 10, 0, 0);
  Recording rec(dir_.path());
  ASSERT_TRUE(rec.Begin(day1));
  RecordStream(rec, day1, 2, 5, 1);
  RecordStream(rec, day2, 2, 5, 1);
  rec.Finish();

  // A host PLAYTIME back to the first day's start while the thread is about to seek to the
  // second day: play goes to the host's target.
  Open(1, rec);
  std::atomic<int> hooks{0};
  Object()->SetDayChangeHookForTest([&] {
    if (hooks.fetch_add(1) == 0) PlayFrom(day1);
  });
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Display({1});
  PlayFrom(day1 + 1);
  ASSERT_TRUE(WaitUntil([&] { return hooks.load() >= 1 && log_.Count(IsShown) >= 8; }));
  const std::vector<HostEvent> shown = log_.ShownSince();
  const auto back = std::find_if(shown.begin() + 1, shown.end(),
                                 [&](const HostEvent& e) { return e.time == day1; });
  ASSERT_NE(back, shown.end());
  for (auto it = shown.begin(); it != back; ++it) EXPECT_LT(it->time, day2);
  EndSearch();

  // A thread that misses the join at a STOP and then reaches its day change: the next
  // START waits for its own PLAYTIME.
  Open(1, rec);
  std::atomic<bool> release{false};
  std::atomic<bool> inHook{false};
  Display({1});
  Object()->SetJoinTimeoutMs(50);
  Object()->SetDayChangeHookForTest([&] {
    inHook = true;
    WaitUntil([&] { return release.load(); }, 10000);
  });
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  PlayFrom(day1 + 1);
  ASSERT_TRUE(WaitUntil([&] { return inHook.load(); }));
  _RECORDER_FILESEARCH_STOP(search_);
  ASSERT_TRUE(Object()->PlaybackThreadAlive());
  release = true;
  ASSERT_TRUE(WaitUntil([&] { return !Object()->PlaybackThreadAlive(); }));
  const size_t before = log_.Size();
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Idle(500);
  EXPECT_EQ(log_.Size(), before) << "frames after a START without PLAYTIME";
}

// END of a search while its frame callback calls INIT and END of another search: both
// return. Run in a child process, so a deadlock costs the test ten seconds, not the suite.
TEST_F(ControlTest, EndWhileTheCallbackCreatesAndEndsAnotherSearch) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 2, 10, 1);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::atomic<bool> inCallback{false};
    log_.hook = [&](uint32_t, const FrameDescriptor*) {
      if (inCallback.exchange(true)) return;
      platform::SleepMs(100);  // END below now waits for this callback
      _RECORDER_FILESEARCH_END(_RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr));
    };
    StartPlay(1, rec, {1}, t0);
    if (!WaitUntil([&] { return inCallback.load(); }, 5000)) ::_exit(2);
    EndSearch();
    ::_exit(0);
  }
  int status = 0;
  const bool ended = WaitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10000);
  if (!ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  EXPECT_TRUE(ended) << "END and the callback wait for each other";
  EXPECT_TRUE(!ended || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
}

}  // namespace
}  // namespace playtest
