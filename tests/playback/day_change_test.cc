// Play across recorded days: the end of a day's data is shown to its last frame before play
// moves on, forward play wraps from the last recorded day to the first, and backward play
// from the start of the first day to the end of the last.
#include <gtest/gtest.h>

#include "playback_test_util.h"

namespace playtest {
namespace {

class DayChangeTest : public PlaybackTest {
 protected:
  void SetUp() override {
    PlaybackTest::SetUp();
    rec_ = std::make_unique<Recording>(dir_.path());
    ASSERT_TRUE(rec_->Begin(day1_));
    // Two seconds before midnight, three after: the writer rotates to a new file at the
    // change of day, so the catalogue holds two recorded days.
    RecordStream(*rec_, day1_, 2, 10, 1);
    RecordStream(*rec_, day2_, 3, 10, 1);
    rec_->Finish();
    Open(1, *rec_);
    ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
    int32_t days = 0;
    _RECORDER_FILESEARCH_GetDateTable(search_, nullptr, &days);
    ASSERT_EQ(days, 2);
    Display({1});
  }

  const int32_t day1_ = Local(2024, 3, 10, 23, 59, 58);
  const int32_t day2_ = Local(2024, 3, 11, 0, 0, 0);
  std::unique_ptr<Recording> rec_;
};

TEST_F(DayChangeTest, ForwardPlayShowsTheLastDayToItsEndThenWrapsToTheFirst) {
  PlayFrom(day2_);
  const auto onDay1 = [&](const HostEvent& e) { return IsShown(e) && e.time < day2_; };
  ASSERT_TRUE(WaitForCount(onDay1, 3));
  _RECORDER_FILESEARCH_STOP(search_);

  const std::vector<HostEvent> shown = log_.ShownSince();
  const auto wrap = std::find_if(shown.begin(), shown.end(), onDay1);
  ASSERT_NE(wrap, shown.end());
  // Before the wrap: every frame of the last day, from the one that crossed midnight (the first
  // record of the new day's file) to the last one recorded.
  std::vector<uint32_t> before;
  for (auto it = shown.begin(); it != wrap; ++it) before.push_back(it->serial);
  std::vector<uint32_t> expected;
  for (const SentFrame& f : rec_->video) {
    if (f.time >= day2_) expected.push_back(f.serial);
  }
  EXPECT_EQ(before, expected);
  // After it: the first recorded day from its first frame.
  EXPECT_EQ(wrap->serial, rec_->video.front().serial);
  EXPECT_EQ(wrap->time, day1_);
}

TEST_F(DayChangeTest, BackwardPlayWrapsFromTheFirstDayToTheEndOfTheLast) {
  // Four times the recorded speed keeps the test short; key frames are always sent.
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, -4.0f), 1);
  PlayFrom(day1_ + 1);
  const auto onDay2 = [&](const HostEvent& e) { return IsShown(e) && e.time >= day2_; };
  ASSERT_TRUE(WaitForCount(onDay2, 2));
  _RECORDER_FILESEARCH_STOP(search_);

  const std::vector<HostEvent> shown = log_.ShownSince();
  const auto wrap = std::find_if(shown.begin(), shown.end(), onDay2);
  ASSERT_NE(wrap, shown.end());
  // Before the wrap: the first day from its last frame (the last at or before the target)
  // back to its first frame.
  std::vector<uint32_t> before;
  for (auto it = shown.begin(); it != wrap; ++it) before.push_back(it->serial);
  ASSERT_GE(before.size(), 2u);
  EXPECT_EQ(before.front(), rec_->video[19].serial);
  EXPECT_EQ(before.back(), rec_->video.front().serial);
  for (size_t i = 1; i < before.size(); ++i) EXPECT_LT(before[i], before[i - 1]);
  // After it: the last day from its end, going back in time.
  EXPECT_EQ(wrap->time, day2_ + 2);
  for (auto it = wrap + 1; it != shown.end(); ++it) EXPECT_LE(it->time, (it - 1)->time);
}

// The end of a day is shown before play moves on, however slow the rate and whatever gaps
// lie before it; a gap inside the day is waited out for at most 2 s of wall time. The
// pacing clock runs eight times faster than the wall clock.
struct EndOfDayCase {
  const char* name;
  std::vector<int> seconds;  // recorded seconds, from 10:00:00
  int fps;
  float rate;
  double longestWait;  // most pacing-clock seconds between two shown frames
};

class EndOfDayTest : public PlaybackTest, public ::testing::WithParamInterface<EndOfDayCase> {
 protected:
  void TearDown() override { EndSearch(); }
  FastPacingClock clock_{8.0};
};

TEST_P(EndOfDayTest, EveryFrameIsShownBeforePlayWraps) {
  const EndOfDayCase& c = GetParam();
  const int32_t t0 = Local(2024, 3, 10, 10, 0, 0);
  Recording rec(dir_.path());
  ASSERT_TRUE(rec.Begin(t0));
  for (int s : c.seconds) {
    for (int f = 0; f < c.fps; ++f) rec.Video(0, t0 + s, 1, f == 0);
    rec.Settle();
  }
  rec.Finish();

  StartPlay(1, rec, {1}, t0, c.rate);
  const uint32_t first = rec.video.front().serial;
  // Play wraps to the start of the day once everything was shown.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<HostEvent> events = log_.Events();
        return FirstPass(events).size() < events.size();
      },
      30000));
  _RECORDER_FILESEARCH_STOP(search_);

  std::vector<uint32_t> shown, expected;
  std::vector<double> at;
  for (const HostEvent& e : FirstPass(log_.Events())) {
    if (IsShown(e)) shown.push_back(e.serial), at.push_back(e.at);
  }
  for (const SentFrame& f : rec.video) expected.push_back(f.serial);
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(log_.ShownSince().at(shown.size()).serial, first);
  double longest = 0;
  for (size_t i = 1; i < at.size(); ++i) longest = std::max(longest, at[i] - at[i - 1]);
  // A generous margin: on a busy machine 1.5 s of this clock is under 0.2 s of wall time.
  EXPECT_LT(longest, c.longestWait + 1.5);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EndOfDayTest,
    ::testing::Values(EndOfDayCase{"OneFramePerSecondAtHalfRate", {0, 1, 2, 3, 4}, 1, 0.5f, 2.0},
                      EndOfDayCase{"GapBeforeTheLastSeconds", {0, 1, 2, 6, 7}, 5, 1.0f, 3.0},
                      EndOfDayCase{"TwoHourGap", {0, 1, 7200, 7201}, 5, 1.0f, 3.0},
                      EndOfDayCase{"TwoHourGapAtHalfRate", {0, 1, 7200, 7201}, 5, 0.5f, 4.0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace playtest
