// A channel that records on trigger A beside one that records always, with 5 s of pre- and
// 10 s of post-record: the files hold the event from the key frame at or before 5 s before
// the trigger through 10 s after its last frame, with the channel's audio and the event's
// reason throughout (a trigger that drops out for three frames leaves no gap); the day table
// marks the event from the minute its first kept frame was recorded; playback finds the
// frames that were written late at their own times. The pacing clock runs eight times faster
// than the wall clock.
#include <chrono>

#include "catalog/catalog_formats.h"
#include "playback_test_util.h"

namespace playtest {
namespace {

using namespace testsupport;

constexpr int kFps = 25, kSeconds = 40, kTriggerAt = 20, kFirstKept = 14, kLastPost = 31;

class TriggerRecordingTest : public PlaybackTest {
 protected:
  void SetUp() override { platform::SetPerfSecondsForTest(&Now); }
  void TearDown() override { End(), platform::SetPerfSecondsForTest(nullptr); }
  static double Now() {
    static const auto start = std::chrono::steady_clock::now();
    return 1000.0 +
           8.0 * std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  // Channel 1 records always with a key frame each second; channel 0 records on trigger A,
  // with a key frame every other second and audio on every fifth frame. Trigger A is set for
  // two seconds from kTriggerAt but for three frames in the middle. The 5 s before the
  // trigger lie in the minute before it.
  void RecordScene() {
    Recording& rec = Record(base_);
    _RECORDER_SETSTATUS(rec.handle, 0, 2);
    _RECORDER_SETPREPOSTTIME(rec.handle, 5, 10);
    for (int s = 0; s < kSeconds; ++s) {
      const bool written = s >= kTriggerAt && s <= kLastPost;
      for (int f = 0; f < kFps; ++f) {
        const bool trigger = (s == kTriggerAt || s == kTriggerAt + 1) && !(s == 21 && f / 3 == 4);
        EXPECT_EQ(Send(0, s, f == 0 && s % 2 == 0, trigger), written ? 1 : 0) << s << "." << f;
        EXPECT_EQ(Send(1, s, f == 0, false), 1);
        if (f % 5 == 0) {
          EXPECT_EQ(SendAudio(s), written ? 1 : 0) << s << "." << f;
        }
      }
    }
  }
  // A video frame of channel `ch` at base + s.
  int32_t Send(uint32_t ch, int s, bool key, bool trigger) {
    const auto serial = uint32_t(rec_.video.size() + 1);
    Sent sent{serial,  ch,  base_ + s,
              1,       key, 0x7A000000u | serial,
              trigger, 0,   Pattern(60 + serial % 50, serial)};
    std::memcpy(sent.payload.data(), &serial, 4);
    FrameDescriptor d = VideoFrame(sent.payload, 0, 1, key, trigger);
    d.tag = sent.tag;
    rec_.SetTime(base_ + s);
    const int32_t result = _RECORDER_WRITEVIDEO(rec_.handle, ch, &d);
    rec_.video.push_back(std::move(sent));
    return result;
  }
  int32_t SendAudio(int s) {
    const std::vector<uint8_t> payload = Pattern(80, uint32_t(s));
    FrameDescriptor d = AudioFrame(payload, 17);
    rec_.SetTime(base_ + s);
    return _RECORDER_WRITEAUDIO(rec_.handle, 0, &d);
  }
  // Serials of the frames of `ch` recorded from base + from on.
  std::vector<uint32_t> SentSerials(uint32_t ch, int from) const {
    std::vector<uint32_t> serials;
    for (const Sent& f : rec_.video) {
      const bool recorded =
          ch == 1 || (f.time >= base_ + kFirstKept && f.time <= base_ + kLastPost);
      if (f.channel == ch && f.time >= base_ + from && recorded) serials.push_back(f.serial);
    }
    return serials;
  }

  const int32_t base_ = LocalSeconds(2024, 3, 10, 10, 0, 43);  // + 14 s: 10:00:57
};

TEST_F(TriggerRecordingTest, FilesHoldTheEventFromTheKeptKeyFrameThroughThePostTime) {
  RecordScene();
  Open(2);  // finishes the recording
  std::vector<int32_t> video, audio;
  std::vector<int> reasons;
  bool firstIsKey = false;
  for (int n = 0; n < 3; ++n) {
    if (FileSize(rec_.Index(n)) == 0) continue;
    const std::vector<StoredRecord> records = ReadIndexedRecords(rec_.Data(n));
    ExpectSummaryEq(ReadSummary(rec_.Index(n)), ReplaySummary(records));
    for (const StoredRecord& r : records) {
      if (r.header.channel != 0) continue;
      const bool isAudio = storage::IsStoredAudioType(r.header.type);
      if (!isAudio && video.empty()) firstIsKey = r.header.keyFrame == 1;
      (isAudio ? audio : video).push_back(r.header.time - base_);
      reasons.push_back(r.header.reason);
    }
  }
  std::vector<int32_t> wantVideo, wantAudio;
  for (int s = kFirstKept; s <= kLastPost; ++s) {
    wantVideo.insert(wantVideo.end(), kFps, s);
    wantAudio.insert(wantAudio.end(), kFps / 5, s);
  }
  EXPECT_EQ(video, wantVideo);
  EXPECT_EQ(audio, wantAudio);
  EXPECT_TRUE(firstIsKey);
  // Video carries the event's reason throughout, audio its own.
  EXPECT_EQ(std::count(reasons.begin(), reasons.end(), 3), std::ssize(wantVideo));
  EXPECT_EQ(std::count(reasons.begin(), reasons.end(), 1), std::ssize(wantAudio));

  // Trigger A of channel 0 from 10:00 (its first kept frame, written at 10:01:03) to 10:01.
  std::vector<uint32_t> any(kDayTableSlots), r1(kDayTableSlots), r2(kDayTableSlots),
      r4(kDayTableSlots), sound(kDayTableSlots), dst(kDayTableRows);
  int32_t kind = -1, hours = 0;
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);  // loads the index files
  _RECORDER_FILESEARCH_GetDayTable(search_, base_, any.data(), r1.data(), r2.data(), r4.data(),
                                   sound.data(), dst.data(), &kind, &hours);
  std::vector<int> marked;
  for (int slot = 0; slot < kDayTableSlots; ++slot)
    if (r2[slot] & 1u) marked.push_back(slot);
  EXPECT_EQ(marked, (std::vector<int>{600, 601}));
  EXPECT_EQ(sound[600] & 1u, 1u);
}

TEST_F(TriggerRecordingTest, ForwardPlayShowsKeptFramesInTimeOrderBesideTheAlwaysChannel) {
  RecordScene();
  StartPlay(2, {1, 1}, base_ + 10);
  const uint32_t last = SentSerials(1, 0).back();
  ASSERT_TRUE(WaitFor([&](const HostEvent& e) { return e.serial == last; }, 1));
  _RECORDER_FILESEARCH_STOP(search_);
  std::vector<uint32_t> got[2];
  int32_t latest = 0;
  for (const HostEvent& e : FirstPass(Events())) {
    if (!IsShown(e)) continue;
    got[e.channel].push_back(e.serial);
    EXPECT_GE(e.time, latest) << "frame " << e.serial << " of channel " << e.channel;
    latest = std::max(latest, e.time);
  }
  EXPECT_EQ(got[0], SentSerials(0, 0));
  EXPECT_EQ(got[1], SentSerials(1, 10));
}

TEST_F(TriggerRecordingTest, SeekIntoKeptSecondsShowsThatSecondFirstAfterItsKeyFrame) {
  RecordScene();
  StartPlay(2, {1, 1}, base_ + 17);
  const std::vector<uint32_t> sent = SentSerials(0, 16);  // from the key frame at 16
  ASSERT_TRUE(WaitFor(On(0), 2));
  _RECORDER_FILESEARCH_STOP(search_);
  std::vector<std::pair<uint32_t, bool>> got, want;  // serial, decode-only
  for (const HostEvent& e : Events(On(0, [](const HostEvent& e) { return !IsAudio(e); }))) {
    got.push_back({e.serial, e.d.decodeOnly != 0});
    if (!e.d.decodeOnly) break;
  }
  for (int f = 0; f < kFps; ++f) want.push_back({sent[f], true});
  want.push_back({sent[kFps], false});
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace playtest
