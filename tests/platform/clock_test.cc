#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>

namespace platform {
namespace {

std::atomic<uint32_t> g_fakeTick{0};
uint32_t FakeTick() { return g_fakeTick.load(); }
int64_t FakeNow() { return 4102444800; /* 2100-01-01 UTC: beyond 32 bits */ }
double FakePerf() { return 12.5; }

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetTickCountForTest(nullptr);
    SetNowSecondsForTest(nullptr);
    SetPerfSecondsForTest(nullptr);
  }
};

TEST_F(ClockTest, TickDifferencesSurviveTheWrap) {
  SetTickCountForTest(&FakeTick);
  g_fakeTick.store(0xFFFFF000u);
  const uint32_t before = TickCountMs();
  g_fakeTick.store(0x00000F00u);  // 7,936 ms later, past 2^32
  const uint32_t elapsed = TickCountMs() - before;
  EXPECT_EQ(elapsed, 7936u);
  EXPECT_GT(elapsed, 5000u);
}

TEST_F(ClockTest, HooksReplaceAndRestoreTheClocks) {
  SetNowSecondsForTest(&FakeNow);
  SetPerfSecondsForTest(&FakePerf);
  EXPECT_EQ(NowSeconds(), 4102444800);
  EXPECT_EQ(PerfSeconds(), 12.5);
  SetNowSecondsForTest(nullptr);
  SetPerfSecondsForTest(nullptr);
  const int64_t now = NowSeconds();
  EXPECT_LE(std::llabs(now - static_cast<int64_t>(std::time(nullptr))), 2);
}

TEST_F(ClockTest, RealClocksAdvanceWithSleep) {
  const uint32_t tick0 = TickCountMs();
  const double perf0 = PerfSeconds();
  SleepMs(60);
  const uint32_t ticks = TickCountMs() - tick0;
  const double perf = PerfSeconds() - perf0;
  EXPECT_GE(ticks, 55u);
  EXPECT_GE(perf, 0.055);
  EXPECT_LT(perf, 30.0);
  SleepMs(0);  // a yield returns at once
}

}  // namespace
}  // namespace platform
