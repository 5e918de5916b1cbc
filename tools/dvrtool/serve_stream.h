// One channel played through its own file search and remuxed, frame by frame and without
// transcoding, into fragmented MP4 for a browser's Media Source: an init segment, then one
// fragment per frame. Times in the file count from the first frame delivered: forwards they
// grow with the recorded time, backwards with the time stepped back, so they always grow.
// The bytes wait in a bounded buffer; a reader that falls too far behind ends the stream.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "platform/mutex.h"

namespace dvrtool {

struct LiveStreamRequest {
  std::string dir;
  uint32_t channel = 0;
  time_t from = 0;
  float rate = 1.0f;  // the library's play rate; < 0 steps back through key frames
  size_t bufferBytes = 4u << 20;
  double fullSeconds = 3;   // how long the buffer may stay full before the stream ends
  double idleSeconds = 20;  // the stream ends after this long without a frame
};

class CLiveStream {
 public:
  // Starts the search and the remux on a thread of their own.
  explicit CLiveStream(const LiveStreamRequest& request);
  ~CLiveStream();  // stops the search and waits for its thread
  CLiveStream(const CLiveStream&) = delete;
  CLiveStream& operator=(const CLiveStream&) = delete;

  // Waits for the first frame; false when none came within `seconds` or the search failed.
  bool WaitStarted(double seconds);
  // Recorded time of the first frame, in milliseconds since the epoch (local fields read as
  // UTC-free seconds, the way the search reports them), and the RFC 6381 codec name.
  int64_t startMs() const { return startMs_; }
  std::string codec() const;
  // Moves what is buffered into `out`, waiting up to `seconds` for something. False once
  // the stream is over and drained (out is empty then).
  bool Take(std::string* out, double seconds);
  bool overflowed() const { return overflowed_.load(); }
  void Stop();

 private:
  struct Muxer;
  void Run();
  void Push(const uint8_t* data, size_t size);

  const LiveStreamRequest request_;
  std::unique_ptr<Muxer> muxer_;  // used on the search's thread only
  std::atomic<bool> stop_{false};
  std::atomic<bool> overflowed_{false};
  std::atomic<int64_t> startMs_{0};
  std::atomic<int64_t> lastFrame_{0};  // steady clock, milliseconds
  mutable platform::Mutex mutex_;
  platform::CondVar changed_;
  std::deque<std::string> chunks_ GUARDED_BY(mutex_);
  size_t bytes_ GUARDED_BY(mutex_) = 0;
  bool started_ GUARDED_BY(mutex_) = false;
  bool ended_ GUARDED_BY(mutex_) = false;
  std::string codec_ GUARDED_BY(mutex_);
  std::thread thread_;
};

}  // namespace dvrtool
