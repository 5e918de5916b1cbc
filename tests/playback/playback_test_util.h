// Shared helpers of the playback tests: recordings made through the recorder's exports in a
// fresh directory (with a controllable wall clock, so seconds and days pass at once), a host
// that logs every callback of a file search, and a fixture that plays a recording back
// through the file-search exports.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "playback/file_search.h"
#include "recorder.h"
#include "recorder/recorder_base.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/wait_until.h"

namespace playtest {

using testsupport::g_testNow;
using testsupport::ScratchDir;
using testsupport::WaitUntil;
using ZoneGuard = testsupport::ScopedTimeZone;

inline int32_t Local(int year, int month, int day, int hour, int minute, int second) {
  return testsupport::LocalSeconds(year, month, day, hour, minute, second);
}

struct SentFrame {
  bool audio = false;
  uint32_t serial = 0;  // the first four payload bytes
  uint32_t channel = 0;
  int32_t time = 0;
  uint32_t type = 0;
  bool key = false;
  uint32_t tag = 0;
  uint32_t triggerA = 0;
  uint32_t triggerB = 0;
  std::vector<uint8_t> payload;
};

// A rotation set recorded through the exports. Frames get the time the test gives them.
class Recording {
 public:
  explicit Recording(const std::string& dir, int files = 3) : dir_(dir) {
    platform::SetNowSecondsForTest(&testsupport::TestNow);
    handle_ = _RECORDER_INIT("playback-test", 0, nullptr);
    for (int i = 0; i < files; ++i) {
      _RECORDER_ADDFILEPATH(handle_, (dir_ + "file" + std::to_string(i) + ".VDB").c_str());
    }
    for (uint32_t c = 0; c < 32; ++c) _RECORDER_SETRECORD(handle_, c, 1);
  }
  ~Recording() { Finish(); }

  // Starts recording with the wall clock at `now`.
  bool Begin(int32_t now) {
    g_testNow = now;
    return _RECORDER_START(handle_) == 1;
  }

  const SentFrame& Video(uint32_t channel, int32_t time, uint32_t type, bool key,
                         uint32_t triggerA = 0, uint32_t triggerB = 0, size_t size = 0) {
    const uint32_t serial = nextSerial_++;
    SentFrame sent{false,
                   serial,
                   channel,
                   time,
                   type,
                   key,
                   0x7A000000u | serial,
                   triggerA,
                   triggerB,
                   Payload(serial, size)};
    // The payload does not start the host's buffer.
    const uint32_t dataStart = 3 + channel;
    std::vector<uint8_t> buffer(dataStart, 0xEE);
    buffer.insert(buffer.end(), sent.payload.begin(), sent.payload.end());
    FrameDescriptor d = testsupport::VideoFrame(buffer, dataStart, type, key, triggerA, triggerB);
    d.tag = sent.tag;
    g_testNow = time;
    EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, channel, &d), 1);
    video.push_back(std::move(sent));
    return video.back();
  }

  const SentFrame& Audio(uint32_t channel, int32_t time, uint32_t type) {
    const uint32_t serial = nextSerial_++;
    SentFrame sent{true, serial, channel, time, type, false, 0, 0, 0, Payload(serial)};
    FrameDescriptor d = testsupport::AudioFrame(sent.payload, type);
    d.kind = 1;
    g_testNow = time;
    EXPECT_EQ(_RECORDER_WRITEAUDIO(handle_, channel, &d), 1);
    audio.push_back(std::move(sent));
    return audio.back();
  }

  // Waits until the writer threads have taken in everything written so far, so what is
  // written next lands after it in the data file.
  void Settle() {
    CRecorderBase* r = CRecorderBase::FromHandle(handle_);
    ASSERT_TRUE(WaitUntil([&] {
      return r->videoSlots->Count() == CRecorderBase::kRingSlots &&
             r->audioSlots->Count() == CRecorderBase::kRingSlots;
    }));
  }

  // Writes everything out, stops and ends the recorder, and gives the wall clock back.
  void Finish() {
    if (handle_ == nullptr) return;
    Settle();
    _RECORDER_STOP(handle_);
    _RECORDER_END(handle_);
    handle_ = nullptr;
    platform::SetNowSecondsForTest(nullptr);
  }

  // Index files of the set that the recording wrote.
  std::vector<std::string> IndexNames() const {
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) {
      const std::string name = "file" + std::to_string(i) + ".FIH";
      if (std::filesystem::exists(dir_ + name)) names.push_back(name);
    }
    return names;
  }

  const std::string& dir() const { return dir_; }

  std::vector<SentFrame> video;
  std::vector<SentFrame> audio;

 private:
  // `size` bytes (by default 40 to 339) that start with the serial.
  static std::vector<uint8_t> Payload(uint32_t serial, size_t size = 0) {
    std::vector<uint8_t> bytes(size != 0 ? size : 40 + (serial * 37) % 300);
    uint32_t x = serial * 2654435761u + 7;
    for (auto& b : bytes) {
      x = x * 1103515245u + 12345u;
      b = static_cast<uint8_t>(x >> 16);
    }
    std::memcpy(bytes.data(), &serial, sizeof(serial));
    return bytes;
  }

  std::string dir_;
  RECORDER_HANDLE handle_ = nullptr;
  uint32_t nextSerial_ = 1;
};

