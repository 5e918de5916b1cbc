// Play across recorded days: a day's data is shown to its last frame before play moves on,
// forward play wraps from the last recorded day to the first and backward play from the
// start of the first to the end of the last; the thread's own seek to the next day never
// beats a host's PLAYTIME or outlives a STOP.
#include "playback_test_util.h"

namespace playtest {
namespace {

class DayChangeTest : public PlaybackTest {
 protected:
  // Two seconds before midnight, three after: the writer rotates to a new file at the change
  // of day, so the catalogue holds two recorded days.
  void SetUp() override {
    Record(day1_).Stream(day1_, 2, 10, 1);
    rec_.Stream(day2_, 3, 10, 1);
  }
  const int32_t day1_ = LocalSeconds(2024, 3, 10, 23, 59, 58);
  const int32_t day2_ = LocalSeconds(2024, 3, 11, 0, 0, 0);
};

TEST_F(DayChangeTest, EachDayPlaysToItsEndThenWrapsInThePlayDirection) {
  for (const float rate : {1.0f, -4.0f}) {
    SCOPED_TRACE(rate);
    const size_t from = Events().size();
    StartPlay(1, {1}, rate > 0 ? day2_ : day1_ + 1, rate);
    int32_t days = 0;
    _RECORDER_FILESEARCH_GetDateTable(search_, nullptr, &days);
    EXPECT_EQ(days, 2);
    ASSERT_TRUE(WaitForWrap(from, rate < 0));
    const std::vector<HostEvent> shown = Shown(from), pass = FirstPass(Events(from), rate < 0);
    const size_t wrap = size_t(std::count_if(pass.begin(), pass.end(), IsShown));
    ASSERT_LT(wrap, shown.size());
    std::vector<uint32_t> before, want;
    for (size_t i = 0; i < wrap; ++i) before.push_back(shown[i].serial);
    if (rate > 0) {
      // The last day from the frame that crossed midnight to its end, then the first day.
      for (uint32_t serial = 21; serial <= 50; ++serial) want.push_back(serial);
      EXPECT_EQ(before, want);
      EXPECT_EQ(shown[wrap].serial, 1u);
    } else {
      // The first day from the last frame at or before the target back to its first frame
      // (key frames at least, thinned by four), then the last day from its end backwards.
      ASSERT_GE(before.size(), 2u);
      EXPECT_EQ((std::vector<uint32_t>{before.front(), before.back()}),
                (std::vector<uint32_t>{20, 1}));
      EXPECT_TRUE(std::is_sorted(before.rbegin(), before.rend()));
      for (uint32_t key : {1u, 11u}) EXPECT_TRUE(std::count(before.begin(), before.end(), key));
      EXPECT_EQ(shown[wrap].time, day2_ + 2);
    }
    End();
  }
}

TEST_F(DayChangeTest, DayChangeLosesToPlayTimeAndToAStop) {
  // A host PLAYTIME back to the first day's start while the thread is about to seek to the
  // second day: play goes to the host's target.
  Open(1, dir_.path());
  std::atomic<int> hooks{0};
  Object()->SetDayChangeHookForTest([&] {
    if (hooks.fetch_add(1) == 0) PlayFrom(day1_);
  });
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Display({1});
  PlayFrom(day1_ + 1);
  // Play started at day1_ + 1: a frame of day1_ comes from the host's PLAYTIME.
  ASSERT_TRUE(WaitFor([&](auto& e) { return IsShown(e) && e.time == day1_; }, 1));
  EXPECT_GE(hooks.load(), 1);
  for (const HostEvent& e : Shown()) {
    if (e.time == day1_) break;
    EXPECT_LT(e.time, day2_);
  }
  End();

  // A thread that misses the join at a STOP and then reaches its day change: the next START
  // waits for its own PLAYTIME.
  Open(1, dir_.path());
  std::atomic<bool> release{false}, inHook{false};
  Display({1});
  Object()->SetJoinTimeoutMs(50);
  Object()->SetDayChangeHookForTest([&] {
    inHook = true;
    WaitUntil([&] { return release.load(); }, 10000);
  });
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  PlayFrom(day1_ + 1);
  ASSERT_TRUE(WaitUntil([&] { return inHook.load(); }));
  _RECORDER_FILESEARCH_STOP(search_);
  ASSERT_TRUE(Object()->PlaybackThreadAlive());
  release = true;
  ASSERT_TRUE(WaitUntil([&] { return !Object()->PlaybackThreadAlive(); }));
  const size_t before = Events().size();
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  platform::SleepMs(500);
  EXPECT_EQ(Events().size(), before) << "frames after a START without PLAYTIME";
}

}  // namespace
}  // namespace playtest
