// Which recorded frames the playback thread hands on: a channel switched on during play
// starts at its next key frame, the key-frame-only band, backward play with the decode-only
// key frame ahead of each group, and hidden channels that must not fill the queue.
#include <fstream>

#include "playback_test_util.h"

namespace playtest {
namespace {

class ThinningTest : public PlaybackTest {
 protected:
  // Shown video frames of one channel from the start of the log, as the frames sent.
  std::vector<const Sent*> ShownOn(const Recording& rec, uint32_t channel) {
    std::vector<const Sent*> frames;
    for (const HostEvent& e : log_.Shown()) {
      if (e.channel == channel) frames.push_back(&rec.video.at(rec.Position(e.serial)));
    }
    return frames;
  }
};

TEST_F(ThinningTest, AChannelSwitchedOnDuringPlayStartsAtItsNextKeyFrame) {
  Recording rec(dir_.path(), t0);
  // Channel 0 has its key frames at frame 0 of each second, channel 1 at frame 12.
  rec.Stream(t0, 6, 25, 2, false, {0, 12});
  rec.Finish();
  const auto on = [](uint32_t ch) {
    return [ch](auto& e) { return IsShown(e) && e.channel == ch; };
  };
  StartPlay(2, {1, 0}, t0);
  ASSERT_TRUE(WaitFor(on(0), 20));
  EXPECT_EQ(log_.Count(on(1)), 0u);
  Display({1, 1});
  ASSERT_TRUE(WaitFor(on(1), 3));
  const std::vector<const Sent*> frames = ShownOn(rec, 1);
  EXPECT_TRUE(frames[0]->key);
  for (size_t i = 1; i < frames.size(); ++i)
    EXPECT_EQ(frames[i]->serial, frames[i - 1]->serial + 2);
}

// Rate 28 sends key frames only, every second one; no sound at any rate but 1.0.
TEST_F(ThinningTest, KeyFrameBandSendsEverySecondKeyFrameOnly) {
  Recording rec(dir_.path(), t0);
  rec.Stream(t0, 40, 25, 1, /*withAudio=*/true);
  rec.Finish();
  StartPlay(1, {1}, t0, 28.0f);
  ASSERT_TRUE(WaitFor(IsShown, 10));
  _RECORDER_FILESEARCH_STOP(search_);
  const std::vector<const Sent*> frames = ShownOn(rec, 0);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_TRUE(frames[i]->key) << i;
    EXPECT_EQ(frames[i]->time, frames[0]->time + 2 * int32_t(i)) << i;
  }
  EXPECT_EQ(log_.Count(IsAudio), 0u);
}

// Backward play gives each group its key frame decode-only first, then its frames from the
// newest down to the key frame. At half speed the reader reaches the start of the day long
// before the last frame is shown: the day change must still wait for it.
TEST_F(ThinningTest, BackwardPlayGivesEachGroupItsKeyFrameFirst) {
  Recording rec(dir_.path(), t0);
  rec.Stream(t0, 3, 10, 1);
  rec.Finish();
  for (const float rate : {-1.0f, -0.5f}) {
    SCOPED_TRACE(rate);
    const size_t from = log_.Events().size();
    StartPlay(1, {1}, t0 + 2, rate);
    ASSERT_TRUE(WaitForWrap(from, true));
    std::vector<std::pair<uint32_t, uint32_t>> want, got;  // serial, decode-only
    for (int s = 2; s >= 0; --s) {
      const uint32_t key = rec.video[size_t(s * 10)].serial;
      want.push_back({key, 1});
      for (uint32_t f = 10; f-- > 0;) want.push_back({key + f, 0});
    }
    size_t shown = 0, notifications = 0;
    for (const HostEvent& e : FirstPass(log_.Events(from), true)) {
      if (IsVideo(e)) got.push_back({e.serial, e.d.decodeOnly});
      shown += IsShown(e), notifications += e.kind == HostEvent::kNotify;
    }
    EXPECT_EQ(got, want);
    // Decode-only frames do not count towards the progress notifications.
    EXPECT_EQ(notifications, shown / 4);
    End();
  }
}

// With every channel hidden, nothing can close a group: key frames of hidden channels are
// then not queued as decode-only frames, which would pile up in the queue until the end.
TEST_F(ThinningTest, HidingEveryChannelKeepsTheQueueFromGrowing) {
  Recording rec(dir_.path(), t0);
  for (int s = 0; s < 600; ++s) rec.Video(0, t0 + s, 2, true, 100000);
  rec.Finish();
  const auto resident = [] {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && line.rfind("VmRSS:", 0) != 0) {
    }
    return line.empty() ? 0ll : std::stoll(line.substr(6)) * 1024;
  };
  StartPlay(1, {1}, t0);
  ASSERT_TRUE(WaitFor(IsShown, 2));
  Display({0});
  Idle(300);
  const int64_t before = resident();
  Idle(2000);
  EXPECT_LT(resident() - before, 2 << 20);
}

}  // namespace
}  // namespace playtest