// `seconds` seconds from t0 of `fps` type-1 frames per second on channels 0..channels-1.
// Channel c has a key frame at frame keyAt[c] of every second (frame 0 when not given).
// With audio, channel 0 also records an audio frame every fifth video frame.
inline void RecordStream(Recording& rec, int32_t t0, int seconds, int fps, uint32_t channels,
                         bool audio = false, std::vector<int> keyAt = {}) {
  keyAt.resize(channels, 0);
  for (int s = 0; s < seconds; ++s) {
    for (int f = 0; f < fps; ++f) {
      for (uint32_t ch = 0; ch < channels; ++ch) rec.Video(ch, t0 + s, 1, f == keyAt[ch]);
      // The second's first frames lie in the file before its audio.
      if (f == 0) rec.Settle();
      if (audio && f % 5 == 0) rec.Audio(0, t0 + s, 0);
    }
  }
}

// Position of a video frame in the order the recording wrote them; -1 when not video.
inline int VideoPosition(const Recording& rec, uint32_t serial) {
  for (size_t i = 0; i < rec.video.size(); ++i) {
    if (rec.video[i].serial == serial) return static_cast<int>(i);
  }
  return -1;
}

// A sent video frame by serial.
inline const SentFrame* FindSent(const Recording& rec, uint32_t serial) {
  const int i = VideoPosition(rec, serial);
  return i < 0 ? nullptr : &rec.video[static_cast<size_t>(i)];
}

// Runs the pacing clock (the performance counter) `factor` times faster than real time while
// it lives, so tests of slow rates and long waits play in a fraction of the time. Make it
// before the file search and let it go after the search has ended.
class FastPacingClock {
 public:
  explicit FastPacingClock(double factor) {
    start_ = platform::PerfSeconds();
    realStart_ = Real();
    factor_ = factor;
    platform::SetPerfSecondsForTest(&Now);
  }
  ~FastPacingClock() { platform::SetPerfSecondsForTest(nullptr); }
  FastPacingClock(const FastPacingClock&) = delete;
  FastPacingClock& operator=(const FastPacingClock&) = delete;

 private:
  static double Real() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  static double Now() { return start_ + (Real() - realStart_) * factor_; }
  static inline double start_ = 0.0;
  static inline double realStart_ = 0.0;
  static inline double factor_ = 1.0;
};

// One callback as the host saw it.
struct HostEvent {
  enum Kind { kVideo, kAudio, kNotify } kind = kVideo;
  int32_t code = 0;  // notifications
  uint32_t channel = 0;
  FrameDescriptor d{};  // only the form's own bytes are copied; the rest stays 0
  uint32_t serial = 0;
  int32_t time = 0;  // the descriptor's local fields as an instant
  std::vector<uint8_t> payload;
  std::vector<uint8_t> lead;
  uint32_t videoTag = 0;
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
    e.at = platform::PerfSeconds();
    if (d->kind == 1) {
      e.kind = HostEvent::kAudio;
      std::memcpy(&e.d, d, offsetof(FrameDescriptor, audioData) + sizeof(void*));
      e.payload.assign(d->audioData, d->audioData + d->dataEnd);
    } else {
      e.kind = HostEvent::kVideo;
      std::memcpy(&e.d, d, sizeof(*d));
      std::memcpy(&e.videoTag, d->videoData, 4);
      e.payload.assign(d->videoData + d->dataStart, d->videoData + d->dataEnd);
      if (d->leadBlock != nullptr) e.lead.assign(d->leadBlock, d->leadBlock + d->leadLength);
    }
    if (e.payload.size() >= 4) std::memcpy(&e.serial, e.payload.data(), 4);
    e.time = Local(e.d.year, e.d.month, e.d.day, e.d.hour, e.d.minute, e.d.second);
    EXPECT_EQ(reserved, 0);
    log->Add(std::move(e));
    if (log->hook) log->hook(channel, d);
  }

  static void OnNotify(FILESEARCH_HANDLE search, uintptr_t context, int32_t code, uint32_t channel,
                       const FrameDescriptor* progress) {
    auto* log = reinterpret_cast<HostLog*>(context);
    HostEvent e;
    e.kind = HostEvent::kNotify;
    e.code = code;
    e.channel = channel;
    e.at = platform::PerfSeconds();
    std::memcpy(&e.d, progress, offsetof(FrameDescriptor, statSize));
    e.time = Local(e.d.year, e.d.month, e.d.day, e.d.hour, e.d.minute, e.d.second);
    EXPECT_EQ(search, log->search.load());
    log->Add(std::move(e));
    if (log->notifyHook) log->notifyHook();
  }

  std::vector<HostEvent> Events() {
    platform::MutexLock hold(&mu_);
    return events_;
  }
  size_t Size() {
    platform::MutexLock hold(&mu_);
    return events_.size();
  }
  size_t Count(const std::function<bool(const HostEvent&)>& match, size_t from = 0) {
    platform::MutexLock hold(&mu_);
    size_t n = 0;
    for (size_t i = from; i < events_.size(); ++i) n += match(events_[i]) ? 1 : 0;
    return n;
  }

  // The displayed video frames from event `from` on.
  std::vector<HostEvent> ShownSince(size_t from = 0) {
    platform::MutexLock hold(&mu_);
    std::vector<HostEvent> shown;
    for (size_t i = from; i < events_.size(); ++i) {
      if (IsShown(events_[i])) shown.push_back(events_[i]);
    }
    return shown;
  }

  std::atomic<FILESEARCH_HANDLE> search{nullptr};
  // Called after logging a frame, on the pacing thread (set before playback starts).
  std::function<void(uint32_t, const FrameDescriptor*)> hook;
  std::function<void()> notifyHook;

 private:
  void Add(HostEvent e) {
    platform::MutexLock hold(&mu_);
    events_.push_back(std::move(e));
  }

  platform::Mutex mu_;
  std::vector<HostEvent> events_;
};

