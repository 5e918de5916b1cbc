// PLAYTIME T shows T: frames #0..#99 over five seconds on two channels whose key frames fall
// at different places, and for every key-frame interval, target second and rate, the first
// displayed frame of each channel, the decode-only frames before it, and every frame up to
// where play wraps. The pacing clock runs eight times faster than the wall clock.
#include "playback_test_util.h"

namespace playtest {
namespace {

constexpr int kFrames = 100, kFps = 20;
constexpr uint32_t kChannels = 2;

// Channel 1 has its key frames a fifth of an interval after channel 0's; both start with one.
bool IsKey(int interval, uint32_t channel, int n) {
  const int phase = channel == 0 ? 0 : interval / 5;
  return n == 0 || (n >= phase && (n - phase) % interval == 0);
}

class PlayFromTargetTest : public PlaybackTest, public ::testing::WithParamInterface<int> {
 protected:
  FastPacingClock clock_{8.0};
};

TEST_P(PlayFromTargetTest, FirstFrameIsTheTargetAndNothingIsSkipped) {
  const int interval = GetParam();
  Recording rec(dir_.path(), t0);
  std::vector<std::array<uint32_t, kChannels>> serial(kFrames);
  for (int n = 0; n < kFrames; ++n) {
    for (uint32_t c = 0; c < kChannels; ++c) {
      serial[n][c] = rec.Video(c, t0 + n / kFps, 1, IsKey(interval, c, n));
    }
    if (n % kFps == 0) rec.Settle();
  }
  rec.Finish();
  Open(kChannels, dir_.path());
  Display({1, 1});
  for (const int second : {0, 2, 4}) {
    for (const float rate : {1.0f, 2.0f, 0.5f, -1.0f, -0.5f}) {
      SCOPED_TRACE(testing::Message()
                   << "interval " << interval << ", second " << second << ", rate " << rate);
      const bool backward = rate < 0;
      const size_t from = log_.Events().size();
      ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, rate), 1);
      ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
      PlayFrom(t0 + second);
      ASSERT_TRUE(WaitForWrap(from, backward));
      const std::vector<HostEvent> pass = FirstPass(log_.Events(from), backward);
      for (uint32_t c = 0; c < kChannels; ++c) {
        SCOPED_TRACE(testing::Message() << "channel " << c);
        // Frame numbers of the channel as shown, and the decode-only ones before the first.
        std::vector<int> shown, decodeOnly;
        for (const HostEvent& e : pass) {
          if (!IsVideo(e) || e.channel != c) continue;
          int n = 0;
          while (n < kFrames && serial[n][c] != e.serial) ++n;
          ASSERT_LT(n, kFrames);
          if (!e.d.decodeOnly) shown.push_back(n);
          if (e.d.decodeOnly && shown.empty()) decodeOnly.push_back(n);
        }
        // Forwards the first frame at or after T; backwards the last at or before it.
        const int first = backward ? second * kFps + kFps - 1 : second * kFps;
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.front(), first);
        int key = first;
        while (!IsKey(interval, c, key)) --key;
        // Forwards the decoder gets every frame from the key frame; backwards the key frame.
        std::vector<int> expected, all;
        for (int n = key; n < first; n += backward ? first : 1) expected.push_back(n);
        EXPECT_EQ(decodeOnly, expected);
        for (int n = first; n >= 0 && n < kFrames; n += backward ? -1 : 1) all.push_back(n);
        if (rate != 2.0f) {
          EXPECT_EQ(shown, all);
          continue;
        }
        // Rate 2 thins to the key frames and every other frame, in order, none twice.
        for (size_t i = 1; i < shown.size(); ++i) {
          EXPECT_TRUE(shown[i] > shown[i - 1] && shown[i] - shown[i - 1] <= 2) << shown[i];
        }
        for (int n : all) {
          EXPECT_TRUE(!IsKey(interval, c, n) || std::count(shown.begin(), shown.end(), n)) << n;
        }
        EXPECT_GE(shown.back(), kFrames - 2);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(KeyIntervals, PlayFromTargetTest, ::testing::Values(1, 25, 50));

}  // namespace
}  // namespace playtest
