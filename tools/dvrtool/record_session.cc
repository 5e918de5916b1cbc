#include "record_session.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "errors.h"
#include "progress_meter.h"
#include "recorder_library.h"

namespace dvrtool {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> g_fileEvents{0};

// Writer threads report file trouble here while holding the recorder's write lock: print
// and count, nothing else. errno holds the cause of a failure while this runs.
void OnRecorderEvent(RECORDER_HANDLE, uintptr_t, int32_t code, int32_t status, const char* path,
                     int32_t) {
  const int cause = errno;
  if (code == RECORDER_EVENT_FILE_OPENED && status == 0) return;
  g_fileEvents.fetch_add(1);
  const char* name = path != nullptr ? path : "?";
  if (code == RECORDER_EVENT_FILE_DELETED) {
    std::fprintf(stderr, "\nrecorder: deleted %s\n", name);
    return;
  }
  std::fprintf(stderr, "\nrecorder: %s: %s: %s\n",
               code == RECORDER_EVENT_FILE_OPENED ? "cannot open" : "write failed", name,
               std::strerror(cause));
}

// "fps per channel min/avg/max" for the progress line.
std::string ChannelRates(const CRecorderLibrary& lib, RECORDER_HANDLE recorder, int channels) {
  double low = 1e9, high = 0, sum = 0;
  for (int c = 0; c < channels; ++c) {
    double fps = 0;
    if (lib._RECORDER_GETFPS(recorder, static_cast<uint32_t>(c), &fps) != 1) fps = 0;
    low = std::min(low, fps);
    high = std::max(high, fps);
    sum += fps;
  }
  char text[96];
  std::snprintf(text, sizeof(text), "  fps per channel %.1f/%.1f/%.1f", low, sum / channels, high);
  return text;
}

}  // namespace

std::vector<uint8_t> ToneFrame(uint32_t serial) {
  constexpr int kSamples = 320;  // 40 ms at 8 kHz
  std::vector<uint8_t> bytes(kSamples * 2);
  for (int i = 0; i < kSamples; ++i) {
    const double t = (static_cast<double>(serial) * kSamples + i) / 8000.0;
    const auto sample = static_cast<int16_t>(std::lround(6000.0 * std::sin(2 * M_PI * 440.0 * t)));
    std::memcpy(&bytes[2 * i], &sample, sizeof(sample));
  }
  std::memcpy(bytes.data(), &serial, sizeof(serial));
  return bytes;
}

std::vector<std::string> DataFileNames(const std::string& dir, int files) {
  std::vector<std::string> names;
  std::string base = dir;
  if (base.empty() || base.back() != '/') base += '/';
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "dvr%02d.VDB", i);
    names.push_back(base + name);
  }
  return names;
}

RecordOutcome Record(const RecordOptions& options, std::span<const uint8_t> stream,
                     const std::vector<AccessUnit>& units) {
  const auto frameCount =
      static_cast<uint32_t>(std::llround(options.seconds * options.framesPerSecond));
  return Record(options, [&](uint32_t serial, std::span<const uint8_t>* frame, bool* key) {
    if (serial >= frameCount) return false;
    const AccessUnit& unit = UnitOfSerial(units, serial);
    *frame = stream.subspan(unit.offset, unit.size);
    *key = unit.key;
    return true;
  });
}

RecordOutcome Record(const RecordOptions& options, const FrameSource& source) {
  const CRecorderLibrary& lib = CRecorderLibrary::Get();
  RecordOutcome outcome;
  g_fileEvents = 0;
  RECORDER_HANDLE recorder = lib._RECORDER_INIT("dvrtool", 0, &OnRecorderEvent);
  if (recorder == nullptr) throw RuntimeError("the library did not create a recorder");
  for (const std::string& path : DataFileNames(options.dir, options.files)) {
    lib._RECORDER_ADDFILEPATH(recorder, path.c_str());
  }
  for (int c = 0; c < options.channels; ++c) {
    lib._RECORDER_SETRECORD(recorder, static_cast<uint32_t>(c), 1);
  }
  outcome.firstSecond = std::time(nullptr);
  if (lib._RECORDER_START(recorder) != 1) {
    lib._RECORDER_END(recorder);
    throw RuntimeError("the recorder did not start in " + options.dir);
  }

  const auto expected =
      static_cast<uint64_t>(std::llround(options.seconds * options.framesPerSecond));
  CProgressMeter progress("recording", expected, !options.progress);
  auto start = Clock::now();
  const auto period = std::chrono::duration<double>(1.0 / options.framesPerSecond);
  std::span<const uint8_t> unit;
  bool key = false;
  for (uint32_t serial = 0;; ++serial) {
    const bool more = source(serial, &unit, &key);
    if (!more) {
      outcome.interrupted = options.stopRequested && options.stopRequested();
      break;
    }
    if (!options.fast) {
      // The pace starts at the first frame; an input that stalls for more than a second
      // (a live feed) starts it again rather than hand over what it held up in a burst.
      const auto offset =
          std::chrono::duration_cast<Clock::duration>(period * static_cast<double>(serial));
      if (serial == 0 || Clock::now() > start + offset + std::chrono::seconds(1))
        start = Clock::now() - offset;
      const auto due = start + offset;
      // Sleep in short steps so a stop request is seen within 50 ms.
      while (Clock::now() < due && !(options.stopRequested && options.stopRequested())) {
        std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(50)));
      }
    }
    if (options.stopRequested && options.stopRequested()) {
      outcome.interrupted = true;
      break;
    }
    for (int c = 0; c < options.channels; ++c) {
      FrameDescriptor frame;
      std::memset(&frame, 0, sizeof(frame));
      frame.type = key ? kKeyFrameType : kPictureFrameType;
      frame.keyFlag = key ? 1 : 0;
      frame.tag = serial;
      frame.videoData = unit.data();
      frame.dataStart = 0;
      frame.dataEnd = static_cast<uint32_t>(unit.size());
      frame.statSize = static_cast<uint32_t>(unit.size());
      if (lib._RECORDER_WRITEVIDEO(recorder, static_cast<uint32_t>(c), &frame) == 1) {
        ++outcome.framesTaken;
        outcome.bytes += unit.size();
      } else {
        ++outcome.framesRefused;
      }
    }
    if (options.audio) {
      const std::vector<uint8_t> tone = ToneFrame(serial);
      FrameDescriptor frame;
      std::memset(&frame, 0, sizeof(frame));
      frame.kind = 1;
      frame.type = kAudioFrameType;
      frame.audioData = tone.data();
      frame.dataEnd = static_cast<uint32_t>(tone.size());
      frame.statSize = static_cast<uint32_t>(tone.size());
      if (lib._RECORDER_WRITEAUDIO(recorder, 0, &frame) == 1) {
        ++outcome.audioTaken;
        outcome.bytes += tone.size();
      }
    }
    if (serial % 25 == 0) {
      progress.Update(std::min<uint64_t>(serial + 1, expected), outcome.bytes,
                      ChannelRates(lib, recorder, options.channels));
    }
  }
  outcome.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  progress.Finish();
  // STOP lets the writer threads take what is still in the rings before it closes the files.
  lib._RECORDER_STOP(recorder);
  lib._RECORDER_END(recorder);
  outcome.lastSecond = std::time(nullptr);
  outcome.fileEvents = g_fileEvents.load();
  return outcome;
}

}  // namespace dvrtool
