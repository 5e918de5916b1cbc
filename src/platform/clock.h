// The three clocks of the library, each replaceable by tests: wall-clock seconds (what
// intake stamps and the deletion scan compares with), the 32-bit millisecond tick count
// (throughput windows) and the performance counter (pacing).
#pragma once

#include <cstdint>

namespace platform {

// Current time, seconds since 1970-01-01 00:00:00 UTC (64-bit).
int64_t NowSeconds();
// Milliseconds of system uptime (CLOCK_BOOTTIME) cut to 32 bits; wraps at 2^32.
uint32_t TickCountMs();
// Monotonic seconds with sub-microsecond resolution.
double PerfSeconds();
// Sleeps for ms milliseconds; 0 yields the processor.
void SleepMs(uint32_t ms);

// Test hooks: a null function restores the real clock. Not for production code.
using NowSecondsFn = int64_t (*)();
using TickCountFn = uint32_t (*)();
using PerfSecondsFn = double (*)();
void SetNowSecondsForTest(NowSecondsFn fn);
void SetTickCountForTest(TickCountFn fn);
void SetPerfSecondsForTest(PerfSecondsFn fn);

}  // namespace platform
