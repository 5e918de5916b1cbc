// Shared helpers of the playback tests: a recording made through the recorder's exports on
// the test clock, and a fixture that plays it back through the file-search exports as a host
// that logs every callback.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "playback/file_search.h"
#include "support/recording_host.h"

namespace playtest {

using testsupport::LocalSeconds;
using testsupport::WaitUntil;

// A frame as the host handed it in. Video frames are numbered 1, 2, ... (rec.video[n - 1]),
// audio frames from kAudioSerial; the number starts the payload.
struct Sent {
  uint32_t serial = 0, channel = 0;
  int64_t time = 0;
  uint32_t type = 0, key = 0, tag = 0, triggerA = 0, triggerB = 0;
  std::vector<uint8_t> payload;
};
constexpr uint32_t kAudioSerial = 0x40000000;

// A rotation set of three files, every channel on, recorded in UTC; each frame gets the wall
// time the test gives it and is kept as it was sent.
class Recording : public testsupport::RecordingHost {
 public:
  // `size` bytes of payload (by default 40 to 339), after 3 + ch bytes of the host's buffer.
  uint32_t Video(uint32_t ch, int64_t time, uint32_t type, bool key, size_t size = 0,
                 uint32_t triggerA = 0, uint32_t triggerB = 0) {
    const auto serial = uint32_t(video.size() + 1);
    video.push_back({serial, ch, time, type, key ? 1u : 0u, 0x7A000000u | serial, triggerA,
                     triggerB, Payload(serial, size)});
    std::vector<uint8_t> buffer(3 + ch, 0xEE);
    buffer.insert(buffer.end(), video.back().payload.begin(), video.back().payload.end());
    FrameDescriptor d = testsupport::VideoFrame(buffer, 3 + ch, type, key, triggerA, triggerB);
    d.tag = video.back().tag;
    SetTime(time);
    EXPECT_EQ(_RECORDER_WRITEVIDEO(handle, ch, &d), 1);
    return serial;
  }
  void Audio(uint32_t ch, int64_t time, uint32_t type) {
    const auto serial = uint32_t(kAudioSerial + audio.size());
    audio.push_back({serial, ch, time, type, 0, 0, 0, 0, Payload(serial, 0)});
    FrameDescriptor d = testsupport::AudioFrame(audio.back().payload, type);
    SetTime(time);
    EXPECT_EQ(_RECORDER_WRITEAUDIO(handle, ch, &d), 1);
  }
  // `seconds` seconds from t0 of `fps` type-1 frames per second, the first a key frame, on
  // channels 0..channels-1. With audio, channel 0 records an audio frame every fifth video
  // frame.
  void Stream(int64_t t0, int seconds, int fps, uint32_t channels, bool withAudio = false) {
    for (int s = 0; s < seconds; ++s) {
      for (int f = 0; f < fps; ++f) {
        for (uint32_t ch = 0; ch < channels; ++ch) Video(ch, t0 + s, 1, f == 0);
        if (f == 0) Settle();  // the second's first frames lie in the file before its audio
        if (withAudio && f % 5 == 0) Audio(0, t0 + s, 0);
      }
    }
  }
  void Settle() { ASSERT_TRUE(Drain()); }
  // Everything taken in is on disk and the recorder is gone.
  void Finish() {
    if (handle == nullptr) return;
    Settle();
    _RECORDER_STOP(handle);
    End();
  }

  std::vector<Sent> video, audio;

