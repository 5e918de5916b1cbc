// Shared helpers of the playback tests: recordings made through the recorder's exports on a
// controllable wall clock, a host that logs every callback of a file search, and a fixture
// that plays a recording back through the file-search exports.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "playback/file_search.h"
#include "recorder.h"
#include "recorder/recorder.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/wait_until.h"

namespace playtest {

using testsupport::WaitUntil;

inline int32_t Local(int year, int month, int day, int hour, int minute, int second) {
  return testsupport::LocalSeconds(year, month, day, hour, minute, second);
}

struct Sent {
  uint32_t serial = 0, channel = 0;  // the serial is the payload's first four bytes
  int32_t time = 0;
  uint32_t type = 0;
  bool key = false;
  uint32_t tag = 0, triggerA = 0, triggerB = 0;
  std::vector<uint8_t> payload;
};

// A rotation set of three files recorded through the exports; each frame gets the wall
// time the test gives it.
class Recording {
 public:
  Recording(const std::string& dir, int32_t start) : dir(dir), clock_(start) {
    handle_ = _RECORDER_INIT("playback-test", 0, nullptr);
    for (int i = 0; i < 3; ++i) {
      _RECORDER_ADDFILEPATH(handle_, (dir + "file" + std::to_string(i) + ".VDB").c_str());
    }
    for (uint32_t c = 0; c < 32; ++c) _RECORDER_SETRECORD(handle_, c, 1);
    EXPECT_EQ(_RECORDER_START(handle_), 1);
  }
  ~Recording() { Finish(); }

  uint32_t Video(uint32_t ch, int32_t time, uint32_t type, bool key, size_t size = 0,
                 uint32_t triggerA = 0, uint32_t triggerB = 0) {
    Sent s{next_, ch, time, type, key, 0x7A000000u | next_, triggerA, triggerB, Payload(size)};
    // The payload does not start the host's buffer.
    std::vector<uint8_t> buffer(3 + ch, 0xEE);
    buffer.insert(buffer.end(), s.payload.begin(), s.payload.end());
    FrameDescriptor d = testsupport::VideoFrame(buffer, 3 + ch, type, key, triggerA, triggerB);
    d.tag = s.tag;
    testsupport::g_testNow = time;
    EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, ch, &d), 1);
    video.push_back(std::move(s));
    return next_++;
  }
  uint32_t Audio(uint32_t ch, int32_t time, uint32_t type) {
    Sent s{next_, ch, time, type, false, 0, 0, 0, Payload(0)};
    FrameDescriptor d = testsupport::AudioFrame(s.payload, type);
    d.kind = 1;
    testsupport::g_testNow = time;
    EXPECT_EQ(_RECORDER_WRITEAUDIO(handle_, ch, &d), 1);
    audio.push_back(std::move(s));
    return next_++;
  }
  // `seconds` seconds from t0 of `fps` type-1 frames per second on channels 0..channels-1;
  // channel c has its key frame at frame keyAt[c] of each second (0 when not given). With
  // audio, channel 0 records an audio frame every fifth video frame.
  void Stream(int32_t t0, int seconds, int fps, uint32_t channels, bool withAudio = false,
              std::vector<int> keyAt = {}) {
    keyAt.resize(channels, 0);
    for (int s = 0; s < seconds; ++s) {
      for (int f = 0; f < fps; ++f) {
        for (uint32_t ch = 0; ch < channels; ++ch) Video(ch, t0 + s, 1, f == keyAt[ch]);
        if (f == 0) Settle();  // the second's first frames lie in the file before its audio
        if (withAudio && f % 5 == 0) Audio(0, t0 + s, 0);
      }
    }
  }
  // Waits until the writer threads took in everything written so far.
  void Settle() {
    CRecorder* r = CRecorder::FromHandle(handle_);
    ASSERT_TRUE(WaitUntil([&] { return r->WaitForRingsToDrain(0); }));
  }
  void Finish() {
    if (handle_ == nullptr) return;
    Settle();
    _RECORDER_STOP(handle_);
    _RECORDER_END(handle_);
    handle_ = nullptr;
  }
  size_t Position(uint32_t serial) const {
    size_t i = 0;
    while (i < video.size() && video[i].serial != serial) ++i;
    return i;
  }

  const std::string dir;
  std::vector<Sent> video, audio;

 private:
  // `size` bytes (by default 40 to 339) that start with the serial.
  std::vector<uint8_t> Payload(size_t size) const {
    std::vector<uint8_t> bytes = testsupport::Pattern(size ? size : 40 + next_ * 37 % 300, next_);
    std::memcpy(bytes.data(), &next_, 4);
    return bytes;
  }

  testsupport::ScopedTestClock clock_;
  RECORDER_HANDLE handle_ = nullptr;
  uint32_t next_ = 1;
};

