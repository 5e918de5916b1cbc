// Recorded through the exports and played back at 1.0: every frame reaches the host once, as
// it was written, in recorded order and at the recorded pace, with the audio of the current
// channel only and a progress notification on every fourth displayed frame; key frames of
// megabytes come back byte for byte.
#include <map>

#include "playback_test_util.h"

namespace playtest {
namespace {

class RoundTripTest : public PlaybackTest {};

TEST_F(RoundTripTest, FourChannelsWithAudioComeBackAsRecordedAtTheirPace) {
  constexpr int kSeconds = 5, kFps = 25;
  constexpr uint32_t kChannels = 4;
  Recording rec(dir_.path(), t0 - 1);
  // A lone record in the second before: the seek to that second shows it first.
  const uint32_t lone = rec.Video(0, t0 - 1, 1, true);
  rec.Settle();
  for (int s = 0; s < kSeconds; ++s) {
    for (int f = 0; f < kFps; ++f) {
      for (uint32_t ch = 0; ch < kChannels; ++ch) {
        // First- and second-class video; triggers A on channels 1 and 3, B on 2 and 3.
        rec.Video(ch, t0 + s, f == 0 ? 1 : 1 + f % 3, f == 0, 0, ch % 2, ch / 2);
      }
      if (f == 0) rec.Settle();
      if (f % 5 == 0) rec.Audio(0, t0 + s, f % 10 == 0 ? 0 : 17), rec.Audio(1, t0 + s, 17);
    }
  }
  rec.Finish();
  std::map<uint32_t, const Sent*> sent;
  std::map<uint32_t, std::vector<uint32_t>> wantVideo, gotVideo;  // serials per channel
  std::vector<uint32_t> wantAudio, gotAudio;
  for (const Sent& f : rec.video) sent[f.serial] = &f, wantVideo[f.channel].push_back(f.serial);
  for (const Sent& f : rec.audio) {
    sent[f.serial] = &f;
    if (f.channel == 0) wantAudio.push_back(f.serial);
  }

  Open(kChannels, dir_.path());
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search_, 0);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Display({1, 1, 1, 1});
  PlayFrom(t0 - 1);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return log_.Count([&](const HostEvent& e) {
          return !IsShown(e) ? IsAudio(e) && e.serial == wantAudio.back()
                             : e.serial == rec.video.back().serial;
        }) >= 2;
      },
      30000));
  _RECORDER_FILESEARCH_STOP(search_);
  const std::vector<HostEvent> pass = FirstPass(log_.Events());
  using Row = std::vector<int64_t>;
  std::vector<const HostEvent*> shown;
  size_t notifications = 0;
  for (size_t i = 0; i < pass.size(); ++i) {
    const HostEvent& e = pass[i];
    const FrameDescriptor& d = e.d;
    if (e.kind == HostEvent::kNotify) {
      // For the displayed frame that follows, just before it, on every fourth one.
      ++notifications;
      ASSERT_TRUE(i + 1 < pass.size() && IsShown(pass[i + 1]));
      const HostEvent& n = pass[i + 1];
      EXPECT_EQ((Row{e.code, d.word4, d.kind, d.word12, e.channel, e.time, d.millisecond}),
                (Row{RECORDER_NOTIFY_PROGRESS, 4, 0, 0, n.channel, n.time, n.d.millisecond}));
      EXPECT_EQ((shown.size() + 1) % 4, 0u);
      continue;
    }
    ASSERT_TRUE(sent.count(e.serial)) << "unknown frame " << e.serial;
    const Sent& f = *sent[e.serial];
    SCOPED_TRACE(testing::Message() << "frame " << e.serial);
    const int64_t size = int64_t(f.payload.size());
    const Row head{e.channel, d.channel, d.word4,     d.word12,  e.time,
                   d.type,    d.kind,    d.dataStart, d.dataEnd, d.statSize};
    EXPECT_EQ(e.payload, f.payload);
    if (IsAudio(e)) {
      gotAudio.push_back(e.serial);
      EXPECT_EQ(head, (Row{f.channel, f.channel, 4, 2, f.time, f.type, 1, 0, size, size + 54}));
      continue;
    }
    gotVideo[e.channel].push_back(e.serial);
    shown.push_back(&e);
    const int64_t lead = f.key ? 0 : 100;
    EXPECT_EQ(head, (Row{f.channel, f.channel, 4, 2, f.time, f.type, 0, 4, size + 4,
                         size + 4 + lead + 102}));
    EXPECT_EQ((Row{d.keyFlag, d.tag, e.videoTag, d.subTypeWord, d.triggerA, d.triggerB,
                   d.leadLength, d.decodeOnly}),
              (Row{f.key, f.tag, f.tag, 0x34, f.triggerA, f.triggerB, lead, 0}));
    EXPECT_EQ(e.lead, std::vector<uint8_t>(lead, 0));
  }
  EXPECT_EQ(gotVideo, wantVideo);
  EXPECT_EQ(gotAudio, wantAudio);
  EXPECT_EQ(notifications, shown.size() / 4);
  // The k-th of a recorded second's n frames carries k * 1000 / n milliseconds (the last
  // second has no following one to close its group and runs on past 1000).
  std::map<int32_t, std::vector<const HostEvent*>> bySecond;
  for (const HostEvent* e : shown) bySecond[e->time].push_back(e);
  for (int32_t s = t0; s < t0 + kSeconds - 1; ++s) {
    ASSERT_EQ(bySecond[s].size(), kChannels * kFps);
    for (size_t k = 0; k < bySecond[s].size(); ++k) {
      EXPECT_EQ(bySecond[s][k]->d.millisecond, k * 1000 / (kChannels * kFps)) << s;
    }
  }
  // At the recorded pace: the lone frame at once, the last 5.99 recorded seconds later.
  EXPECT_EQ(shown.front()->serial, lone);
  EXPECT_NEAR(shown.back()->at - shown.front()->at, kSeconds + 0.99, 0.5);
}

// Key frames far above the old 512,000-byte limits, up to what the recorder's video ring
// takes, play back byte for byte; so do the small frames around them.
TEST_F(RoundTripTest, LargeKeyFramesComeBackByteIdentical) {
  Recording rec(dir_.path(), t0);
  const std::vector<size_t> sizes = {1000000, 100, 2500000, 100, 520000, 100};
  for (size_t i = 0; i < sizes.size(); ++i) {
    rec.Video(0, t0 + int32_t(i), 1, sizes[i] > 100, sizes[i]);
    rec.Settle();
  }
  rec.Finish();
  StartPlay(1, {1}, t0);
  ASSERT_TRUE(WaitFor(IsShown, sizes.size()));
  _RECORDER_FILESEARCH_STOP(search_);
  const std::vector<HostEvent> shown = log_.Shown();
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(shown[i].serial, rec.video[i].serial);
    EXPECT_TRUE(shown[i].payload == rec.video[i].payload) << "frame " << i;
  }
}

}  // namespace
}  // namespace playtest
