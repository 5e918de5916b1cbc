// Play across recorded days: a day's data is shown to its last frame before play moves on,
// forward play wraps from the last recorded day to the first and backward play from the
// start of the first to the end of the last; the thread's own seek to the next day never
// outlives a STOP. Local times a host passes to PLAYTIME, impossible ones too.
#include <climits>

#include "playback_test_util.h"

namespace playtest {
namespace {

using platform::CTime;

// Month 13 is January of the next year, day 0 the last day of the month before, and the
// hour, minute and second run on into the next unit; years outside what 32-bit seconds hold
// give the no-time value; a local time that occurs twice (the repeated autumn hour) or not at
// all (the skipped spring hour) resolves to the earlier instant.
TEST(PlayTimeFromLocalTest, NormalisesFieldsAndResolvesToTheEarlierInstant) {
  // zone, year, month, day, hour, minute, second, instant (0: the no-time value)
  for (const auto& [zone, y, mo, d, h, mi, s, want] :
       {std::tuple{"UTC", 2024, 13, 0, 25, 61, 61, 1735696921},
        {"UTC", INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, 0},
        {"UTC", INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, 0},
        {"Europe/Berlin", 2024, 10, 27, 2, 30, 0, 1729989000},
        {"Europe/Berlin", 2024, 3, 31, 2, 30, 0, 1711845000}}) {
    testsupport::ScopedTimeZone tz(zone);
    EXPECT_EQ(CFileSearch::PlayTimeFromLocal(y, mo, d, h, mi, s),
              want == 0 ? CTime::NoTime() : CTime(want))
        << zone << " " << y << "-" << mo << "-" << d;
  }
}

TEST_F(PlaybackTest, DaysPlayToTheirEndsWrapAndLoseTheirChangeToAPlayTimeOrAStop) {
  // Two seconds before midnight, three after: the writer rotates to a new file at the change
  // of day, so the catalogue holds two recorded days (frames 1-21 and 22-52). Each day starts
  // inside a group of pictures: the first day's frame 1 has no key frame before it, the
  // second day's frame 22 goes on with the group of the first day's last second.
  const int32_t day1 = LocalSeconds(2024, 3, 10, 23, 59, 58), day2 = day1 + 2;
  Record(day1).Video(0, day1, 1, false);
  rec_.Stream(day1, 2, 10, 1);
  rec_.Video(0, day2, 1, false);
  rec_.Stream(day2, 3, 10, 1);
  // Forwards from the first day's last second on across midnight (frame 22 too) to the end,
  // then the first day from its first key frame; from midnight itself (frame 22's key frame
  // lies in the day before: not shown); backwards the first day from the last frame at or
  // before the target back to its first frame (key frames 2 and 12 at least, thinned by
  // four), then the last day from its end.
  for (const auto& [rate, target, first, last, next] : {std::tuple{1.0f, day1 + 1, 12u, 52u, 2u},
                                                        {1.0f, day2, 23u, 52u, 2u},
                                                        {-4.0f, day1 + 1, 21u, 1u, 52u}}) {
    SCOPED_TRACE(testing::Message() << "rate " << rate << " from " << target - day1);
    const size_t from = Events().size();
    StartPlay(1, {1}, target, rate);
    ASSERT_TRUE(WaitForWrap(from, rate < 0));
    const std::vector<HostEvent> shown = Events(IsShown, from);
    std::vector<uint32_t> before;
    for (const HostEvent& e : FirstPass(Events(from), rate < 0))
      if (IsShown(e)) before.push_back(e.serial);
    EXPECT_EQ(std::tuple(before.front(), before.back(), shown.at(before.size()).serial),
              std::tuple(first, last, next));
    EXPECT_TRUE(rate > 0 ? before.size() == last - first + 1 &&
                               std::is_sorted(before.begin(), before.end())
                         : std::is_sorted(before.rbegin(), before.rend()) &&
                               std::count(before.begin(), before.end(), 12u) == 1);
  }

  // A host PLAYTIME back to the first day's start while the thread is about to change to
  // the next day: play goes to the host's target, no frame of the next day comes first, nor
  // the frame ahead of the first day's first key frame (its decoder never got that key frame).
  Open(1);
  std::atomic<int> hooks{0};
  Object()->SetDayChangeHookForTest([&] {
    if (hooks.fetch_add(1) == 0) PlayFrom(day1);
  });
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Display({1});
  const size_t from = Events().size();
  PlayFrom(day1 + 1);
  ASSERT_TRUE(WaitFor([&](auto& e) { return IsShown(e) && e.time == day1; }, 4, from));
  const std::vector<HostEvent> all = Events(from);
  EXPECT_TRUE(std::ranges::all_of(all, [&](auto& e) { return e.time < day2 && e.serial != 1; }));
  // The progress count starts anew at the host's seek: the fourth frame after it is announced.
  const auto fourth = std::find_if(all.begin(), all.end(), [](auto& e) { return e.serial == 5; });
  EXPECT_EQ(std::prev(fourth)->kind, HostEvent::kNotify);

  // A thread that misses the join at a STOP and then reaches its day change: the next START
  // waits for its own PLAYTIME.
  Open(1);
  std::atomic<bool> release{false}, inHook{false};
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
  EXPECT_EQ(_RECORDER_FILESEARCH_START(search_), 0) << "a second thread beside the old one";
  release = true;
  ASSERT_TRUE(WaitUntil([&] { return !Object()->PlaybackThreadAlive(); }));
  const size_t stopped = Events().size();
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  platform::SleepMs(500);
  EXPECT_EQ(Events().size(), stopped) << "frames after a START without PLAYTIME";
}

// A day whose data file went after the search listed it (deleted by retention) is passed over
// in the direction of play: backwards from the last of three days, play goes on with the first.
// Backwards a second-class frame that is no key frame is not shown.
TEST_F(PlaybackTest, ADayThatCannotBeReadIsPassedOver) {
  const int32_t day1 = LocalSeconds(2024, 3, 10, 12, 0, 0);
  Record(day1);
  for (int32_t day : {day1, day1 + 86400, day1 + 2 * 86400})
    rec_.Stream(day, 1, 5, 1), rec_.Video(0, day, 2, false);
  StartPlay(1, {1}, day1 + 2 * 86400, -1.0f);
  std::filesystem::remove(dir_.path() + "file1.VDB");  // once the catalogue lists its day
  ASSERT_TRUE(WaitForWrap(0, true));
  const std::vector<HostEvent> shown = Events(IsShown);
  EXPECT_EQ(std::pair(shown.at(4).serial, shown.at(5).serial), std::pair(13u, 5u));
}

}  // namespace
}  // namespace playtest