// Runs the pacing clock `factor` times faster than real time while it lives.
class FastPacingClock {
 public:
  explicit FastPacingClock(double factor) {
    start_ = platform::PerfSeconds();
    real_ = Real();
    factor_ = factor;
    platform::SetPerfSecondsForTest(&Now);
  }
  ~FastPacingClock() { platform::SetPerfSecondsForTest(nullptr); }

 private:
  static double Real() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  static double Now() { return start_ + (Real() - real_) * factor_; }
  static inline double start_ = 0.0, real_ = 0.0, factor_ = 1.0;
};

// One callback as the host saw it.
struct HostEvent {
  enum Kind { kVideo, kAudio, kNotify } kind = kVideo;
  int32_t code = 0;
  uint32_t channel = 0, serial = 0, videoTag = 0;
  FrameDescriptor d{};  // only the form's own bytes are copied
  int32_t time = 0;     // the descriptor's local fields as an instant
  std::vector<uint8_t> payload, lead;
  double at = 0;  // PerfSeconds when it arrived
};

inline bool IsShown(const HostEvent& e) { return e.kind == HostEvent::kVideo && !e.d.decodeOnly; }
inline bool IsVideo(const HostEvent& e) { return e.kind == HostEvent::kVideo; }
inline bool IsAudio(const HostEvent& e) { return e.kind == HostEvent::kAudio; }

// The host side of a file search: logs every callback.
class HostLog {
 public:
  static void OnFrame(uintptr_t context, uint32_t channel, const FrameDescriptor* d,
                      int32_t reserved) {
    auto* log = reinterpret_cast<HostLog*>(context);
    HostEvent e;
    e.channel = channel;
    if (d->kind == 1) {
      e.kind = HostEvent::kAudio;
      std::memcpy(&e.d, d, offsetof(FrameDescriptor, audioData) + sizeof(void*));
      e.payload.assign(d->audioData, d->audioData + d->dataEnd);
    } else {
      std::memcpy(&e.d, d, sizeof(*d));
      std::memcpy(&e.videoTag, d->videoData, 4);
      e.payload.assign(d->videoData + d->dataStart, d->videoData + d->dataEnd);
      if (d->leadBlock != nullptr) e.lead.assign(d->leadBlock, d->leadBlock + d->leadLength);
    }
    if (e.payload.size() >= 4) std::memcpy(&e.serial, e.payload.data(), 4);
    EXPECT_EQ(reserved, 0);
    log->Add(std::move(e));
    if (log->hook) log->hook();
  }
  static void OnNotify(FILESEARCH_HANDLE search, uintptr_t context, int32_t code, uint32_t channel,
                       const FrameDescriptor* progress) {
    auto* log = reinterpret_cast<HostLog*>(context);
    HostEvent e;
    e.kind = HostEvent::kNotify;
    e.code = code;
    e.channel = channel;
    std::memcpy(&e.d, progress, offsetof(FrameDescriptor, statSize));
    EXPECT_EQ(search, log->search);
    log->Add(std::move(e));
    if (log->hook) log->hook();
  }
  std::vector<HostEvent> Events(size_t from = 0) {
    platform::MutexLock hold(&mu_);
    return std::vector<HostEvent>(events_.begin() + std::min(from, events_.size()), events_.end());
  }
  size_t Count(const std::function<bool(const HostEvent&)>& match, size_t from = 0) {
    const std::vector<HostEvent> events = Events(from);
    return size_t(std::count_if(events.begin(), events.end(), match));
  }
  std::vector<HostEvent> Shown(size_t from = 0) {
    std::vector<HostEvent> shown = Events(from);
    shown.erase(std::remove_if(shown.begin(), shown.end(), [](auto& e) { return !IsShown(e); }),
                shown.end());
    return shown;
  }

  FILESEARCH_HANDLE search = nullptr;
  // Called after logging, on the pacing thread (set before playback starts).
  std::function<void()> hook;

