// The recording as one time line: play runs on across midnight (a change of file) inside a
// group of pictures at any frame rate, PLAYTIME shows its target however far back the key frame
// lies, a day whose file went is passed over. Local times a host passes to PLAYTIME, impossible
// ones too. The pacing clock runs fast where play would take seconds.
#include <chrono>
#include <climits>

#include "playback_test_util.h"
#include "support/stored_files.h"

namespace playtest {
namespace {

using platform::CTime;

class FastPlaybackTest : public FastClockPlaybackTest<20> {
 protected:
  // The serials of the video frames in the first pass from t on, shown or decode-only.
  std::pair<std::vector<uint32_t>, std::vector<uint32_t>> PlayPass(int32_t t) {
    const size_t from = Events().size();
    StartPlay(1, {1}, t);
    EXPECT_TRUE(WaitForWrap(from));
    std::vector<uint32_t> shown, decoded;
    for (const HostEvent& e : FirstPass(Events(from)))
      if (e.kind == HostEvent::kVideo) (e.d.decodeOnly ? decoded : shown).push_back(e.serial);
    return {shown, decoded};
  }
};

// 20 s around midnight at one frame per 2 s, 1 and 25 frames per second, with a group of pictures
// that starts before midnight and ends after it (the writer moves to a new file at midnight):
// from the first key frame on, every frame is shown once, in order.
// Frames per second (0: one per 2 s), frames per group, first frame's offset from midnight.
class MidnightTest : public FastPlaybackTest,
                     public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

TEST_P(MidnightTest, PlayRunsOnAcrossMidnightInsideAGroup) {
  const int32_t midnight = LocalSeconds(2024, 3, 11, 0, 0, 0);
  const auto [fps, group, start] = GetParam();
  {
    Record(midnight + start);
    std::vector<uint32_t> all;
    for (int n = 0; fps == 0 ? n < 10 : n < 19 * fps; ++n) {
      const int32_t t = midnight + start + (fps == 0 ? 2 * n : n / fps);
      all.push_back(rec_.Video(0, t, 1, n % group == 0));
      if (fps != 0 && n % fps == 0) rec_.Settle();
    }
    const auto [shown, decoded] = PlayPass(midnight + start);
    EXPECT_EQ(shown, all);
    EXPECT_TRUE(decoded.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, MidnightTest,
                         ::testing::Values(std::tuple{0, 3, -10}, std::tuple{1, 4, -10},
                                           std::tuple{25, 50, -9}));

// PLAYTIME T with the channel's key frame 70 s, 5 minutes and the day before back: the frames
// from the key frame up to T reach the decoder first, then T is the first frame shown.
// Key frame and target, as offsets from a midnight.
class FarKeyFrameTest : public FastPlaybackTest,
                        public ::testing::WithParamInterface<std::pair<int32_t, int32_t>> {};

TEST_P(FarKeyFrameTest, PlayTimeShowsItsTargetHoweverFarBackTheKeyFrameIs) {
  const int32_t midnight = LocalSeconds(2024, 3, 11, 0, 0, 0);
  const int32_t key = midnight + GetParam().first, target = midnight + GetParam().second;
  {
    Record(key);
    std::vector<uint32_t> before, after;
    for (int32_t t = key; t < target + 5; ++t) {
      (t < target ? before : after).push_back(rec_.Video(0, t, 1, t == key));
      if ((t - key) % 30 == 0) rec_.Settle();
    }
    const auto [shown, decoded] = PlayPass(target);
    EXPECT_EQ(decoded, before);
    EXPECT_EQ(shown, after);
  }
}

INSTANTIATE_TEST_SUITE_P(Distances, FarKeyFrameTest,
                         ::testing::Values(std::pair{3600, 3670}, std::pair{3600, 3900},
                                           std::pair{-50, 20}));

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

// A damaged record costs the records after it up to the next one the index knows of, and the
// host hears of it: the progress notifications count the damaged records stepped over (by the
// reader, which runs ahead of what is shown).
TEST_F(PlaybackTest, ADamagedRecordIsSteppedOverAndCounted) {
  Record(t0).Stream(t0, 3, 10, 1);
  rec_.Finish();
  const std::string data = dir_.path() + "file0.VDB";
  const std::vector<testsupport::StoredRecord> records = testsupport::ReadIndexedRecords(data);
  const auto sixteenth = std::find_if(records.begin(), records.end(), [](const auto& r) {
    const std::vector<uint8_t> payload = r.VideoPayload();
    return payload.size() >= 4 && payload[0] == 16 && payload[1] == 0;
  });
  ASSERT_NE(sixteenth, records.end());
  std::vector<uint8_t> bytes = testsupport::ReadBytes(data);
  ++bytes.at(sixteenth->offset);  // frame 16's start marker
  testsupport::WriteBytes(data, bytes);
  StartPlay(1, {1}, t0);
  ASSERT_TRUE(WaitForWrap());
  std::vector<uint32_t> shown;
  for (const HostEvent& e : FirstPass(Events()))
    if (IsShown(e)) shown.push_back(e.serial);
  EXPECT_EQ(shown, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  // The reader runs ahead of the pacing (here through the whole pass and into the next,
  // which meets the damage again): the count is there by the first notification.
  const auto notify = [](const HostEvent& e) { return e.kind == HostEvent::kNotify; };
  EXPECT_GE(Events(notify).front().d.statSize, 1u);
}

// A day whose data file went after the search listed it (deleted by retention) is passed over
// in the direction of play: backwards from the last of three days, play goes on with the first.
// Backwards a second-class frame that is no key frame is not shown.
TEST_F(PlaybackTest, ADayThatCannotBeReadIsPassedOver) {
  const int32_t day1 = LocalSeconds(2024, 3, 10, 12, 0, 0);
  Record(day1);
  for (int32_t day : {day1, day1 + 86400, day1 + 2 * 86400})
    rec_.Stream(day, 1, 5, 1), rec_.Video(0, day, 2, false);
  // Removed once START's catalogue lists its day, before play can reach it.
  Open(1, {});
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, -1.0f), 1);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  std::filesystem::remove(dir_.path() + "file1.VDB");
  Display({1});
  PlayFrom(day1 + 2 * 86400);
  ASSERT_TRUE(WaitForWrap(0, true));
  const std::vector<HostEvent> shown = Events(IsShown);
  EXPECT_EQ(std::pair(shown.at(4).serial, shown.at(5).serial), std::pair(13u, 5u));
}

}  // namespace
}  // namespace playtest
