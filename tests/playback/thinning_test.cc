// Which recorded frames the playback thread hands on: key frames first after a seek and when
// a channel is switched on, the thinning of fast rates and of the key-frame-only band, audio
// only at 1.0, and backward play with the decode-only key frame ahead of each group.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "playback_test_util.h"

namespace playtest {
namespace {

class ThinningTest : public PlaybackTest {
 protected:
  const int32_t t0 = Local(2024, 3, 10, 10, 0, 0);

  // Shown video frames of the first pass, as the sent frames they are, and when they came.
  std::vector<const SentFrame*> ShownFirstPass(const Recording& rec,
                                               std::vector<double>* at = nullptr) {
    std::vector<const SentFrame*> frames;
    for (const HostEvent& e : FirstPass(log_.Events())) {
      if (!IsShown(e)) continue;
      frames.push_back(FindSent(rec, e.serial));
      if (at != nullptr) at->push_back(e.at);
    }
    return frames;
  }

  // Shown video frames of one channel from event `from` on.
  std::vector<const SentFrame*> ShownOn(const Recording& rec, uint32_t channel, size_t from = 0) {
    std::vector<const SentFrame*> frames;
    for (const HostEvent& e : log_.ShownSince(from)) {
      if (e.channel == channel) frames.push_back(FindSent(rec, e.serial));
    }
    return frames;
  }
};

// A channel switched on during play starts at its next key frame. (Where play starts after
// a seek: play_from_target_test.cc.)
TEST_F(ThinningTest, AChannelSwitchedOnDuringPlayStartsAtItsNextKeyFrame) {
  Recording rec(dir_.path());
  // Channel 0 has its key frames at frame 0 of each second, channel 1 at frame 12.
  RecordSeconds(rec, t0, 6, 25, 2, false, {0, 12});
  const auto onChannel = [](uint32_t ch) {
    return [ch](const HostEvent& e) { return IsShown(e) && e.channel == ch; };
  };
  StartPlay(2, rec, {1, 0}, t0);
  ASSERT_TRUE(WaitUntil([&] { return log_.Count(onChannel(0)) >= 20; }));
  EXPECT_EQ(log_.Count(onChannel(1)), 0u);
  Display({1, 1});
  ASSERT_TRUE(WaitUntil([&] { return log_.Count(onChannel(1)) >= 3; }));
  const std::vector<const SentFrame*> frames = ShownOn(rec, 1);
  EXPECT_TRUE(frames[0]->key);
  for (size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i]->serial, frames[i - 1]->serial + 2);
  }
}

TEST_F(ThinningTest, RateTwoSendsTheKeyFrameAndEveryOtherFrameWithoutAudio) {
  constexpr int kSeconds = 6;
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, kSeconds, 25, 1, /*audio=*/true);

  StartPlay(1, rec, {1}, t0, 2.0f);
  // Depending on the phase of the thinning the last frame sent is the last or the one before.
  const int lastPosition = static_cast<int>(rec.video.size()) - 2;
  ASSERT_TRUE(WaitForCount(
      [&](const HostEvent& e) {
        return IsShown(e) && VideoPosition(rec, e.serial) >= lastPosition;
      },
      1));
  _RECORDER_FILESEARCH_STOP(search_);
  EXPECT_EQ(log_.Count(IsAudio), 0u);

  // Play starts at the key frame of t0, the seek target.
  std::vector<double> at;
  const std::vector<const SentFrame*> frames = ShownFirstPass(rec, &at);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front()->time, t0);
  std::map<int32_t, std::vector<const SentFrame*>> bySecond;
  for (const SentFrame* f : frames) bySecond[f->time].push_back(f);
  EXPECT_EQ(bySecond.size(), static_cast<size_t>(kSeconds));
  for (const auto& [second, list] : bySecond) {
    ASSERT_TRUE(list.front()->key) << "second " << second - t0;
    // 24 frames after the key frame, every other one of them.
    EXPECT_EQ(list.size(), 13u) << "second " << second - t0;
    for (size_t i = 2; i < list.size(); ++i) {
      EXPECT_EQ(VideoPosition(rec, list[i]->serial), VideoPosition(rec, list[i - 1]->serial) + 2)
          << "second " << second - t0;
    }
  }
  // Paced at twice the recorded speed: about 6 recorded seconds in 3 s.
  EXPECT_NEAR(at.back() - at.front(), (kSeconds - 1 + 24.0 / 25) / 2.0, 0.5);
}

