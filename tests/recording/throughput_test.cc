// Per-channel throughput windows on a controlled tick count: each row feeds frames
// (tick, bytes, channel) and then reads channel 0's rates, or channel 31's, at a tick.
#include "recording/throughput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/clock.h"

namespace {

std::atomic<uint32_t> g_tick{0};

constexpr uint32_t T = 100000;       // well past the first five seconds of uptime
constexpr uint32_t W = 0xFFFFFC00u;  // a second before the tick count wraps

struct Frame {
  uint32_t tick, bytes, channel = 0;
};

TEST(ThroughputTest, RatesOfClosedWindows) {
  platform::SetTickCountForTest([] { return g_tick.load(); });
  // Expected: `bytes` and `frames` counted over a window of `ms` (0: no rate).
  const struct {
    const char* name;
    std::vector<Frame> frames;
    uint32_t readAt, channel;
    double bytes, count, ms;
  } rows[] = {
      // clang-format off
      {"open window", {{T, 1000000}, {T + 2000, 5}}, T + 2000, 0, 0, 0, 0},
      {"first frame not counted", {{T, 1000000}, {T + 1000, 5000}, {T + 2500, 1}},
       T + 2500, 0, 5000, 1, 2500},
      {"saturates", {{T, 0}, {T + 1, 0xFFFFFFF0u}, {T + 2, 0x100}, {T + 2500, 0}},
       T + 2500, 0, 0xFFFFFFFFu, 2, 2500},
      {"idle after 5 s and 1 ms", {{T, 0}, {T + 1000, 8000}, {T + 2500, 0}},
       T + 7501, 0, 0, 0, 0},
      {"window closed after 5 s, a fresh one after that without the closing frame",
       {{T, 0}, {T + 100, 4000}, {T + 5000, 4000}, {T + 6000, 3000}, {T + 8000, 3000}},
       T + 8000, 0, 3000, 1, 3000},
      {"across the tick wrap", {{W, 0}, {W + 1000, 6000}, {W + 2000, 6000}, {W + 2400, 0}},
       W + 2400, 0, 12000, 2, 2400},
      {"own channel only",
       {{T, 0, 31}, {T, 0, 3}, {T + 1000, 8000, 31}, {T + 1000, 900, 3}, {T + 2500, 0, 31}},
       T + 2500, 31, 8000, 1, 2500},
      // clang-format on
  };
  for (const auto& r : rows) {
    Throughput throughput;
    for (const Frame& f : r.frames) {
      g_tick = f.tick;
      throughput.Count(f.channel, f.bytes);
    }
    g_tick = r.readAt;
    double bps = -1, fps = -1;
    ASSERT_EQ(throughput.GetBps(r.channel, &bps) + throughput.GetFps(r.channel, &fps), 2);
    EXPECT_DOUBLE_EQ(bps, r.ms ? r.bytes * 1000.0 / r.ms : 0) << r.name;
    EXPECT_DOUBLE_EQ(fps, r.ms ? r.count * 1000.0 / r.ms : 0) << r.name;
  }
  platform::SetTickCountForTest(nullptr);
}

}  // namespace
