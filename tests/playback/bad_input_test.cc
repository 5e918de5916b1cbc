// Hosts that pass impossible times, null or oversized arrays, unknown handles, channel
// counts out of range, or that play an empty catalogue.
#include <gtest/gtest.h>

#include <climits>
#include <ctime>

#include "playback_test_util.h"

namespace playtest {
namespace {

using platform::CTime;

class BadInputTest : public PlaybackTest {
 protected:
  const int32_t t0 = Local(2024, 3, 10, 10, 0, 0);
};

TEST(PlayTimeFromLocalTest, NormalisesImpossibleFieldsAndRefusesYearsOutOfRange) {
  ZoneGuard zone("UTC");
  // Month 13 is January of the next year, day 0 the last day of the month before, and the
  // hour, minute and second run on into the next unit.
  EXPECT_EQ(CFileSearch::PlayTimeFromLocal(2024, 13, 0, 25, 61, 61).seconds(),
            Local(2025, 1, 1, 2, 2, 1));
  EXPECT_EQ(CFileSearch::PlayTimeFromLocal(2024, 3, 1, 0, 0, -1).seconds(),
            Local(2024, 2, 29, 23, 59, 59));
  EXPECT_EQ(CFileSearch::PlayTimeFromLocal(2024, 0, 1, 0, 0, 0).seconds(),
            Local(2023, 12, 1, 0, 0, 0));
  // Outside what 32-bit seconds hold: the no-time value.
  EXPECT_EQ(CFileSearch::PlayTimeFromLocal(1900, 1, 1, 0, 0, 0), CTime::NoTime());
  EXPECT_EQ(CFileSearch::PlayTimeFromLocal(INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX),
            CTime::NoTime());
  EXPECT_EQ(CFileSearch::PlayTimeFromLocal(INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN),
            CTime::NoTime());
}

TEST(PlayTimeFromLocalTest, AmbiguousAndMissingLocalTimesResolveToTheEarlierInstant) {
  ZoneGuard zone("Europe/Berlin");
  EXPECT_EQ(CFileSearch::PlayTimeFromLocal(2024, 7, 1, 12, 0, 0),
            CTime::FromLocal(2024, 7, 1, 12, 0, 0));
  // 02:30 on 27 October 2024 happens twice: the first, in summer time, is 00:30 UTC.
  EXPECT_EQ(CFileSearch::PlayTimeFromLocal(2024, 10, 27, 2, 30, 0).seconds(), 1729989000);
  // 02:30 on 31 March 2024 never happens: the earlier reading, 00:30 UTC, shown as 01:30.
  EXPECT_EQ(CFileSearch::PlayTimeFromLocal(2024, 3, 31, 2, 30, 0).seconds(), 1711845000);
}

TEST_F(BadInputTest, ImpossiblePlayTimesPlayFromWhereTheyLand) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 3, 10, 1);

  Open(1, rec);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Display({1});
  // Lands on 1 January 2025, after the recording: play falls back to the last recorded day
  // from its start.
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYTIME(search_, 2024, 13, 0, 25, 61, 61), 1);
  ASSERT_TRUE(WaitForCount(IsShown, 1));
  EXPECT_EQ(log_.Events().front().serial, rec.video.front().serial);

  for (int32_t year : {1900, INT_MAX, INT_MIN}) {
    const size_t before = log_.Count(IsShown);
    ASSERT_EQ(_RECORDER_FILESEARCH_PLAYTIME(search_, year, year, year, year, year, year), 1);
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(IsShown) > before; })) << year;
  }
}

