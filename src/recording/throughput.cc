#include "recording/throughput.h"

#include <atomic>
#include <cstdint>
#include <limits>

#include "platform/clock.h"

namespace {

// A window is closed by the first frame that arrives more than this after it began.
constexpr uint32_t kWindowMs = 2000;
// A window older than this when it closes (or when a getter looks) means the channel was
// idle, and its rates read 0.
constexpr uint32_t kIdleMs = 5000;
constexpr double kMsPerSecond = 1000.0;

// The stored rate for a getter, cleared first when the channel has been idle. The rate is
// read before the window start, and intake stores a new window start before the new rates,
// so a rate seen together with an idle window start is never one that a window just closed;
// the exchange keeps a getter from wiping a rate that intake stored in the meantime.
double ReadRate(std::atomic<double>& rate, const std::atomic<uint32_t>& windowStart) {
  double value = rate.load();
  const uint32_t elapsed = platform::TickCountMs() - windowStart.load();
  if (elapsed > kIdleMs) {
    if (rate.compare_exchange_strong(value, 0.0)) return 0.0;
    return value;  // intake replaced the rate just now; `value` holds the new one
  }
  return value;
}

}  // namespace

void Throughput::Count(uint32_t channel, uint32_t statSize) {
  if (!ChannelInRange(channel)) return;
  const uint32_t now = platform::TickCountMs();
  // Unsigned difference: a wrap of the tick count every 49.7 days does no harm.
  const uint32_t elapsed = now - windowStartTick_[channel].load();
  if (elapsed <= kWindowMs) {
    // Saturate rather than wrap: a host reporting absurd sizes gets a capped rate, not a
    // tiny one.
    const uint64_t bytes = uint64_t{bytesInWindow_[channel].load()} + statSize;
    bytesInWindow_[channel].store(bytes > std::numeric_limits<uint32_t>::max()
                                      ? std::numeric_limits<uint32_t>::max()
                                      : static_cast<uint32_t>(bytes));
    framesInWindow_[channel].fetch_add(1);
    return;
  }

  // The frame closes the window and is not counted in the next one.
  windowStartTick_[channel].store(now);
  if (elapsed >= kIdleMs) {
    bytesPerSecond_[channel].store(0.0);
    framesPerSecond_[channel].store(0.0);
  } else {
    // In floating point: bytes × 1,000 passes 2^31 from about 1 MB/s on.
    bytesPerSecond_[channel].store(static_cast<double>(bytesInWindow_[channel].load()) *
                                   kMsPerSecond / elapsed);
    framesPerSecond_[channel].store(static_cast<double>(framesInWindow_[channel].load()) *
                                    kMsPerSecond / elapsed);
  }
  bytesInWindow_[channel].store(0);
  framesInWindow_[channel].store(0);
}

int32_t Throughput::GetBps(uint32_t channel, double* rate) {
  if (!ChannelInRange(channel) || rate == nullptr) return 0;
  *rate = ReadRate(bytesPerSecond_[channel], windowStartTick_[channel]);
  return 1;
}

int32_t Throughput::GetFps(uint32_t channel, double* rate) {
  if (!ChannelInRange(channel) || rate == nullptr) return 0;
  *rate = ReadRate(framesPerSecond_[channel], windowStartTick_[channel]);
  return 1;
}
