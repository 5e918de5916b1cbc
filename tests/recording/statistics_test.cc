// Per-channel throughput windows and the GETBPS / GETFPS getters, on a controlled tick count.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/clock.h"
#include "recorder.h"
#include "recorder/recorder_base.h"

namespace {

std::atomic<uint32_t> g_tick{0};
uint32_t FakeTick() { return g_tick.load(); }

class StatisticsTest : public ::testing::Test {
 protected:
  // Well past the first five seconds of uptime, as on a running machine.
  static constexpr uint32_t kStart = 100000;

  void SetUp() override {
    g_tick = kStart;
    platform::SetTickCountForTest(&FakeTick);
    handle_ = _RECORDER_INIT("stats", 0, nullptr);
    ASSERT_NE(handle_, nullptr);
    recorder_ = CRecorderBase::FromHandle(handle_);
  }
  void TearDown() override {
    if (handle_ != nullptr) _RECORDER_END(handle_);
    platform::SetTickCountForTest(nullptr);
  }

  void FrameAt(uint32_t tick, uint32_t size, uint32_t channel = 0) {
    g_tick = tick;
    recorder_->RecordThroughput(channel, size);
  }
  double Bps(uint32_t channel = 0) {
    double value = -1;
    EXPECT_EQ(_RECORDER_GETBPS(handle_, channel, &value), 1);
    return value;
  }
  double Fps(uint32_t channel = 0) {
    double value = -1;
    EXPECT_EQ(_RECORDER_GETFPS(handle_, channel, &value), 1);
    return value;
  }

  RECORDER_HANDLE handle_ = nullptr;
  CRecorderBase* recorder_ = nullptr;
};

TEST_F(StatisticsTest, SteadyStreamGivesRateOfEachClosedWindow) {
  FrameAt(kStart, 10000);  // first frame after start-up: opens the window
  for (uint32_t k = 1; k <= 20; ++k) FrameAt(kStart + 100 * k, 10000);
  EXPECT_EQ(Bps(), 0.0);  // the window is still open
  FrameAt(kStart + 2100, 10000);
  EXPECT_NEAR(Bps(), 95238.1, 0.1);
  EXPECT_NEAR(Fps(), 9.52, 0.01);

  // The frame that closed the window is not counted in the next one: the next window
  // again holds exactly 20 frames.
  for (uint32_t k = 22; k <= 41; ++k) FrameAt(kStart + 100 * k, 10000);
  FrameAt(kStart + 4200, 10000);
  EXPECT_NEAR(Bps(), 95238.1, 0.1);
  EXPECT_NEAR(Fps(), 9.52, 0.01);
}

TEST_F(StatisticsTest, FirstFrameAfterStartUpZeroesRatesAndIsNotCounted) {
  FrameAt(kStart, 1000000);
  EXPECT_EQ(Bps(), 0.0);
  EXPECT_EQ(Fps(), 0.0);
  FrameAt(kStart + 1000, 5000);
  FrameAt(kStart + 2500, 1);  // closes the window begun by the first frame
  EXPECT_DOUBLE_EQ(Bps(), 5000 * 1000.0 / 2500);
  EXPECT_DOUBLE_EQ(Fps(), 1 * 1000.0 / 2500);
}

TEST_F(StatisticsTest, LargeWindowDoesNotOverflow) {
  FrameAt(kStart, 0);
  // 10,000,000 bytes: the product with 1,000 does not fit 32 bits even unsigned.
  for (uint32_t k = 1; k <= 5; ++k) FrameAt(kStart + 100 * k, 2000000);
  FrameAt(kStart + 2500, 0);
  EXPECT_DOUBLE_EQ(Bps(), 10000000 * 1000.0 / 2500);
  EXPECT_DOUBLE_EQ(Fps(), 5 * 1000.0 / 2500);
}

TEST_F(StatisticsTest, SilentChannelReadsZeroAfterFiveSeconds) {
  FrameAt(kStart, 0);
  FrameAt(kStart + 1000, 4000);
  FrameAt(kStart + 2000, 4000);  // 2,000 ms: still inside the window
  FrameAt(kStart + 2500, 0);     // closes; the current window begins here
  ASSERT_DOUBLE_EQ(Bps(), 8000 * 1000.0 / 2500);

  g_tick = kStart + 2500 + 5000;  // exactly five seconds: not idle yet
  EXPECT_DOUBLE_EQ(Bps(), 8000 * 1000.0 / 2500);
  EXPECT_DOUBLE_EQ(Fps(), 2 * 1000.0 / 2500);
  g_tick = kStart + 2500 + 5001;
  EXPECT_EQ(Bps(), 0.0);
  EXPECT_EQ(Fps(), 0.0);
}

TEST_F(StatisticsTest, WindowClosedAfterFiveSecondsCountsAsIdle) {
  FrameAt(kStart, 0);
  FrameAt(kStart + 100, 4000);
  FrameAt(kStart + 5000, 4000);  // five seconds after the window began
  EXPECT_EQ(Bps(), 0.0);
  EXPECT_EQ(Fps(), 0.0);
  // ...and that frame opened a fresh window.
  FrameAt(kStart + 6000, 3000);
  FrameAt(kStart + 8000, 3000);
  EXPECT_DOUBLE_EQ(Bps(), 3000 * 1000.0 / 3000);
}

TEST_F(StatisticsTest, WindowSpanningTickWrapIsMeasured) {
  const uint32_t start = 0xFFFFFC00u;  // 1,024 ms before the tick count wraps
  FrameAt(start, 0);
  FrameAt(start + 1000, 6000);
  FrameAt(start + 2000, 6000);  // past the wrap
  FrameAt(start + 2400, 0);
  EXPECT_DOUBLE_EQ(Bps(), 12000 * 1000.0 / 2400);
  EXPECT_DOUBLE_EQ(Fps(), 2 * 1000.0 / 2400);
}

TEST_F(StatisticsTest, ChannelsAreMeasuredSeparately) {
  FrameAt(kStart, 0, 3);
  FrameAt(kStart, 0, 31);
  FrameAt(kStart + 1000, 8000, 3);
  FrameAt(kStart + 2500, 0, 3);
  EXPECT_DOUBLE_EQ(Bps(3), 8000 * 1000.0 / 2500);
  EXPECT_EQ(Bps(31), 0.0);
  EXPECT_EQ(Bps(4), 0.0);
}

// A getter on a host thread while intake closes windows: every value read is one of the
// rates a window produced (or 0), never a mix of two.
TEST_F(StatisticsTest, GetterSeesWholeRatesWhileIntakeUpdates) {
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!done.load()) {
      double value = 0;
      _RECORDER_GETBPS(handle_, 0, &value);
      if (value != 0.0 && value != 1000.0 * 1000.0 / 2001 && value != 3000.0 * 1000.0 / 2001) {
        bad.fetch_add(1);
      }
    }
  });
  uint32_t tick = kStart;
  FrameAt(tick, 0);
  for (int window = 0; window < 2000; ++window) {
    FrameAt(tick + 1000, window % 2 ? 1000 : 3000);
    tick += 2001;
    FrameAt(tick, 0);
  }
  done = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
