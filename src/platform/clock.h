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
// Sleeps for ms milliseconds. SleepMs(0) does not sleep: it yields the processor
// (sched_yield) to another thread that is ready to run, and returns at once when there is
// none. Loops that can run long on a host or playback thread (scans over thousands of
// files, the writer's short look at an empty ring) call it between steps so that, on a small
// machine, the writer and pacing threads get the processor without waiting for a full time
// slice; where no other thread waits it costs a system call and nothing else.
void SleepMs(uint32_t ms);

// Test hooks: a null function restores the real clock. Not for production code.
using NowSecondsFn = int64_t (*)();
using TickCountFn = uint32_t (*)();
using PerfSecondsFn = double (*)();
void SetNowSecondsForTest(NowSecondsFn fn);
void SetTickCountForTest(TickCountFn fn);
void SetPerfSecondsForTest(PerfSecondsFn fn);

}  // namespace platform
