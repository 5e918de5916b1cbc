// Recorded through the exports and played back: every frame reaches the host once, as it
// was written, in recorded order and at the recorded pace, with the audio of the current
// channel only and a progress notification on every fourth displayed frame; key frames of
// megabytes come back byte for byte; PLAYTIME T shows T in both directions for several
// key-frame intervals, with the decode-only frames a decoder needs before it.
#include <cmath>
#include <map>

#include "playback_test_util.h"

namespace playtest {
namespace {

TEST_F(PlaybackTest, FourChannelsWithAudioComeBackAsRecordedAtTheirPace) {
  constexpr int kSeconds = 5, kFps = 25;
  constexpr uint32_t kChannels = 4;
  Recording& rec = Record(t0 - 1);
  // A lone key frame of 2.5 MB (far above the old 512,000-byte limits) in the second before:
  // the seek to that second shows it first.
  const uint32_t lone = rec.Video(0, t0 - 1, 1, true, 2500000);
  rec.Settle();
  for (int s = 0; s < kSeconds; ++s) {
    for (int f = 0; f < kFps; ++f) {
      for (uint32_t ch = 0; ch < kChannels; ++ch) {
        // First- and second-class video; triggers A on channels 1 and 3, B on 2 and 3; key
        // frames of 1 MB and 520,000 bytes between small frames.
        const size_t size = ch == 0 && f == 0 && s % 2 == 1 ? 1000000 - 480000 * (s / 2) : 0;
        rec.Video(ch, t0 + s, f == 0 ? 1 : 1 + f % 3, f == 0, size, ch % 2, ch / 2);
      }
      if (f == 0) rec.Settle();
      if (f % 5 == 0) rec.Audio(0, t0 + s, f % 10 == 0 ? 0 : 17), rec.Audio(1, t0 + s, 17);
    }
  }
  std::map<uint32_t, std::vector<uint32_t>> wantVideo, gotVideo;  // serials per channel
  std::vector<uint32_t> wantAudio, gotAudio;
  for (const Sent& f : rec.video) wantVideo[f.channel].push_back(f.serial);
  for (size_t i = 0; i < rec.audio.size(); i += 2) wantAudio.push_back(rec.audio[i].serial);

  Open(kChannels, dir_.path());
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search_, 0);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  Display({1, 1, 1, 1});
  PlayFrom(t0 - 1);
  const auto last = [&](const HostEvent& e) {
    return e.serial == (IsAudio(e) ? wantAudio.back() : rec.video.back().serial);
  };
  ASSERT_TRUE(WaitFor(last, 2));
  _RECORDER_FILESEARCH_STOP(search_);
  const std::vector<HostEvent> pass = FirstPass(Events());
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
    const Sent& f = IsAudio(e) ? rec.audio.at(e.serial - kAudioSerial) : rec.video.at(e.serial - 1);
    SCOPED_TRACE(testing::Message() << "frame " << e.serial);
    const int64_t size = int64_t(f.payload.size());
    const Row head{e.channel, d.channel, d.word4,     d.word12,  e.time,
                   d.type,    d.kind,    d.dataStart, d.dataEnd, d.statSize};
    EXPECT_TRUE(e.payload == f.payload);
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
  constexpr size_t n = kChannels * kFps;
  for (size_t i = 1; i + n < shown.size(); ++i) {
    EXPECT_EQ(shown[i]->d.millisecond, (i - 1) % n * 1000 / n) << i;
  }
  // At the recorded pace: the lone frame at once, the last 5.99 recorded seconds later.
  EXPECT_EQ(shown.front()->serial, lone);
  EXPECT_NEAR(shown.back()->at - shown.front()->at, kSeconds + 0.99, 0.5);
}

// Frames #0..#99 over five seconds, the last 40 s after the others, on two channels
// whose key frames fall at different places; for every key-frame interval, target second and rate,
// each channel's video up to where play wraps: forwards the frames from the key frame before T
// decode-only, then every frame from T on (at rate 2 every other one and the key frames, at 28
// every second key frame); backwards every frame from T down, each run down to a key frame preceded
// by that key frame decode-only. The pacing clock runs eight times faster than the wall clock.
class PlayFromTargetTest : public PlaybackTest, public ::testing::WithParamInterface<int> {
 protected:
  FastPacingClock clock_;
};

TEST_P(PlayFromTargetTest, FirstFrameIsTheTargetAndNothingIsSkipped) {
  constexpr int kFrames = 100, kFps = 20, kSecond[5] = {0, 1, 2, 3, 43};
  const int interval = GetParam();
  // Channel 1 has its key frames a fifth of an interval after channel 0's; both start with one.
  const auto isKey = [&](uint32_t c, int n) {
    const int phase = c == 0 ? 0 : interval / 5;
    return n == 0 || (n >= phase && (n - phase) % interval == 0);
  };
  Recording& rec = Record(t0);
  for (int n = 0; n < kFrames; ++n) {
    for (uint32_t c = 0; c < 2; ++c) rec.Video(c, t0 + kSecond[n / kFps], 1, isKey(c, n));
    if (n % kFps == 0) rec.Settle();
  }
  Open(2, dir_.path());
  Display({1, 1});
  for (const int second : {0, 2, 4}) {
    for (const float rate : {1.0f, 2.0f, 28.0f, 0.5f, -1.0f, -0.5f}) {
      // From the last second no key frame lies ahead of the target: nothing to show at 28.
      if (rate == 28.0f && second == 4) continue;
      SCOPED_TRACE(testing::Message()
                   << "interval " << interval << ", second " << second << ", rate " << rate);
      const bool backward = rate < 0;
      const size_t from = Events().size();
      ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, rate), 1);
      ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
      PlayFrom(t0 + kSecond[second]);
      ASSERT_TRUE(WaitForWrap(from, backward));
      const std::vector<HostEvent> pass = FirstPass(Events(from), backward);
      // The 40-second gap is cut to 2 s of wall time after a second at the pace (a margin of
      // 1.5 s of this clock is under 0.2 s of wall time).
      for (size_t i = 1; i < pass.size(); ++i) {
        EXPECT_LT(pass[i].at - pass[i - 1].at, 2.0 + 1.0 / std::min(std::fabs(rate), 1.0f) + 1.5);
      }
      // Decode-only frames do not count towards the progress notifications.
      int sinceNotify = -1;
      for (const HostEvent& e : pass) {
        EXPECT_TRUE(e.kind != HostEvent::kNotify || sinceNotify < 0 || sinceNotify == 4);
        sinceNotify =
            e.kind == HostEvent::kNotify ? 0 : sinceNotify + (sinceNotify >= 0 && IsShown(e));
      }
      for (uint32_t c = 0; c < 2; ++c) {
        SCOPED_TRACE(testing::Message() << "channel " << c);
        std::vector<std::pair<int, bool>> got, want;  // frame number, decode-only
        for (const HostEvent& e : pass) {
          if (IsVideo(e) && e.channel == c) got.push_back({int(e.serial - 1) / 2, e.d.decodeOnly});
        }
        // A decode-only key frame at the end belongs to the pass after the wrap.
        while (!got.empty() && got.back().second) got.pop_back();
        // Forwards the first frame at or after T; backwards the last at or before it.
        const int first = backward ? second * kFps + kFps - 1 : second * kFps;
        int key = first;
        while (!isKey(c, key)) --key;
        // Rate 2 thins to every other frame from T on and every key frame, rate 28 to every
        // second key frame.
        if (!backward) {
          for (int n = key; n < first; ++n) want.push_back({n, true});
          for (int n = first, keys = 0; n < kFrames; ++n) {
            const bool sent = rate == 28.0f ? isKey(c, n) && keys++ % 2 == 0
                                            : rate != 2.0f || (n - first) % 2 == 0 || isKey(c, n);
            if (sent) want.push_back({n, false});
          }
        }
        for (int top = first; backward && top >= 0; top = key - 1) {
          for (key = top; !isKey(c, key);) --key;
          if (key < top) want.push_back({key, true});
          for (int n = top; n >= key; --n) want.push_back({n, false});
        }
        EXPECT_EQ(got, want);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(KeyIntervals, PlayFromTargetTest, ::testing::Values(1, 25, 50));

}  // namespace
}  // namespace playtest