// The events of the first pass over the recording: everything before play wraps around at
// the end of the recorded days. The wrap shows as a frame that arrives a second time, or as a
// displayed frame whose time runs against the direction of play (the start of the recording can
// hold frames the first pass stepped over, so they are new and yet belong to the second pass).
inline std::vector<HostEvent> FirstPass(const std::vector<HostEvent>& events,
                                        bool backward = false) {
  std::vector<HostEvent> pass;
  std::vector<std::pair<uint32_t, uint32_t>> seen;
  // Video and audio are paced by queues of their own, so each kind keeps its own order.
  const HostEvent* previous[2] = {nullptr, nullptr};
  for (const HostEvent& e : events) {
    if (e.kind != HostEvent::kNotify) {
      const std::pair<uint32_t, uint32_t> id{e.serial, e.d.decodeOnly};
      if (std::find(seen.begin(), seen.end(), id) != seen.end()) break;
      // A decode-only key frame may be older than the frames it is handed over before.
      const HostEvent*& last = previous[e.kind == HostEvent::kAudio ? 1 : 0];
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

// A file search on a recording, driven through the exports. UTC unless a test says
// otherwise.
class PlaybackTest : public ::testing::Test {
 protected:
  PlaybackTest() : zone_("UTC") {}
  void TearDown() override { EndSearch(); }

  FILESEARCH_HANDLE Open(uint32_t channels, const Recording& rec) {
    return Open(channels, rec.dir(), rec.IndexNames());
  }

  // A search on the index files `names` of `dir`, each set with `flag`.
  FILESEARCH_HANDLE Open(uint32_t channels, const std::string& dir,
                         const std::vector<std::string>& names, int32_t flag = 1) {
    search_ = _RECORDER_FILESEARCH_INIT(channels, reinterpret_cast<uintptr_t>(&log_),
                                        &HostLog::OnFrame, &HostLog::OnNotify);
    log_.search = search_;
    EXPECT_NE(search_, nullptr);
    for (const std::string& name : names) {
      _RECORDER_FILESEARCH_SETPATH(search_, dir.c_str(), name.c_str(), flag);
    }
    return search_;
  }

  // Records `seconds` seconds from t0 with RecordStream and finishes the recording.
  static void RecordSeconds(Recording& rec, int32_t t0, int seconds, int fps, uint32_t channels,
                            bool audio = false, std::vector<int> keyAt = {}) {
    ASSERT_TRUE(rec.Begin(t0));
    RecordStream(rec, t0, seconds, fps, channels, audio, std::move(keyAt));
    rec.Finish();
  }

  // Opens a search on the recording, starts it at `rate`, shows `words` and plays from t.
  void StartPlay(uint32_t channels, const Recording& rec, std::vector<uint32_t> words, int32_t t,
                 float rate = 1.0f) {
    Open(channels, rec);
    if (rate != 1.0f) {
      ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, rate), 1);
    }
    ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
    Display(std::move(words));
    PlayFrom(t);
  }

  void EndSearch() {
    if (search_ != nullptr) _RECORDER_FILESEARCH_END(search_);
    search_ = nullptr;
  }

  void Display(std::vector<uint32_t> words) {
    _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search_, words.data(),
                                            static_cast<int32_t>(words.size()));
  }

  void PlayFrom(int32_t t) {
    const platform::LocalFields f = platform::CTime(t).Local();
    ASSERT_EQ(
        _RECORDER_FILESEARCH_PLAYTIME(search_, f.year, f.month, f.day, f.hour, f.minute, f.second),
        1);
  }

  bool WaitForCount(const std::function<bool(const HostEvent&)>& match, size_t n,
                    int timeoutMs = 20000) {
    return WaitUntil([&] { return log_.Count(match) >= n; }, timeoutMs);
  }

  // Lets the library run for a while when a test needs to see that nothing happens.
  static void Idle(int ms) { platform::SleepMs(static_cast<uint32_t>(ms)); }

  CFileSearch* Object() { return CFileSearch::FromHandle(search_); }

  ZoneGuard zone_;
  ScratchDir dir_;
  HostLog log_;
  FILESEARCH_HANDLE search_ = nullptr;
};

}  // namespace playtest
