// What dvrtool takes from FFmpeg's libraries when they are on the machine: libavformat as the
// muxer that puts our stored H.264 frames, unchanged, into an MP4 or Matroska file with
// their recorded times, and libavcodec's H.264 parser and decoder to read a stream's picture
// size and to check that an input's last pictures are whole. Built without them, the
// container export is refused and the input check covers the stream's structure only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "h264_splitter.h"

namespace dvrtool {

// False when this dvrtool was built without libavformat and libavcodec.
bool HaveMediaLibrary();

// A video file of one H.264 stream with variable frame rate: each frame keeps its own time,
// gaps included. The first frame must be a key frame carrying its SPS and PPS.
class CContainerWriter {
 public:
  // format: "mp4" or "matroska"; path: a file name or "pipe:1". Throws RuntimeError.
  CContainerWriter(const std::string& format, const std::string& path);
  ~CContainerWriter();
  CContainerWriter(const CContainerWriter&) = delete;
  CContainerWriter& operator=(const CContainerWriter&) = delete;

  // timeMs: the frame's time in milliseconds on any fixed scale (recorded seconds * 1000 plus
  // the millisecond); the file's clock starts at the first frame.
  void Add(std::span<const uint8_t> frame, bool key, int64_t timeMs);
  // Writes the last frame and the file's index. Throws RuntimeError.
  void Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Empty when the last group of pictures (the units from the last key unit on) decodes
// without error, else why not (a cut file ends in the middle of a picture). Empty when built
// without libavcodec.
std::string CheckLastPictures(std::span<const uint8_t> stream, std::span<const AccessUnit> units);

}  // namespace dvrtool