TEST_F(ThinningTest, KeyFrameBandSendsEverySecondKeyFrameOnly) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 40, 25, 1);

  StartPlay(1, rec, {1}, t0, 28.0f);
  ASSERT_TRUE(WaitForCount(IsShown, 10));
  _RECORDER_FILESEARCH_STOP(search_);

  const std::vector<const SentFrame*> frames = ShownFirstPass(rec);
  ASSERT_GE(frames.size(), 10u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_TRUE(frames[i]->key) << "frame " << i;
    if (i > 0) {
      EXPECT_EQ(frames[i]->time, frames[i - 1]->time + 2) << "frame " << i;
    }
  }
}

// At half speed the first shown frame comes two seconds after its decode-only key frame,
// while the reader has long reached the start of the day: the day change must still wait
// for the whole day to be shown before play wraps around.
class BackwardPlayTest : public ThinningTest, public ::testing::WithParamInterface<float> {};

TEST_P(BackwardPlayTest, GivesEachGroupItsKeyFrameFirstThenNewestToOldest) {
  Recording rec(dir_.path());
  RecordSeconds(rec, t0, 3, 10, 1);

  StartPlay(1, rec, {1}, t0 + 2, GetParam());
  const uint32_t firstKey = rec.video.front().serial;
  ASSERT_TRUE(
      WaitForCount([&](const HostEvent& e) { return IsShown(e) && e.serial == firstKey; }, 1));
  _RECORDER_FILESEARCH_STOP(search_);

  // Play starts with the last frame at or before t0 + 2; from there backwards each group is
  // its key frame decode-only, then its frames from the newest down to the key frame.
  std::vector<std::pair<uint32_t, uint32_t>> expected;  // serial, decode-only
  const auto key = [&](int s) { return rec.video[static_cast<size_t>(s * 10)].serial; };
  for (int s = 2; s >= 0; --s) {
    expected.push_back({key(s), 1});
    for (int f = 9; f >= 0; --f) expected.push_back({key(s) + static_cast<uint32_t>(f), 0});
  }
  std::vector<std::pair<uint32_t, uint32_t>> got;
  size_t shown = 0;
  size_t notifications = 0;
  for (const HostEvent& e : FirstPass(log_.Events(), /*backward=*/true)) {
    if (IsVideo(e)) got.push_back({e.serial, e.d.decodeOnly});
    shown += IsShown(e) ? 1 : 0;
    notifications += e.kind == HostEvent::kNotify ? 1 : 0;
  }
  EXPECT_EQ(got, expected);
  // Decode-only frames do not count towards the progress notifications.
  EXPECT_EQ(notifications, shown / 4);
}

INSTANTIATE_TEST_SUITE_P(Rates, BackwardPlayTest, ::testing::Values(-1.0f, -0.5f));

// Resident memory of this process in bytes.
int64_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  }
  return 0;
}

// With every channel hidden, nothing can close a group: key frames of hidden channels are
// then not queued as decode-only frames, which would pile up in the queue until the end.
TEST_F(ThinningTest, HidingEveryChannelKeepsTheQueueFromGrowing) {
  Recording rec(dir_.path());
  ASSERT_TRUE(rec.Begin(t0));
  for (int s = 0; s < 600; ++s) rec.Video(0, t0 + s, 2, true, 0, 0, 100000);
  rec.Finish();

  StartPlay(1, rec, {1}, t0);
  ASSERT_TRUE(WaitForCount(IsShown, 2));
  Display({0});
  Idle(300);
  const int64_t before = ResidentBytes();
  Idle(2000);
  EXPECT_LT(ResidentBytes() - before, 2 << 20);
}

}  // namespace
}  // namespace playtest
