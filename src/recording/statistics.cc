// Per-channel throughput statistics read by GETBPS and GETFPS.
//
// Each channel measures its incoming video bytes and frames over windows of about two
// seconds on the millisecond tick count. Intake feeds the windows under videoIntakeLock;
// the getters run on any host thread without a lock, so the window start and the two rates
// are atomics and the getters only ever replace a rate they have just read.
#include <atomic>
#include <cstdint>
#include <limits>

#include "platform/clock.h"
#include "recorder/recorder_base.h"

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

void CRecorderBase::RecordThroughput(uint32_t channel, uint32_t statSize) {
  if (channel >= kChannelCount) return;
  const uint32_t now = platform::TickCountMs();
  // Unsigned difference: a wrap of the tick count every 49.7 days does no harm.
  const uint32_t elapsed = now - windowStartTick[channel].load();
  if (elapsed <= kWindowMs) {
    // Saturate rather than wrap: a host reporting absurd sizes gets a capped rate, not a
    // tiny one.
    const uint64_t bytes = uint64_t{bytesInWindow[channel].load()} + statSize;
    bytesInWindow[channel].store(bytes > std::numeric_limits<uint32_t>::max()
                                     ? std::numeric_limits<uint32_t>::max()
                                     : static_cast<uint32_t>(bytes));
    framesInWindow[channel].fetch_add(1);
    return;
  }

  // The frame closes the window and is not counted in the next one.
  windowStartTick[channel].store(now);
  if (elapsed >= kIdleMs) {
    bytesPerSecond[channel].store(0.0);
    framesPerSecond[channel].store(0.0);
  } else {
    // In floating point: bytes × 1,000 passes 2^31 from about 1 MB/s on.
    bytesPerSecond[channel].store(static_cast<double>(bytesInWindow[channel].load()) *
                                  kMsPerSecond / elapsed);
    framesPerSecond[channel].store(static_cast<double>(framesInWindow[channel].load()) *
                                   kMsPerSecond / elapsed);
  }
  bytesInWindow[channel].store(0);
  framesInWindow[channel].store(0);
}

int32_t CRecorderBase::GetBps(uint32_t channel, double* rate) {
  if (channel >= kChannelCount || rate == nullptr) return 0;
  *rate = ReadRate(bytesPerSecond[channel], windowStartTick[channel]);
  return 1;
}

int32_t CRecorderBase::GetFps(uint32_t channel, double* rate) {
  if (channel >= kChannelCount || rate == nullptr) return 0;
  *rate = ReadRate(framesPerSecond[channel], windowStartTick[channel]);
  return 1;
}
