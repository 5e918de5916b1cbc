// Throughput: per-channel statistics read by GETBPS and GETFPS.
//
// Each channel measures its incoming video bytes and frames over windows of about two
// seconds on the millisecond tick count. Intake feeds the windows under the video intake
// lock; the getters run on any host thread without a lock, so the window start and the two
// rates are atomics and the getters only ever replace a rate they have just read.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "recording/channel_switches.h"

class Throughput {
 public:
  // Counts one video or kind-0 rec-data frame of statSize bytes for the channel. Called by
  // one thread at a time (intake, under the video intake lock).
  void Count(uint32_t channel, uint32_t statSize);
  // 1 and the rate; 0 for a bad channel or a null out-pointer.
  int32_t GetBps(uint32_t channel, double* bytesPerSecond);
  int32_t GetFps(uint32_t channel, double* framesPerSecond);

 private:
  std::array<std::atomic<uint32_t>, kChannelCount> bytesInWindow_{};
  std::array<std::atomic<uint32_t>, kChannelCount> framesInWindow_{};
  std::array<std::atomic<uint32_t>, kChannelCount> windowStartTick_{};
  std::array<std::atomic<double>, kChannelCount> bytesPerSecond_{};
  std::array<std::atomic<double>, kChannelCount> framesPerSecond_{};
};
