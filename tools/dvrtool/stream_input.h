// An H.264 or H.265 byte stream read as it arrives, from standard input or a FIFO (a camera
// pipeline: `ffmpeg -i rtsp://... -c copy -f h264 - | dvrtool record --input - ...`), handed out
// one access unit at a time from the first IDR picture with its parameter sets on.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "h264_splitter.h"

namespace dvrtool {

class CStreamInput {
 public:
  // Takes `fd` (closed on destruction unless it is standard input). `name` is for messages.
  CStreamInput(int fd, std::string name);
  ~CStreamInput();
  CStreamInput(const CStreamInput&) = delete;
  CStreamInput& operator=(const CStreamInput&) = delete;

  // The next whole access unit, valid until the next call; false at the end of the input or
  // once `stop` says so (asked at least five times a second while waiting). Throws
  // UsageError when the bytes are not H.264 or the input ends before a usable picture, and
  // RuntimeError when reading fails.
  bool Next(std::span<const uint8_t>* unit, bool* key, const std::function<bool()>& stop);
  uint64_t skipped() const { return skipped_; }  // units before the first key picture
  VideoCodec codec() const { return codec_; }    // once a unit was handed out

 private:
  bool Fill(const std::function<bool()>& stop);  // false at the end of the input

  int fd_;
  std::string name_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> unit_;
  bool ended_ = false;
  bool started_ = false;
  VideoCodec codec_ = VideoCodec::kH264;
  uint64_t skipped_ = 0;
};

}  // namespace dvrtool