 private:
  void Add(HostEvent e) {
    e.at = platform::PerfSeconds();
    e.time = Local(e.d.year, e.d.month, e.d.day, e.d.hour, e.d.minute, e.d.second);
    platform::MutexLock hold(&mu_);
    events_.push_back(std::move(e));
  }
  platform::Mutex mu_;
  std::vector<HostEvent> events_;
};

// The events of the first pass over the recording, up to where play wraps around at the end
// of the recorded days: a frame that arrives a second time, or a displayed frame whose time
// runs against the direction of play (video and audio each keep their own order).
inline std::vector<HostEvent> FirstPass(const std::vector<HostEvent>& events,
                                        bool backward = false) {
  std::vector<HostEvent> pass;
  std::vector<std::pair<uint32_t, uint32_t>> seen;
  const HostEvent* previous[2] = {nullptr, nullptr};
  for (const HostEvent& e : events) {
    if (e.kind != HostEvent::kNotify) {
      const std::pair<uint32_t, uint32_t> id{e.serial, e.d.decodeOnly};
      if (std::find(seen.begin(), seen.end(), id) != seen.end()) break;
      // A decode-only key frame may be older than the frames it is handed over before.
      const HostEvent*& last = previous[IsAudio(e) ? 1 : 0];
      if (!e.d.decodeOnly) {
        if (last != nullptr && (backward ? e.time > last->time : e.time < last->time)) break;
        last = &e;
      }
      seen.push_back(id);
    }
    pass.push_back(e);
  }
  return pass;
}

// A file search on a recording, driven through the exports, in UTC.
class PlaybackTest : public ::testing::Test {
 protected:
  void TearDown() override { End(); }
  // A search on the index files `names` of `dir` (all of the recording's by default).
  FILESEARCH_HANDLE Open(uint32_t channels, const std::string& dir,
                         std::vector<std::string> names = {}, int32_t flag = 1) {
    if (names.empty()) names = {"file0.FIH", "file1.FIH", "file2.FIH"};
    search_ = _RECORDER_FILESEARCH_INIT(channels, reinterpret_cast<uintptr_t>(&log_),
                                        &HostLog::OnFrame, &HostLog::OnNotify);
    log_.search = search_;
    for (const std::string& name : names) {
      _RECORDER_FILESEARCH_SETPATH(search_, dir.c_str(), name.c_str(), flag);
    }
    return search_;
  }
  // Opens a search on the recording, starts it at `rate`, shows `words` and plays from t.
  void StartPlay(uint32_t channels, std::vector<uint32_t> words, int32_t t, float rate = 1.0f) {
    Open(channels, dir_.path());
    ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, rate), 1);
    ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
    Display(std::move(words));
    PlayFrom(t);
  }
  void End() {
    if (search_ != nullptr) _RECORDER_FILESEARCH_END(search_);
    search_ = nullptr;
  }
  void Display(std::vector<uint32_t> words) {
    _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search_, words.data(), int32_t(words.size()));
  }
  void PlayFrom(int32_t t) {
    const platform::LocalFields f = platform::CTime(t).Local();
    ASSERT_EQ(
        _RECORDER_FILESEARCH_PLAYTIME(search_, f.year, f.month, f.day, f.hour, f.minute, f.second),
        1);
  }
  bool WaitFor(const std::function<bool(const HostEvent&)>& match, size_t n, size_t from = 0) {
    return WaitUntil([&] { return log_.Count(match, from) >= n; }, 30000);
  }
  // Waits until play has wrapped around (an event past the first pass) and stops.
  bool WaitForWrap(size_t from = 0, bool backward = false) {
    const bool wrapped = WaitUntil(
        [&] {
          const std::vector<HostEvent> events = log_.Events(from);
          return FirstPass(events, backward).size() < events.size();
        },
        30000);
    _RECORDER_FILESEARCH_STOP(search_);
    return wrapped;
  }
  static void Idle(int ms) { platform::SleepMs(uint32_t(ms)); }
  CFileSearch* Object() { return CFileSearch::FromHandle(search_); }

  testsupport::ScopedTimeZone zone_{"UTC"};
  testsupport::ScratchDir dir_;
  HostLog log_;
  FILESEARCH_HANDLE search_ = nullptr;
  const int32_t t0 = Local(2024, 3, 10, 10, 0, 0);
};

}  // namespace playtest
