// The control side of a file search through its exports: what START, STOP, PLAYTIME,
// PLAYRATE and SETDISPLAYCHANNELS do to what reaches the host, the catalogue's temporary
// files across a stop and a restart, and exports called from inside the host's callbacks.
#include <gtest/gtest.h>

#include <filesystem>

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
  int TempFiles() const { return static_cast<int>(testsupport::CountEntries(tmp_, "fmap")); }

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

TEST_F(ControlTest, ExportsThatWouldDeadlockRefuseFromInsideACallback) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 3, 10, 1);

  std::atomic<bool> tried{false};
  std::atomic<int32_t> playRate{-1}, playTime{-1}, getRate{-1};
  std::atomic<float> rateSeen{0.0f};
  log_.hook = [&](uint32_t, const FrameDescriptor*) {
    if (tried.exchange(true)) return;
    FILESEARCH_HANDLE self = log_.search.load();
    _RECORDER_FILESEARCH_STOP(self);
    playRate = _RECORDER_FILESEARCH_PLAYRATE(self, -1.0f);
    playTime = _RECORDER_FILESEARCH_PLAYTIME(self, 2024, 3, 10, 10, 0, 1);
    _RECORDER_FILESEARCH_END(self);
    float r = 0.0f;
    getRate = _RECORDER_FILESEARCH_GETPLAYRATE(self, &r);
    rateSeen = r;
  };
  StartPlay(1, rec, {1}, t0);
  // Play goes on forwards after the refused calls.
  ASSERT_TRUE(WaitForCount(IsShown, 10));
  EXPECT_EQ(playRate.load(), 0);
  EXPECT_EQ(playTime.load(), 0);
  EXPECT_EQ(getRate.load(), 1);
  EXPECT_EQ(rateSeen.load(), 1.0f);
  const std::vector<HostEvent> shown = log_.ShownSince();
  for (size_t i = 1; i < 10; ++i) EXPECT_EQ(shown[i].serial, shown[i - 1].serial + 1);
  const double before = platform::PerfSeconds();
  _RECORDER_FILESEARCH_STOP(search_);
  EXPECT_LT(platform::PerfSeconds() - before, 1.0);
}

}  // namespace
}  // namespace playtest
