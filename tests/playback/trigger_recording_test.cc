// A channel that records on trigger A beside one that records always, with 5 s of pre- and
// 10 s of post-record: the files hold the event from the key frame at or before 5 s before
// the trigger through 10 s after its last frame, with the channel's audio and the event's
// reason throughout (a trigger that drops out for three frames leaves no gap); the day table
// marks the event from the minute its first kept frame was recorded; playback finds the
// frames that were written late at their own times. The pacing clock runs eight times faster
// than the wall clock.
#include <algorithm>
#include <chrono>
#include <tuple>

#include "catalog/catalog_formats.h"
#include "playback_test_util.h"

namespace playtest {
namespace {

using namespace testsupport;

constexpr int kFps = 25, kSeconds = 40, kTriggerAt = 20, kFirstKept = 14, kLastPost = 31;

class TriggerRecordingTest : public FastClockPlaybackTest<8> {
 protected:
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
  Open(2);                                      // finishes the recording
  using Row = std::tuple<int, bool, int, int>;  // second, audio, key frame, reason
  std::vector<Row> got, want;
  for (int n = 0; n < 3; ++n) {
    if (FileSize(rec_.Index(n)) == 0) continue;
    const std::vector<StoredRecord> records = ReadIndexedRecords(rec_.Data(n));
    ExpectSummaryEq(ReadSummary(rec_.Index(n)), ReplaySummary(records));  // as verify checks
    for (const StoredRecord& r : records) {
      const storage::FrameHeader& h = r.header;
      if (h.channel == 0) got.emplace_back(h.time - base_, h.type == 17, h.keyFrame, h.reason);
    }
  }
  // Video in its order with the event's reason throughout, audio with its own.
  for (int s = kFirstKept; s <= kLastPost; ++s)
    for (int f = 0; f < kFps; ++f) want.emplace_back(s, false, f == 0 && s % 2 == 0, 3);
  for (int s = kFirstKept; s <= kLastPost; ++s) want.insert(want.end(), kFps / 5, {s, true, 0, 1});
  std::stable_partition(got.begin(), got.end(), [](const Row& r) { return !std::get<1>(r); });
  EXPECT_EQ(got, want);

  // Trigger A of channel 0 from 10:00 (its first kept frame, written at 10:01:03) to 10:01.
  std::vector<uint32_t> masks(5 * kDayTableSlots), dst(kDayTableRows);
  int32_t kind = -1, hours = 0;
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);  // loads the index files
  uint32_t* m = masks.data();
  _RECORDER_FILESEARCH_GetDayTable(search_, base_, m, m + kDayTableSlots, m + 2 * kDayTableSlots,
                                   m + 3 * kDayTableSlots, m + 4 * kDayTableSlots, dst.data(),
                                   &kind, &hours);
  std::vector<int> marked;  // trigger A and audio of channel 0
  for (int slot = 0; slot < kDayTableSlots; ++slot)
    if (m[2 * kDayTableSlots + slot] & m[4 * kDayTableSlots + slot] & 1u) marked.push_back(slot);
  EXPECT_EQ(marked, (std::vector<int>{600, 601}));
}

TEST_F(TriggerRecordingTest, ForwardPlayShowsKeptFramesInTimeOrderBesideTheAlwaysChannel) {
  RecordScene();
  StartPlay(2, {1, 1}, base_ + 10);
  const uint32_t last = SentSerials(1, 0).back();
  ASSERT_TRUE(WaitFor([&](const HostEvent& e) { return e.serial == last; }, 1));
  _RECORDER_FILESEARCH_STOP(search_);
  std::vector<uint32_t> got[2];
  int64_t latest = 0;
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
