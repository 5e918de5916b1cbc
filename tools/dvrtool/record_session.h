// One recording through the library's exports: a rotation set of data files in a directory,
// an H.264 stream split into access units and written on several channels (and a tone on
// channel 0 as audio), in real time or as fast as the recorder takes it. Used by `record`
// and by the demo.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "h264_splitter.h"

namespace dvrtool {

// Frame types the recorder stores as first-class video (key and following pictures), and
// the audio type of the tone.
inline constexpr uint32_t kKeyFrameType = 1;
inline constexpr uint32_t kPictureFrameType = 3;
inline constexpr uint32_t kAudioFrameType = 0;
inline constexpr int kFramesPerSecond = 25;

struct RecordOptions {
  std::string dir;
  int files = 3;
  int channels = 4;
  int seconds = 10;
  bool fast = false;
  double framesPerSecond = kFramesPerSecond;  // the pace of the video frames
  bool audio = false;                         // the tone on channel 0
  bool progress = true;
  // Polled between frames; true ends the recording early (through STOP, like a normal end).
  std::function<bool()> stopRequested;
};

struct RecordOutcome {
  time_t firstSecond = 0;  // the wall-clock second recording started in
  time_t lastSecond = 0;
  uint64_t framesTaken = 0;    // video frames the recorder took in
  uint64_t framesRefused = 0;  // video frames it refused
  uint64_t audioTaken = 0;
  uint64_t bytes = 0;       // payload bytes taken in
  uint64_t fileEvents = 0;  // failures the recorder reported through its event callback
  double elapsed = 0;
  bool interrupted = false;  // stopRequested ended it
};

// The video frame a channel carries as frame number `serial`: the stream loops, so the unit
// is serial modulo the unit count. The serial is stored as the frame's tag, which playback
// hands back, so a played frame says which unit it must equal.
inline const AccessUnit& UnitOfSerial(const std::vector<AccessUnit>& units, uint32_t serial) {
  return units[serial % units.size()];
}

// The tone's audio frame `serial`: 40 ms of 8 kHz 16-bit samples, its serial in the first
// four bytes.
std::vector<uint8_t> ToneFrame(uint32_t serial);

// The names of the rotation set in `dir`.
std::vector<std::string> DataFileNames(const std::string& dir, int files);

// Hands over the video frame with serial number `serial` (0, 1, ...): its bytes and whether
// it is a key frame. False when there are no more (the input ended or a stop was asked for).
using FrameSource =
    std::function<bool(uint32_t serial, std::span<const uint8_t>* frame, bool* key)>;

// Records the frames of `source` on every channel, frame `serial` due at serial /
// framesPerSecond after the start; throws RuntimeError when the recorder cannot be made to
// record.
RecordOutcome Record(const RecordOptions& options, const FrameSource& source);

// Records `seconds` worth of the stream's access units, looping over them.
RecordOutcome Record(const RecordOptions& options, std::span<const uint8_t> stream,
                     const std::vector<AccessUnit>& units);

}  // namespace dvrtool