TEST_F(BadInputTest, AnEmptyCatalogueKeepsTheSeekPendingWithoutSpinning) {
  ASSERT_NE(Open(1, dir_.path(), {"missing.FIH"}), nullptr);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  int32_t days = -1;
  _RECORDER_FILESEARCH_GetDateTable(search_, nullptr, &days);
  EXPECT_EQ(days, 0);
  Display({1});
  PlayFrom(t0);

  const std::clock_t cpuBefore = std::clock();
  Idle(1500);
  const double cpu = static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
  EXPECT_LT(cpu, 0.3) << "the playback thread spins on an empty catalogue";
  EXPECT_EQ(log_.Size(), 0u);
  EXPECT_TRUE(Object()->PlaybackThreadAlive());

  const double before = platform::PerfSeconds();
  _RECORDER_FILESEARCH_STOP(search_);
  EXPECT_LT(platform::PerfSeconds() - before, 1.0);
  EXPECT_FALSE(Object()->PlaybackThreadAlive());
}

TEST_F(BadInputTest, DisplayWordsAreClampedAndChannelsBeyondTheCountNeverPlay) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 4, 10, 4);

  Open(2, rec);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search_, nullptr, 4);
  const uint32_t words[4] = {1, 1, 1, 1};
  // Only the first two words are read, whatever the count says.
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search_, words, INT_MAX);
  PlayFrom(t0);
  const auto onChannel = [](uint32_t ch) {
    return [ch](const HostEvent& e) { return IsVideo(e) && e.channel == ch; };
  };
  ASSERT_TRUE(WaitForCount(onChannel(0), 15));
  ASSERT_TRUE(WaitForCount(onChannel(1), 15));

  // Backwards too, where the frame reader hands key frames over by itself.
  const size_t forward = log_.Size();
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, -1.0f), 1);
  PlayFrom(t0 + 3);
  ASSERT_TRUE(WaitUntil([&] { return log_.Count(onChannel(1), forward) >= 8; }));
  EXPECT_GE(log_.Count([](const HostEvent& e) { return IsVideo(e) && e.d.decodeOnly; }), 2u);
  _RECORDER_FILESEARCH_STOP(search_);
  EXPECT_EQ(log_.Count([](const HostEvent& e) { return e.channel >= 2; }), 0u);
}

TEST_F(BadInputTest, ChannelCountsAreClampedToThirtyTwoAndZeroIsRefused) {
  EXPECT_EQ(_RECORDER_FILESEARCH_INIT(0, 0, nullptr, nullptr), nullptr);

  Recording rec(dir_.path());
  ASSERT_TRUE(rec.Begin(t0));
  for (int s = 0; s < 3; ++s) {
    for (int f = 0; f < 5; ++f) rec.Video(31, t0 + s, 1, f == 0);
  }
  rec.Finish();
  std::vector<uint32_t> words(40, 0);
  words[31] = 1;
  StartPlay(100, rec, words, t0);
  ASSERT_TRUE(WaitForCount([](const HostEvent& e) { return IsShown(e) && e.channel == 31; }, 3));
}

// Null handles at every export are covered with the other exports; here a live search.
TEST_F(BadInputTest, LiveSearchGettersAnswerAndRepeatedOrUnknownEndsAreHarmless) {
  float rate = 0.0f;
  FILESEARCH_HANDLE search = _RECORDER_FILESEARCH_INIT(4, 0, nullptr, nullptr);
  ASSERT_NE(search, nullptr);
  // Before any start the rate is kept for it (the step read-back is in the control tests).
  EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(search, nullptr), 0);
  EXPECT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search, -2.5f), 1);
  EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(search, &rate), 1);
  EXPECT_EQ(rate, -2.5f);
  EXPECT_EQ(_RECORDER_FILESEARCH_SETSTATUS(search, 1), 0);
  EXPECT_EQ(_RECORDER_FILESEARCH_PLAYTIME(search, 2024, 1, 1, 0, 0, 0), 1);
  _RECORDER_FILESEARCH_END(search);
  _RECORDER_FILESEARCH_END(search);
  int unrelated = 0;
  _RECORDER_FILESEARCH_END(reinterpret_cast<FILESEARCH_HANDLE>(&unrelated));
}

}  // namespace
}  // namespace playtest
