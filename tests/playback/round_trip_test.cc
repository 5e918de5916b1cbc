// Five seconds of four video channels and two audio channels recorded through the exports
// and played back at rate 1.0: every frame must reach the host once, as it was written, in
// recorded order, at the recorded pace, with the audio of the current channel only and a
// progress notification on every fourth displayed frame.
#include <gtest/gtest.h>

#include <map>

#include "playback_test_util.h"

namespace playtest {
namespace {

class RoundTripTest : public PlaybackTest {};

TEST_F(RoundTripTest, FourChannelsWithAudioComeBackAsRecordedAtTheirPace) {
  constexpr int kSeconds = 5;
  constexpr int kFps = 25;
  constexpr uint32_t kChannels = 4;
  const int32_t t0 = Local(2024, 3, 10, 10, 0, 0);

  Recording rec(dir_.path());
  ASSERT_TRUE(rec.Begin(t0 - 1));
  // A lone record in the second before: the seek to that second shows it first.
  const uint32_t lone = rec.Video(0, t0 - 1, 1, true).serial;
  rec.Settle();
  for (int s = 0; s < kSeconds; ++s) {
    for (int f = 0; f < kFps; ++f) {
      for (uint32_t ch = 0; ch < kChannels; ++ch) {
        const uint32_t type = f == 0 ? 1 : 1 + f % 3;  // first- and second-class video
        const uint32_t triggerA = (ch == 1 || ch == 3) ? 1 : 0;
        const uint32_t triggerB = (ch == 2 || ch == 3) ? 1 : 0;
        rec.Video(ch, t0 + s, type, f == 0, triggerA, triggerB);
      }
      // The second's key frames lie in the file before its audio.
      if (f == 0) rec.Settle();
      if (f % 5 == 0) {
        rec.Audio(0, t0 + s, f % 10 == 0 ? 0 : 17);
        rec.Audio(1, t0 + s, 17);
      }
    }
  }
  rec.Finish();

  std::map<uint32_t, const SentFrame*> sent;
  std::map<uint32_t, std::vector<uint32_t>> expectedVideo;  // serials per channel
  for (const SentFrame& f : rec.video) {
    sent[f.serial] = &f;
    expectedVideo[f.channel].push_back(f.serial);
  }
  std::vector<uint32_t> expectedAudio;
  for (const SentFrame& f : rec.audio) {
    sent[f.serial] = &f;
    if (f.channel == 0) expectedAudio.push_back(f.serial);
  }

  Open(kChannels, rec);
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search_, 0);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Display({1, 1, 1, 1});
  PlayFrom(t0 - 1);

  const uint32_t lastVideo = rec.video.back().serial;
  const uint32_t lastAudio = expectedAudio.back();
  ASSERT_TRUE(WaitUntil(
      [&] {
        return log_.Count([&](const HostEvent& e) {
          return e.kind != HostEvent::kNotify && (e.serial == lastVideo || e.serial == lastAudio);
        }) >= 2;
      },
      30000));
  _RECORDER_FILESEARCH_STOP(search_);
  const std::vector<HostEvent> pass = FirstPass(log_.Events());

  std::map<uint32_t, std::vector<uint32_t>> gotVideo;
  std::vector<uint32_t> gotAudio;
  std::vector<const HostEvent*> shown;
  // The descriptor fields the host reads, compared as one row so a failure shows them all.
  using Row = std::vector<int64_t>;
  for (const HostEvent& e : pass) {
    if (e.kind == HostEvent::kNotify) continue;
    ASSERT_TRUE(sent.count(e.serial)) << "unknown frame " << e.serial;
    const SentFrame& f = *sent[e.serial];
    SCOPED_TRACE(testing::Message() << "frame " << e.serial);
    const FrameDescriptor& d = e.d;
    const int64_t size = static_cast<int64_t>(f.payload.size());
    const Row head{e.channel, d.channel, d.word4,     d.word12,  e.time,
                   d.type,    d.kind,    d.dataStart, d.dataEnd, d.statSize};
    EXPECT_EQ(e.payload, f.payload);
    if (e.kind == HostEvent::kAudio) {
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
  EXPECT_EQ(gotVideo, expectedVideo);
  EXPECT_EQ(gotAudio, expectedAudio);

  // Within a recorded second the k-th of its n frames carries k * 1000 / n milliseconds.
  // The last second has no following second to close its group: it is paced on the grid of
  // the one before, so its values run on past 1000.
  std::map<int32_t, std::vector<const HostEvent*>> bySecond;
  for (const HostEvent* e : shown) bySecond[e->time].push_back(e);
  for (const auto& [second, frames] : bySecond) {
    if (second == t0 - 1 || second == t0 + kSeconds - 1) continue;
    EXPECT_EQ(frames.size(), kChannels * kFps);
    for (size_t k = 0; k < frames.size(); ++k) {
      EXPECT_EQ(frames[k]->d.millisecond, k * 1000 / frames.size()) << "second " << second;
    }
  }

  // One notification per four displayed frames, just before the fourth, for that frame.
  size_t shownSoFar = 0;
  size_t notifications = 0;
  for (size_t i = 0; i < pass.size(); ++i) {
    if (IsShown(pass[i])) ++shownSoFar;
    if (pass[i].kind != HostEvent::kNotify) continue;
    ++notifications;
    const HostEvent& n = pass[i];
    EXPECT_EQ((Row{n.code, n.d.word4, n.d.kind, n.d.word12}),
              (Row{RECORDER_NOTIFY_PROGRESS, 4, 0, 0}));
    ASSERT_LT(i + 1, pass.size());
    const HostEvent& next = pass[i + 1];
    ASSERT_TRUE(IsShown(next));
    EXPECT_EQ((Row{next.channel, next.time, next.d.millisecond}),
              (Row{n.channel, n.time, n.d.millisecond}));
    EXPECT_EQ((shownSoFar + 1) % 4, 0u);
  }
  EXPECT_EQ(notifications, shown.size() / 4);

  // Paced at the recorded rate: the lone frame is due at once, the last frame 5.99 recorded
  // seconds later.
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front()->serial, lone);
  const double elapsed = shown.back()->at - shown.front()->at;
  EXPECT_NEAR(elapsed, kSeconds + 0.99, 0.5);
}

// Key frames far above the old 512,000-byte limits, up to what the recorder's video ring
// takes, play back byte for byte; so do the small frames around them.
TEST_F(RoundTripTest, LargeKeyFramesComeBackByteIdentical) {
  const int32_t t0 = Local(2024, 3, 10, 10, 0, 0);
  Recording rec(dir_.path());
  ASSERT_TRUE(rec.Begin(t0));
  const std::vector<size_t> sizes = {1000000, 100, 2500000, 100, 520000, 100};
  for (size_t i = 0; i < sizes.size(); ++i) {
    rec.Video(0, t0 + static_cast<int32_t>(i), 1, sizes[i] > 100, 0, 0, sizes[i]);
    rec.Settle();
  }
  rec.Finish();

  StartPlay(1, rec, {1}, t0);
  ASSERT_TRUE(WaitForCount(IsShown, sizes.size()));
  _RECORDER_FILESEARCH_STOP(search_);
  const std::vector<HostEvent> shown = log_.ShownSince();
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(shown[i].serial, rec.video[i].serial);
    EXPECT_TRUE(shown[i].payload == rec.video[i].payload) << "frame " << i;
  }
}

}  // namespace
}  // namespace playtest
