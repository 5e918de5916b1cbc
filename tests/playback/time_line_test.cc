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
