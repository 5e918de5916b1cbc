#include "platform/clock.h"

#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>

namespace platform {
namespace {

std::atomic<NowSecondsFn> g_nowSeconds{nullptr};
std::atomic<TickCountFn> g_tickCount{nullptr};
std::atomic<PerfSecondsFn> g_perfSeconds{nullptr};

struct timespec ReadClock(clockid_t id) {
  struct timespec ts {};
  ::clock_gettime(id, &ts);
  return ts;
}

}  // namespace

int64_t NowSeconds() {
  if (NowSecondsFn fn = g_nowSeconds.load(std::memory_order_acquire)) return fn();
  return static_cast<int64_t>(ReadClock(CLOCK_REALTIME).tv_sec);
}

uint32_t TickCountMs() {
  if (TickCountFn fn = g_tickCount.load(std::memory_order_acquire)) return fn();
  const struct timespec ts = ReadClock(CLOCK_BOOTTIME);
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);  // wraps at 2^32 like the tick count it stands for
}

double PerfSeconds() {
  if (PerfSecondsFn fn = g_perfSeconds.load(std::memory_order_acquire)) return fn();
  const struct timespec ts = ReadClock(CLOCK_MONOTONIC);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void SleepMs(uint32_t ms) {
  if (ms == 0) {
    ::sched_yield();  // a yield, not a sleep (see clock.h)
    return;
  }
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(ms / 1000u);
  remaining.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void SetNowSecondsForTest(NowSecondsFn fn) { g_nowSeconds.store(fn, std::memory_order_release); }
void SetTickCountForTest(TickCountFn fn) { g_tickCount.store(fn, std::memory_order_release); }
void SetPerfSecondsForTest(PerfSecondsFn fn) { g_perfSeconds.store(fn, std::memory_order_release); }

}  // namespace platform
