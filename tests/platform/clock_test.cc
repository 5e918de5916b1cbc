#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace platform {
namespace {

TEST(ClockTest, RealClocksAdvanceWithSleep) {
  const uint32_t tick0 = TickCountMs();
  const double perf0 = PerfSeconds();
  SleepMs(60);
  const uint32_t ticks = TickCountMs() - tick0;
  const double perf = PerfSeconds() - perf0;
  EXPECT_GE(ticks, 55u);
  EXPECT_GE(perf, 0.055);
  EXPECT_LT(perf, 30.0);
  SleepMs(0);  // a yield returns at once
  EXPECT_LE(std::llabs(NowSeconds() - static_cast<int64_t>(std::time(nullptr))), 2);
}

}  // namespace
}  // namespace platform
