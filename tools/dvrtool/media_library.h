// What dvrtool takes from FFmpeg's libraries when they are on the machine: libavformat as the
// muxer that puts our stored H.264 frames, unchanged, into an MP4, Matroska or MPEG-TS file,
// and libavcodec's H.264 parser and decoder to read a stream's picture size, frame rate and
// picture order, and to check that an input's last pictures are whole. Built without them,
// the container export is refused, the frame rate is the one given, and the input check
// covers the stream's structure only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>

#include "h264_splitter.h"

namespace dvrtool {

// False when this dvrtool was built without libavformat and libavcodec.
bool HaveMediaLibrary();

// A frame rate as a fraction (25/1, 30000/1001); 0/1 when unknown.
struct FrameRate {
  int num = 0, den = 1;
  bool known() const { return num > 0 && den > 0; }
  double value() const { return known() ? static_cast<double>(num) / den : 0; }
};

// Reads the headers of an H.264 or H.265 stream one access unit at a time, in decode order.
class CPictureReader {
 public:
  explicit CPictureReader(VideoCodec codec);
  ~CPictureReader();
  CPictureReader(const CPictureReader&) = delete;
  CPictureReader& operator=(const CPictureReader&) = delete;

  // The picture order count of the unit's picture (0 at every IDR picture). Without
  // libavcodec, the decode order.
  int PictureOrder(std::span<const uint8_t> unit);
  // From the timing of the last sequence parameter set seen; unknown when it has none.
  FrameRate frameRate() const { return rate_; }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  FrameRate rate_;
  int width_ = 0, height_ = 0;
  int decoded_ = 0;
};

// A video file of one H.264 or H.265 stream (the first key frame tells which) that players
// keep whole: a constant frame rate (the
// stream's own, else the one the recorded frames show), pictures shown in their picture
// order (composition offsets for B-frames), recording gaps kept as gaps, the first shown
// frame's recorded time as the file's creation_time. An MP4 file has its index in front
// (faststart); on a pipe it is written in fragments.
class CContainerWriter {
 public:
  // format: "mp4", "matroska" or "mpegts"; path: a file name or "pipe:1". Throws RuntimeError.
  CContainerWriter(const std::string& format, const std::string& path);
  ~CContainerWriter();
  CContainerWriter(const CContainerWriter&) = delete;
  CContainerWriter& operator=(const CContainerWriter&) = delete;

  // Frames come in recorded (decode) order, from a key frame, each with the second it was
  // recorded in. A pre-roll frame lies before the wanted range: it is written for the
  // pictures that follow it to decode, and timed before the file's start so that players
  // do not show it.
  void Add(std::span<const uint8_t> frame, bool key, time_t second, bool preRoll);
  // Writes what is held and the file's index. Throws RuntimeError.
  void Finish();
  // Known once the first group of pictures is written.
  FrameRate frameRate() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// "YYYY-MM-DDTHH:MM:SS.000000Z", as containers carry creation_time.
std::string IsoUtc(time_t t);

// Empty when the last group of pictures (the units from the last key unit on) decodes
// without error, else why not (a cut file ends in the middle of a picture). Empty when built
// without libavcodec.
std::string CheckLastPictures(std::span<const uint8_t> stream, std::span<const AccessUnit> units,
                              VideoCodec codec);

}  // namespace dvrtool
