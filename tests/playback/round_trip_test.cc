// Recorded through the exports and played back: every frame reaches the host once, as it
// was written, in recorded order and at the recorded pace, with the audio of the current
// channel only and a progress notification on every fourth displayed frame; frames of up
// to the largest a recorder takes come back byte for byte; PLAYTIME T shows T in both directions
// for several key-frame intervals, with the decode-only frames a decoder needs before it.
#include <map>

#include "playback_test_util.h"

namespace playtest {
namespace {

TEST_F(PlaybackTest, FourChannelsWithAudioComeBackAsRecordedAtTheirPace) {
  constexpr int kSeconds = 5, kFps = 25;
  Recording& rec = Record(t0 - 1);
  // A lone key frame of 7.5 MiB (a 12-megapixel camera's) in the second before: the seek to
  // that second shows it first.
  const uint32_t lone = rec.Video(0, t0 - 1, 1, true, 7680u << 10);
  rec.Settle();
  for (int s = 0; s < kSeconds; ++s) {
    for (int f = 0; f < kFps; ++f) {
      for (uint32_t ch = 0; ch < 4; ++ch) {
        // First- and second-class video; triggers A on channels 1 and 3, B on 2 and 3; key
        // frames of 4 MiB and 520,000 bytes between small frames, and a P-frame of the
        // largest payload a recorder takes (with its lead, the longest record written).
        size_t size = 0;
        if (ch == 0 && s == 1)
          size = f == 0 ? 4u << 20 : f == 1 ? RECORDER_MAX_VIDEO_FRAME_BYTES : 0;
        if (ch == 0 && s == 3 && f == 0) size = 520000;
        rec.Video(ch, t0 + s, f == 0 ? 1 : 1 + f % 3, f == 0, size, ch % 2, ch / 2);
      }
      if (f == 0) rec.Settle();
      if (f % 5 == 0) rec.Audio(0, t0 + s, f % 10 == 0 ? 0 : 17), rec.Audio(1, t0 + s, 17);
    }
  }
  std::map<uint32_t, std::vector<uint32_t>> want, got;  // serials per channel, audio as 99
  for (const Sent& f : rec.video) want[f.channel].push_back(f.serial);
  for (size_t i = 0; i < rec.audio.size(); i += 2) want[99].push_back(rec.audio[i].serial);
  StartPlay(4, {1, 1, 1, 1}, t0 - 1);  // channel 0 is the current channel from the start
  const uint32_t lastAudio = rec.audio[rec.audio.size() - 2].serial, last = rec.video.back().serial;
  ASSERT_TRUE(WaitFor([&](auto& e) { return e.serial == (IsAudio(e) ? lastAudio : last); }, 2));
  _RECORDER_FILESEARCH_STOP(search_);
  const std::vector<HostEvent> pass = FirstPass(Events());
  using Row = std::vector<int64_t>;
  std::vector<const HostEvent*> shown;
  for (size_t i = 0; i < pass.size(); ++i) {
    const HostEvent& e = pass[i];
    const FrameDescriptor& d = e.d;
    if (e.kind == HostEvent::kNotify) {
      // For the displayed frame that follows, just before it, on every fourth one.
      const HostEvent& n = pass.at(i + 1);
      EXPECT_EQ((Row{e.code, d.word4, d.kind, d.word12, e.channel, e.time, d.millisecond,
                     IsShown(n), int64_t(shown.size() + 1) % 4}),
                (Row{RECORDER_NOTIFY_PROGRESS, 4, 0, 0, n.channel, n.time, n.d.millisecond, 1, 0}));
      continue;
    }
    const bool audio = IsAudio(e);
    const Sent& f = audio ? rec.audio.at(e.serial - kAudioSerial) : rec.video.at(e.serial - 1);
    got[audio ? 99 : e.channel].push_back(e.serial);
    EXPECT_TRUE(e.payload == f.payload) << "frame " << e.serial;
    const int64_t size = int64_t(f.payload.size()), start = audio ? 0 : 4;
    const int64_t lead = audio || f.key ? 0 : 100, stat = audio ? size + 54 : size + lead + 106;
    EXPECT_EQ((Row{e.channel, d.channel, d.word4, d.word12, e.time, d.type, d.kind, d.dataStart,
                   d.dataEnd, d.statSize}),
              (Row{f.channel, f.channel, 4, 2, f.time, f.type, audio, start, start + size, stat}));
    if (audio) continue;
    shown.push_back(&e);
    EXPECT_EQ((Row{d.keyFlag, d.tag, e.videoTag, d.subTypeWord, d.triggerA, d.triggerB,
                   d.leadLength, d.decodeOnly}),
              (Row{f.key, f.tag, f.tag, 0x34, f.triggerA, f.triggerB, lead, 0}));
    EXPECT_EQ(e.lead, std::vector<uint8_t>(lead, 0));
  }
  // Every frame as it was sent, in order per channel; the audio of the current channel only.
  EXPECT_EQ(got, want);
  const auto notify = [](const HostEvent& e) { return e.kind == HostEvent::kNotify; };
  EXPECT_EQ(size_t(std::count_if(pass.begin(), pass.end(), notify)), shown.size() / 4);
  // At the recorded pace: the lone frame at once, the last 5.99 recorded seconds later.
  EXPECT_EQ(shown.front()->serial, lone);
  EXPECT_NEAR(shown.back()->at - shown.front()->at, kSeconds + 0.99, 0.5);
}

// Frames #0..#99 over five seconds, the last 40 s after the others, on two channels whose key
// frames fall at different places (video types 1 and 3, both played at every rate); for every
// key-frame interval, target second and rate, each channel's video up to where play wraps: forwards
// the frames from the key frame before T decode-only, then every frame from T on (at rate 2 every
// other one and the key frames shown, the rest decode-only; at 28 every second key frame);
// backwards every frame from T down, each run down to a key frame preceded by that key frame
// decode-only. The pacing clock runs eight times faster than the wall clock.
class PlayFromTargetTest : public FastClockPlaybackTest<8>,
                           public ::testing::WithParamInterface<int> {};

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
    for (uint32_t c = 0; c < 2; ++c) rec.Video(c, t0 + kSecond[n / kFps], 1 + 2 * c, isKey(c, n));
    if (n % kFps == 0) rec.Settle();
  }
  for (const int second : {0, 2, 4}) {
    for (const float rate : {1.0f, 2.0f, 28.0f, -1.0f}) {
      // From the last second no key frame lies ahead of the target: nothing to show at 28.
      if (rate == 28.0f && second == 4) continue;
      SCOPED_TRACE(testing::Message() << "second " << second << ", rate " << rate);
      const size_t from = Events().size();
      StartPlay(2, {1, 1}, t0 + kSecond[second], rate);
      ASSERT_TRUE(WaitForWrap(from, rate < 0));
      const std::vector<HostEvent> pass = FirstPass(Events(from), rate < 0);
      // Forwards, play wraps to the recording's first frame, thinned or not, at every rate.
      const auto video = [](const HostEvent& e) { return e.kind == HostEvent::kVideo; };
      const size_t passVideo = size_t(std::count_if(pass.begin(), pass.end(), video));
      EXPECT_TRUE(rate < 0 || Events(video, from).at(passVideo).serial == 1);
      // Decode-only frames get no progress notification.
      for (size_t i = 0; i + 1 < pass.size(); ++i)
        EXPECT_TRUE(pass[i].kind != HostEvent::kNotify || IsShown(pass[i + 1])) << i;
      for (uint32_t c = 0; c < 2; ++c) {
        std::vector<std::pair<int, bool>> got, want;  // frame number, decode-only
        for (const HostEvent& e : pass)
          if (e.kind == HostEvent::kVideo && e.channel == c)
            got.push_back({int(e.serial - 1) / 2, e.d.decodeOnly});
        // A decode-only key frame at the end belongs to the pass after the wrap.
        while (!got.empty() && got.back().second) got.pop_back();
        // Forwards the first frame at or after T; backwards the last at or before it.
        const int first = rate < 0 ? second * kFps + kFps - 1 : second * kFps;
        int key = first;
        while (!isKey(c, key)) --key;
        // Rate 2 thins to every other frame from T on and every key frame, rate 28 to every
        // second key frame.
        if (rate > 0) {
          for (int n = key; n < first; ++n) want.push_back({n, true});
          for (int n = first, keys = 0; n < kFrames; ++n) {
            const bool shown = rate == 28.0f ? isKey(c, n) && keys++ % 2 == 0
                                             : rate != 2.0f || (n - first) % 2 == 0 || isKey(c, n);
            // At rate 2 the frames left out still reach the decoder.
            if (shown || rate == 2.0f) want.push_back({n, !shown});
          }
        }
        for (int top = first; rate < 0 && top >= 0; top = key - 1) {
          for (key = top; !isKey(c, key);) --key;
          if (key < top) want.push_back({key, true});
          for (int n = top; n >= key; --n) want.push_back({n, false});
        }
        while (!want.empty() && want.back().second) want.pop_back();
        EXPECT_EQ(got, want) << "channel " << c;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(KeyIntervals, PlayFromTargetTest, ::testing::Values(1, 25, 50));

// Times are unsigned seconds: a recording after the last signed 32-bit second (2038-01-19
// 03:14:07 UTC), or one that runs across it, is listed, mapped by minute and played like any.
class LateDateTest : public PlaybackTest, public ::testing::WithParamInterface<int64_t> {};

TEST_P(LateDateTest, IsListedFillsItsDayAndPlaysBackWithItsTimes) {
  const int64_t start = GetParam();
  constexpr int kSeconds = 8;
  Record(start).Stream(start, kSeconds, 4, 2);
  Open(2);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);  // reads the catalogue
  const platform::LocalFields day = platform::CTime(static_cast<uint32_t>(start)).Local();
  uint32_t dates[4] = {};
  int32_t count = 4;
  _RECORDER_FILESEARCH_GetDateTable(search_, dates, &count);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(dates[0], LocalSeconds(day.year, day.month, day.day, 0, 0));

  std::vector<uint32_t> masks[5];
  for (auto& m : masks) m.assign(1500, 0);
  uint32_t dstHours[25];
  int32_t kind = -1, hours = 0;
  _RECORDER_FILESEARCH_GetDayTable(search_, static_cast<uint32_t>(start + 7), masks[0].data(),
                                   masks[1].data(), masks[2].data(), masks[3].data(),
                                   masks[4].data(), dstHours, &kind, &hours);
  std::vector<uint32_t> want(1500, 0);
  for (int64_t t = start; t < start + kSeconds; ++t) {
    const platform::LocalFields f = platform::CTime(static_cast<uint32_t>(t)).Local();
    want[size_t(f.hour * 60 + f.minute)] = 3;
  }
  EXPECT_EQ(masks[0], want);
  EXPECT_EQ(masks[1], want);
  EXPECT_EQ(hours, 24);

  const size_t from = Events().size();
  Display({1, 1});
  PlayFrom(start);
  ASSERT_TRUE(WaitForWrap(from));
  std::vector<std::pair<uint32_t, int64_t>> got, sent;
  for (const HostEvent& e : FirstPass(Events(from)))
    if (IsShown(e)) got.push_back({e.serial, e.time});
  for (const Sent& f : rec_.video) sent.push_back({f.serial, f.time});
  EXPECT_EQ(got, sent);
}

INSTANTIATE_TEST_SUITE_P(
    PastTheSignedRange, LateDateTest,
    // 2040-03-01 10:00:00 and 2038-01-19 03:14:03 UTC: the second runs across 03:14:07.
    ::testing::Values(int64_t{2214208800}, int64_t{2147483643}));
INSTANTIATE_TEST_SUITE_P(DeadClock, LateDateTest,
                         // A board whose real-time clock died boots at 2000-01-01 (00:00:05 here)
                         // or at 1970 (1970-01-02 01:00:00 UTC, clear of the epoch in every zone).
                         ::testing::Values(int64_t{946684805}, int64_t{90000}));

}  // namespace
}  // namespace playtest
