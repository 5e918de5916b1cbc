// Hosts that pass impossible times, rates that are not numbers, null or oversized arrays,
// channel counts out of range or unknown handles, or that play an empty catalogue.
#include <climits>
#include <cmath>
#include <ctime>

#include "playback_test_util.h"

namespace playtest {
namespace {

using platform::CTime;

// Month 13 is January of the next year, day 0 the last day of the month before, and the
// hour, minute and second run on into the next unit; years outside what 32-bit seconds hold
// give the no-time value; a local time that occurs twice (the repeated autumn hour) or not at
// all (the skipped spring hour) resolves to the earlier instant.
TEST(PlayTimeFromLocalTest, NormalisesFieldsAndResolvesToTheEarlierInstant) {
  struct Row {
    const char* zone;
    int32_t year, month, day, hour, minute, second;
    int64_t want;  // INT64_MIN: the no-time value
  };
  for (const Row& r :
       {Row{"UTC", 2024, 13, 0, 25, 61, 61, 1735696921},
        Row{"UTC", 2024, 3, 1, 0, 0, -1, 1709251199}, Row{"UTC", 2024, 0, 1, 0, 0, 0, 1701388800},
        Row{"UTC", 1900, 1, 1, 0, 0, 0, INT64_MIN},
        Row{"UTC", INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT64_MIN},
        Row{"UTC", INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT64_MIN},
        Row{"Europe/Berlin", 2024, 7, 1, 12, 0, 0, 1719828000},
        Row{"Europe/Berlin", 2024, 10, 27, 2, 30, 0, 1729989000},
        Row{"Europe/Berlin", 2024, 3, 31, 2, 30, 0, 1711845000}}) {
    testsupport::ScopedTimeZone zone(r.zone);
    const CTime got =
        CFileSearch::PlayTimeFromLocal(r.year, r.month, r.day, r.hour, r.minute, r.second);
    EXPECT_EQ(got, r.want == INT64_MIN ? CTime::NoTime() : CTime(int32_t(r.want)))
        << r.zone << " " << r.year << "-" << r.month << "-" << r.day;
  }
}

// Impossible times play from where they land (after the recording: the last recorded day
// from its start); display words beyond the channel count are not read and channels at or
// above it never play, backwards neither; a count above 32 means 32 and 0 is refused.
TEST_F(PlaybackTest, ImpossibleTimesOversizedArraysAndChannelCounts) {
  Recording& rec = Record(t0);
  rec.Stream(t0, 4, 10, 4);
  for (int s = 0; s < 3; ++s) rec.Video(31, t0 + 4 + s, 1, true);
  Open(2, dir_.path());
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search_, nullptr, 4);
  const uint32_t words[4] = {1, 1, 1, 1};
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search_, words, INT_MAX);
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYTIME(search_, 2024, 13, 0, 25, 61, 61), 1);
  ASSERT_TRUE(WaitFor(IsShown, 1));
  EXPECT_EQ(Events().front().serial, 1u);
  for (int32_t year : {1900, INT_MAX, INT_MIN}) {
    const size_t before = Count(IsShown);
    ASSERT_EQ(_RECORDER_FILESEARCH_PLAYTIME(search_, year, year, year, year, year, year), 1);
    ASSERT_TRUE(WaitFor(IsShown, before + 1)) << year;
  }
  ASSERT_TRUE(WaitFor(On(0, IsVideo), 15) && WaitFor(On(1, IsVideo), 15));
  // Backwards too, where the frame reader hands key frames over by itself.
  const size_t forward = Events().size();
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, -1.0f), 1);
  PlayFrom(t0 + 3);
  ASSERT_TRUE(WaitFor(On(1, IsVideo), 8, forward));
  EXPECT_GE(Count([](auto& e) { return IsVideo(e) && e.d.decodeOnly; }), 2u);
  End();
  EXPECT_EQ(Count([](auto& e) { return e.channel >= 2; }), 0u);

  EXPECT_EQ(_RECORDER_FILESEARCH_INIT(0, 0, nullptr, nullptr), nullptr);
  std::vector<uint32_t> all(40, 0);
  all[31] = 1;
  StartPlay(100, all, t0 + 4);
  ASSERT_TRUE(WaitFor(On(31), 3));
}

// The seek stays pending on an empty catalogue without spinning a core, and STOP ends the
// waiting thread at once. A live search answers its getters; a rate that is not a number
// changes nothing (ended, null and foreign handles are covered with the other exports).
TEST_F(PlaybackTest, AnEmptyCatalogueRatesThatAreNotNumbersAndRepeatedEnds) {
  Open(1, dir_.path(), {"missing.FIH"});
  float rate = 0.0f;
  EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(search_, nullptr), 0);
  for (float r : {-2.5f, NAN, INFINITY}) EXPECT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, r), 1);
  EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(search_, &rate) * rate, -2.5f);
  EXPECT_EQ(_RECORDER_FILESEARCH_SETSTATUS(search_, 1), 0);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  int32_t days = -1;
  _RECORDER_FILESEARCH_GetDateTable(search_, nullptr, &days);
  EXPECT_EQ(days, 0);
  Display({1});
  PlayFrom(t0);
  const std::clock_t cpuBefore = std::clock();
  platform::SleepMs(1500);
  EXPECT_LT(double(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.3) << "the thread spins";
  EXPECT_TRUE(Events().empty());
  EXPECT_TRUE(Object()->PlaybackThreadAlive());
  const double before = platform::PerfSeconds();
  _RECORDER_FILESEARCH_STOP(search_);
  EXPECT_LT(platform::PerfSeconds() - before, 1.0);
  EXPECT_FALSE(Object()->PlaybackThreadAlive());
}

}  // namespace
}  // namespace playtest