 private:
  static std::vector<uint8_t> Payload(uint32_t serial, size_t size) {
    std::vector<uint8_t> bytes = testsupport::Pattern(size ? size : 40 + serial * 37 % 300, serial);
    std::memcpy(bytes.data(), &serial, 4);
    return bytes;
  }
};

// One callback as the host saw it.
struct HostEvent {
  enum Kind { kVideo, kAudio, kNotify } kind = kVideo;
  int32_t code = 0;
  uint32_t channel = 0, serial = 0, videoTag = 0;
  FrameDescriptor d{};
  int64_t time = 0;  // the descriptor's local fields as an instant
  std::vector<uint8_t> payload{}, lead{};
  double at = 0;  // PerfSeconds when it arrived
};

inline bool IsShown(const HostEvent& e) { return e.kind == HostEvent::kVideo && !e.d.decodeOnly; }
inline bool IsAudio(const HostEvent& e) { return e.kind == HostEvent::kAudio; }
// `is` on channel `ch`.
inline auto On(uint32_t ch, bool (*is)(const HostEvent&) = IsShown) {
  return [ch, is](const HostEvent& e) { return e.channel == ch && is(e); };
}

// The events of the first pass over the recording, up to where play wraps around at the end
// of the recording: video and audio each up to a frame that arrives a second time or a
// displayed frame whose time runs against the direction of play (the two are paced apart, so
// one may wrap while the other still plays its last second).
inline std::vector<HostEvent> FirstPass(const std::vector<HostEvent>& events,
                                        bool backward = false) {
  std::vector<HostEvent> pass;
  std::set<std::pair<uint32_t, uint32_t>> seen;
  int64_t last[2] = {backward ? INT64_MAX : INT64_MIN, backward ? INT64_MAX : INT64_MIN};
  bool ended[2] = {false, false};
  for (const HostEvent& e : events) {
    const int kind = IsAudio(e) ? 1 : 0;
    if (ended[kind]) continue;
    if (e.kind != HostEvent::kNotify) {
      // A decode-only key frame may be older than the frames it is handed over before.
      int64_t& time = last[kind];
      if (!seen.insert({e.serial, e.d.decodeOnly}).second ||
          (!e.d.decodeOnly && (backward ? e.time > time : e.time < time))) {
        ended[kind] = true;
        // A progress notification belongs to the frame after it.
        if (kind == 0 && !pass.empty() && pass.back().kind == HostEvent::kNotify) pass.pop_back();
        continue;
      }
      time = e.d.decodeOnly ? time : e.time;
    }
    pass.push_back(e);
  }
  return pass;
}

// A file search on a recording, driven through the exports, in UTC, by a host that logs
// every callback.
class PlaybackTest : public ::testing::Test {
 protected:
  void TearDown() override { End(); }
  // The fixture's recording, started at `start`.
  Recording& Record(int64_t start) {
    rec_.SetTime(start);
    rec_.AddFiles(3);
    EXPECT_EQ(_RECORDER_START(rec_.handle), 1);
    return rec_;
  }
  // A search on the recording's index files `names` (all of them by default), after the
  // recording is finished, in place of the fixture's search before.
  FILESEARCH_HANDLE Open(uint32_t channels, std::vector<std::string> names = {}, int32_t flag = 1) {
    End();
    rec_.Finish();
    if (names.empty()) names = {"file0.FIH", "file1.FIH", "file2.FIH"};
    search_ =
        _RECORDER_FILESEARCH_INIT(channels, reinterpret_cast<uintptr_t>(this), &OnFrame, &OnNotify);
    for (const std::string& name : names)
      _RECORDER_FILESEARCH_SETPATH(search_, dir_.path().c_str(), name.c_str(), flag);
    return search_;
  }
  // Opens a search on the recording (its index files `names`), starts it at `rate`, shows
  // `words` and plays from t.
  void StartPlay(uint32_t channels, std::vector<uint32_t> words, int64_t t, float rate = 1.0f,
                 std::vector<std::string> names = {}) {
    Open(channels, std::move(names));
    ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, rate), 1);
    ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
    Display(std::move(words));
    PlayFrom(t);
  }
  void End() { _RECORDER_FILESEARCH_END(std::exchange(search_, nullptr)); }
  void Display(std::vector<uint32_t> words) {
    _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search_, words.data(), int32_t(words.size()));
  }
  void PlayFrom(int64_t t) {
    const platform::LocalFields f = platform::CTime(static_cast<uint32_t>(t)).Local();
    ASSERT_EQ(
        _RECORDER_FILESEARCH_PLAYTIME(search_, f.year, f.month, f.day, f.hour, f.minute, f.second),
        1);
  }
  std::vector<HostEvent> Events(size_t from = 0) {
    platform::MutexLock hold(&mu_);
    return std::vector<HostEvent>(events_.begin() + std::min(from, events_.size()), events_.end());
  }
  std::vector<HostEvent> Events(const std::function<bool(const HostEvent&)>& match,
                                size_t from = 0) {
    std::vector<HostEvent> events = Events(from);
    std::erase_if(events, [&](auto& e) { return !match(e); });
    return events;
  }
  bool WaitFor(const std::function<bool(const HostEvent&)>& match, size_t n, size_t from = 0) {
    return WaitUntil([&] { return Events(match, from).size() >= n; }, 30000);
  }
  // Waits until play has wrapped around (an event past the first pass) and stops.
  bool WaitForWrap(size_t from = 0, bool backward = false) {
    const bool wrapped = WaitUntil(
        [&] {
          const std::vector<HostEvent> events = Events(from);
          return FirstPass(events, backward).size() < events.size();
        },
        30000);
    _RECORDER_FILESEARCH_STOP(search_);
    return wrapped;
  }
  CFileSearch* Object() { return CFileSearch::FromHandle(search_); }

  Recording rec_;
  const testsupport::ScratchDir& dir_ = rec_.dir;
  FILESEARCH_HANDLE search_ = nullptr;
  // Called after logging, on the pacing thread (set before playback starts).
  std::function<void()> hook_;
  const int64_t t0 = LocalSeconds(2024, 3, 10, 10, 0, 0);

 private:
  static void OnFrame(uintptr_t context, uint32_t channel, const FrameDescriptor* d,
                      int32_t reserved) {
    const bool audio = d->kind == 1;
    HostEvent e{audio ? HostEvent::kAudio : HostEvent::kVideo, 0, channel};
    // Only the form's own bytes are copied.
    std::memcpy(&e.d, d, audio ? offsetof(FrameDescriptor, audioData) + sizeof(void*) : sizeof(*d));
    const uint8_t* data = audio ? d->audioData : d->videoData;
    e.payload.assign(data + (audio ? 0 : d->dataStart), data + d->dataEnd);
    if (!audio) std::memcpy(&e.videoTag, data, 4);
    if (!audio && d->leadBlock) e.lead.assign(d->leadBlock, d->leadBlock + d->leadLength);
    if (e.payload.size() >= 4) std::memcpy(&e.serial, e.payload.data(), 4);
    EXPECT_EQ(reserved, 0);
    reinterpret_cast<PlaybackTest*>(context)->Add(std::move(e));
  }
  static void OnNotify(FILESEARCH_HANDLE search, uintptr_t context, int32_t code, uint32_t channel,
                       const FrameDescriptor* progress) {
    HostEvent e{HostEvent::kNotify, code, channel};
    std::memcpy(&e.d, progress, offsetof(FrameDescriptor, type));
    EXPECT_NE(search, nullptr);
    reinterpret_cast<PlaybackTest*>(context)->Add(std::move(e));
  }
  void Add(HostEvent e) {
    e.at = platform::PerfSeconds();
    e.time = LocalSeconds(e.d.year, e.d.month, e.d.day, e.d.hour, e.d.minute, e.d.second);
    {
      platform::MutexLock hold(&mu_);
      events_.push_back(std::move(e));
    }
    if (hook_) hook_();
  }
  platform::Mutex mu_;
  std::vector<HostEvent> events_;
};

// A playback fixture whose pacing clock runs `Speed` times faster than the wall clock.
template <int Speed>
class FastClockPlaybackTest : public PlaybackTest {
 protected:
  void SetUp() override { platform::SetPerfSecondsForTest(&Now); }
  void TearDown() override { End(), platform::SetPerfSecondsForTest(nullptr); }
  static double Now() {
    static const auto start = std::chrono::steady_clock::now();
    return 1000.0 +
           Speed * std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
};

}  // namespace playtest
