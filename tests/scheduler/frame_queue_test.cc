// Pacing and back-pressure of one CFrameQueue, driven with explicit counter times so every
// due time can be checked exactly.
#include "scheduler/frame_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "scheduler_test_util.h"
#include "support/wait_until.h"

namespace scheduler {
namespace {

using platform::CTime;

constexpr int32_t kT0 = 1700000000;  // 2023-11-14 22:13:20 UTC

class FrameQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Without back-pressure, so the test thread can queue several seconds ahead.
    ASSERT_TRUE(q_.Configure(&Collect, this, /*noBackPressure=*/1, kDefaultGroupThreshold));
    q_.Start();
  }

  static int32_t Collect(uint32_t channel, FrameTime time, const uint8_t* data, int32_t dataLength,
                         const uint8_t* second, int32_t secondLength, int32_t display,
                         void* context) {
    auto* self = static_cast<FrameQueueTest*>(context);
    const std::vector<uint8_t> side = second == nullptr
                                          ? std::vector<uint8_t>()
                                          : std::vector<uint8_t>(second, second + secondLength);
    self->got_.push_back({channel, time, {data, data + dataLength}, side, display, self->now_});
    return self->accept_;
  }

  // n frames stamped t; their data is {t mod 256, index}.
  void Second(int32_t t, int n, int32_t display = 1, float rate = 1.0f) {
    for (int i = 0; i < n; ++i) {
      const uint8_t data[2] = {static_cast<uint8_t>(t), static_cast<uint8_t>(i)};
      ASSERT_EQ(q_.Enqueue(0, CTime(t), data, 2, nullptr, 0, display, rate), 1);
    }
  }

  // Plays the pacing thread's part from now_ to `until` in small steps: one Deliver per
  // step, and a resync after every -2. Stops early once `wanted` frames have arrived.
  std::vector<int32_t> Run(double until, float rate, size_t wanted = SIZE_MAX) {
    std::vector<int32_t> codes;
    for (; now_ < until && got_.size() < wanted; now_ += kStep) {
      const int32_t r = q_.Deliver(now_, rate);
      if (r == kDeliverNothing) q_.SetResync();
      codes.push_back(r);
    }
    return codes;
  }

  static constexpr double kStep = 0.00025;
  ScopedTz tz_{"UTC"};
  CFrameQueue q_;
  std::vector<Delivery> got_;
  double now_ = 100.0;
  int32_t accept_ = 1;
};

struct GridCase {
  const char* name;
  float markRate;  // rate given to Enqueue, kept in the group marks
  float playRate;
  bool backward;
  double spacing;  // expected seconds between frames of a 25-frame second
};

class FrameQueueGridTest : public FrameQueueTest, public ::testing::WithParamInterface<GridCase> {};

TEST_P(FrameQueueGridTest, FramesOfASecondAreSpreadEvenly) {
  const GridCase& c = GetParam();
  // Backward play queues the seconds in falling order.
  const int32_t first = c.backward ? kT0 + 5 : kT0;
  const int32_t dir = c.backward ? -1 : 1;
  Second(first, 25, 1, c.markRate);
  Second(first + dir, 25, 1, c.markRate);
  Second(first + 2 * dir, 1, 1, c.markRate);  // closes the second group

  const auto codes = Run(now_ + 60 * c.spacing + 1.0, c.playRate, 50);
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.front(), kDeliverNewBase);
  ASSERT_EQ(got_.size(), 50u);
  for (size_t k = 0; k < 50; ++k) {
    EXPECT_EQ(got_[k].data[0], static_cast<uint8_t>(first + (k < 25 ? 0 : dir))) << k;
    EXPECT_EQ(got_[k].data[1], k % 25) << k;
    EXPECT_EQ(got_[k].time.millisecond, (k % 25) * 40) << k;
  }
  for (double s : Spacings(got_, 0, 50)) EXPECT_NEAR(s, c.spacing, kStep * 2.5);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, FrameQueueGridTest,
    ::testing::Values(GridCase{"Normal", 1.0f, 1.0f, false, 0.040},
                      GridCase{"Double", 1.0f, 2.0f, false, 0.020},
                      GridCase{"Backward", 1.0f, -1.0f, true, 0.040},
                      GridCase{"SingleStepPacesAtOne", 1.0f, 100.0f, false, 0.040},
                      GridCase{"GroupRateFourOverridesOne", 4.0f, 1.0f, false, 0.010},
                      GridCase{"GroupRateHalfIgnoredAtOne", 0.5f, 1.0f, false, 0.040},
                      GridCase{"GroupRateHalfAppliesBelowHalf", 0.5f, 0.25f, false, 0.080}),
    [](const ::testing::TestParamInfo<GridCase>& info) { return info.param.name; });

TEST_F(FrameQueueTest, NewBaseAfterStartRateChangeResyncAndFlush) {
  Second(kT0, 5);
  Second(kT0 + 1, 1);
  EXPECT_EQ(q_.Deliver(now_, 1.0f), kDeliverNewBase);
  EXPECT_TRUE(got_.empty());
  EXPECT_EQ(q_.Deliver(now_ + 0.001, 1.0f), kDeliverShown);
  ASSERT_EQ(got_.size(), 1u);

  // A new effective rate takes a new base first.
  EXPECT_EQ(q_.Deliver(now_ + 0.5, 2.0f), kDeliverNewBase);
  EXPECT_EQ(q_.Deliver(now_ + 0.501, 2.0f), kDeliverShown);
  EXPECT_EQ(got_.size(), 2u);

  // A pause (-2) followed by a resync, as the pacing thread does.
  EXPECT_EQ(q_.Deliver(now_ + 0.6, 0.0f), kDeliverNothing);
  q_.SetResync();
  EXPECT_EQ(q_.Deliver(now_ + 5.0, 2.0f), kDeliverNewBase);
  EXPECT_EQ(q_.Deliver(now_ + 5.001, 2.0f), kDeliverShown);

  // A callback that refuses a displayed frame makes it count as "other".
  accept_ = 0;
  EXPECT_EQ(q_.Deliver(now_ + 5.2, 2.0f), kDeliverOther);
  accept_ = 1;

  q_.Flush();
  EXPECT_EQ(q_.Deliver(now_ + 6.0, 1.0f), kDeliverNothing);  // nothing queued
  Second(kT0 + 7, 3);
  Second(kT0 + 8, 1);
  EXPECT_EQ(q_.Deliver(now_ + 6.1, 1.0f), kDeliverNewBase);
  EXPECT_EQ(q_.Deliver(now_ + 6.101, 1.0f), kDeliverShown);
  EXPECT_EQ(got_.back().data[0], static_cast<uint8_t>(kT0 + 7));
}

// Decode-only frames stored before the first displayed frame (what a decoder needs before
// the first picture) go out at once, unpaced and in no group; a queue fed only with them
// therefore never holds on to them.
TEST_F(FrameQueueTest, LeadingUndisplayedFramesGoOutAtOnceInNoGroup) {
  Second(kT0 - 3, 5, /*display=*/0);
  EXPECT_EQ(q_.MarkCount(), 0);
  Run(now_ + 0.002, 1.0f);
  ASSERT_EQ(got_.size(), 5u);
  EXPECT_FALSE(q_.HasFrames());
  for (const Delivery& d : got_)
    EXPECT_EQ((std::vector<int>{d.display, d.time.millisecond}), (std::vector<int>{0, 0}));

  // Then the target's second: a group of its own three frames, the first due at once.
  Second(kT0 - 2, 2, 0);
  Second(kT0, 3);
  Second(kT0 + 1, 1);
  ASSERT_EQ(q_.MarkCount(), 1);
  const double start = now_;
  Run(now_ + 2.0, 1.0f, 10);
  ASSERT_EQ(got_.size(), 10u);
  EXPECT_LT(got_[6].at - start, 0.01);  // the two leading frames, then the first displayed
  EXPECT_EQ((std::vector<int>{got_[7].display, got_[8].time.millisecond, got_[9].time.millisecond}),
            (std::vector<int>{1, 333, 666}));
  EXPECT_NEAR(got_[9].at - got_[7].at, 2.0 / 3.0, 0.01);
}

// The producer closes the last open second at the end of what it plays, so that second is
// paced (forwards or backwards) instead of waiting for a mark that never comes.
TEST_F(FrameQueueTest, CloseGroupPacesTheLastSecond) {
  for (float rate : {1.0f, -1.0f}) {
    SCOPED_TRACE(rate);
    got_.clear();
    q_.Flush();
    // A single second has no mark at all: only its first frame, due at once, goes out before
    // it is closed; the mark then paces the others from it.
    Second(kT0, 3, 1, rate);
    Run(now_ + 0.1, rate);
    ASSERT_EQ(got_.size(), 1u);
    q_.CloseGroup(rate);
    Second(kT0 + (rate > 0 ? 1 : -1), 4, 1, rate);
    q_.CloseGroup(rate);
    Run(now_ + 3.0, rate);
    ASSERT_EQ(got_.size(), 7u);
    EXPECT_NEAR(got_[1].at - got_[0].at, 1.0 / 3, 0.01);
    // The last second's four frames are spread over its own second.
    EXPECT_EQ(got_[6].time.millisecond, 750);
    EXPECT_NEAR(got_[6].at - got_[3].at, 0.75, 0.01);
    EXPECT_FALSE(q_.HasFrames());
  }
}

// A stretch without recordings is waited out for at most kMaxGapWaitSeconds of wall time,
// whatever its length and the rate; one normal second stays one second (at the rate).
TEST_F(FrameQueueTest, GapsAreWaitedOutForAtMostTwoSeconds) {
  struct Row {
    int32_t gap;  // stream seconds between the two recorded seconds
    float rate;
    double wait;  // wall seconds from the first second's frame to the next
  };
  for (const Row& row : {Row{1, 1.0f, 1.0}, Row{1, 0.25f, 4.0}, Row{3, 1.0f, 3.0},
                         Row{7200, 1.0f, 3.0}, Row{7200, 0.5f, 4.0}, Row{60, 4.0f, 2.25}}) {
    SCOPED_TRACE(testing::Message() << row.gap << " s at " << row.rate);
    got_.clear();
    q_.Flush();
    Second(kT0, 1, 1, row.rate);
    Second(kT0 + 1, 1, 1, row.rate);
    Second(kT0 + 1 + row.gap, 1, 1, row.rate);
    Second(kT0 + 2 + row.gap, 1, 1, row.rate);
    Run(now_ + 10.0, row.rate, 3);
    ASSERT_EQ(got_.size(), 3u);
    // A group sits at the time of the second that closes it, so the wait comes before the
    // last recorded second ahead of the stretch.
    EXPECT_NEAR(got_[1].at - got_[0].at, row.wait, 0.01);
  }
}

// A pool that grew for a burst is given back at a flush and at a stop.
TEST_F(FrameQueueTest, FlushAndStopShrinkAGrownPool) {
  const int32_t initial = q_.PoolChunkCount();
  std::vector<uint8_t> big(300000, 7);
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(q_.Enqueue(0, CTime(kT0), big.data(), 300000, nullptr, 0, 1, 1.0f), 1);
  }
  EXPECT_GT(q_.PoolChunkCount(), initial);
  q_.Flush();
  EXPECT_EQ(q_.PoolChunkCount(), initial);
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(q_.Enqueue(0, CTime(kT0), big.data(), 300000, nullptr, 0, 1, 1.0f), 1);
  }
  q_.Stop();
  EXPECT_EQ(q_.PoolChunkCount(), initial);
}

TEST_F(FrameQueueTest, UndisplayedFramesJoinTheOpenGroup) {
  Second(kT0, 2);
  Second(kT0 + 5, 2, /*display=*/0);  // a different stamp, but not displayed
  Second(kT0 + 1, 1);
  ASSERT_EQ(q_.MarkCount(), 1);
  Run(now_ + 2.0, 1.0f, 4);
  ASSERT_EQ(got_.size(), 4u);
  EXPECT_EQ(got_[2].display, 0);
  EXPECT_EQ(got_[3].time.millisecond, 750);  // fourth of a group of four
}

// Frames delivered past a group's count while the next mark was missing count towards the
// next group once its mark arrives.
TEST_F(FrameQueueTest, LateMarkTakesOverFramesAlreadyDelivered) {
  Second(kT0, 4);
  Second(kT0 + 1, 3);  // its first frame closes the group of four; this group stays open
  Run(now_ + 3.0, 1.0f, 6);
  ASSERT_EQ(got_.size(), 6u);
  EXPECT_EQ(got_[4].time.millisecond, 1000);
  EXPECT_EQ(got_[5].time.millisecond, 1250);

  Second(kT0 + 2, 1);  // closes the group of three
  Run(now_ + 3.0, 1.0f, 7);
  ASSERT_EQ(got_.size(), 7u);
  EXPECT_EQ(got_[6].data[0], static_cast<uint8_t>(kT0 + 1));
  EXPECT_EQ(got_[6].data[1], 2);
  EXPECT_EQ(got_[6].time.millisecond, 666);  // third frame of three
}

// Frames up to the largest a recorder stores (about 3 MB) round trip, also beyond the
// staging buffers; anything longer is refused.
TEST_F(FrameQueueTest, LargeRecordsRoundTrip) {
  const int32_t side = 12;
  const uint8_t sideBlock[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  std::vector<uint8_t> data(kMaxFrameDataLength + 1);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);

  EXPECT_EQ(
      q_.Enqueue(7, CTime(kT0), data.data(), kMaxFrameDataLength + 1, sideBlock, side, 1, 1.0f), 0);
  EXPECT_EQ(q_.Enqueue(7, CTime(kT0), data.data(), -1, nullptr, 0, 1, 1.0f), 0);
  const std::vector<int32_t> sizes = {int32_t(kStagingBufferSize - kStoredFrameOverhead) - side,
                                      2500000, 1000000, kMaxFrameDataLength};
  for (size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_EQ(
        q_.Enqueue(7, CTime(kT0 + int32_t(i)), data.data(), sizes[i], sideBlock, side, 1, 1.0f), 1);
  }
  q_.CloseGroup(1.0f);
  Run(now_ + 5.0, 1.0f, sizes.size());
  ASSERT_EQ(got_.size(), sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(got_[i].channel, 7u);
    EXPECT_TRUE(got_[i].data == std::vector<uint8_t>(data.begin(), data.begin() + sizes[i]));
    EXPECT_EQ(got_[i].second, std::vector<uint8_t>(sideBlock, sideBlock + 12));
  }
  const FrameTime& t = got_[0].time;
  EXPECT_EQ(std::vector<int>({t.year, t.month, t.day, t.hour, t.minute, t.second}),
            std::vector<int>({2023, 11, 14, 22, 13, 20}));
}

TEST_F(FrameQueueTest, StoppedQueueRefusesAndDeliversNothing) {
  Second(kT0, 3);
  Second(kT0 + 1, 1);
  q_.Stop();
  const uint8_t byte = 0;
  EXPECT_EQ(q_.Enqueue(0, CTime(kT0 + 2), &byte, 1, nullptr, 0, 1, 1.0f), 0);
  EXPECT_EQ(q_.Deliver(now_, 1.0f), kDeliverNothing);
  EXPECT_EQ(q_.MarkCount(), 0);
  q_.Start();
  EXPECT_EQ(q_.Deliver(now_, 1.0f), kDeliverNothing);  // Stop emptied the pool
}

TEST_F(FrameQueueTest, DelayHoldsTheFirstFrameBack) {
  q_.SetDelay(1);
  ASSERT_TRUE(q_.SetThreshold(4));  // replaces the pool, so queue after it
  EXPECT_EQ(q_.PoolChunkCount(), 4 * kChunksPerThresholdUnit);
  Second(kT0, 5);
  Second(kT0 + 1, 1);
  double due = 0.0;
  EXPECT_EQ(q_.Deliver(now_, 1.0f, &due), kDeliverNewBase);
  EXPECT_DOUBLE_EQ(due, now_ + 1.0);
  EXPECT_EQ(q_.Deliver(now_ + 0.5, 1.0f, &due), kDeliverNotDue);
  EXPECT_DOUBLE_EQ(due, now_ + 1.0);
  EXPECT_TRUE(got_.empty());
  EXPECT_EQ(q_.Deliver(now_ + 1.001, 1.0f), kDeliverShown);
  EXPECT_EQ(q_.Deliver(now_ + 1.1, 1.0f, &due), kDeliverNotDue);
  EXPECT_NEAR(due, now_ + 1.2, 1e-6);  // the second of five frames, 0.2 s later
}

struct MidnightCase {
  const char* name;
  const char* tz;
  bool localMidnight;  // else UTC midnight
};

class FrameQueueMidnightTest : public FrameQueueTest,
                               public ::testing::WithParamInterface<MidnightCase> {};

TEST_P(FrameQueueMidnightTest, SpacingHoldsAcrossMidnight) {
  ScopedTz tz(GetParam().tz);
  const int32_t boundary = GetParam().localMidnight
                               ? CTime::FromLocal(2024, 3, 10, 0, 0, 0).seconds()
                               : 1710028800;  // 2024-03-10 00:00:00 UTC
  Second(boundary - 1, 25);
  Second(boundary, 25);
  Second(boundary + 1, 1);
  Run(now_ + 5.0, 1.0f, 50);
  ASSERT_EQ(got_.size(), 50u);
  for (double s : Spacings(got_, 0, 50)) EXPECT_NEAR(s, 0.040, 0.0007);
  const platform::LocalFields after = CTime(boundary).Local();
  const FrameTime& first = got_[25].time;
  EXPECT_EQ(std::vector<int>({first.day, first.hour, first.second, got_[24].time.second}),
            std::vector<int>({after.day, after.hour, 0, 59}));
}

INSTANTIATE_TEST_SUITE_P(Zones, FrameQueueMidnightTest,
                         ::testing::Values(MidnightCase{"UtcInUtc", "UTC", true},
                                           MidnightCase{"LocalInShanghai", "Asia/Shanghai", true},
                                           MidnightCase{"UtcInShanghai", "Asia/Shanghai", false}),
                         [](const ::testing::TestParamInfo<MidnightCase>& info) {
                           return info.param.name;
                         });

struct BackPressureCase {
  const char* name;
  float rate;
  int32_t noBackPressure;
  int32_t marksWhenHeld;
};

class FrameQueueBackPressureTest : public ::testing::TestWithParam<BackPressureCase> {};

// A producer storing one displayed frame per second is held once the marks it created
// reach the limit, and a Stop releases it with 0.
TEST_P(FrameQueueBackPressureTest, ProducerHeldAtLimitAndReleasedByStop) {
  const BackPressureCase& c = GetParam();
  CFrameQueue q;
  ASSERT_TRUE(q.Configure(nullptr, nullptr, c.noBackPressure, kDefaultGroupThreshold));
  q.Start();
  std::atomic<int> stored{0};
  std::atomic<int> lastResult{-1};
  std::thread producer([&] {
    const uint8_t byte = 1;
    for (int32_t t = 0; t < 200; ++t) {
      const int32_t r = q.Enqueue(0, CTime(kT0 + t), &byte, 1, nullptr, 0, 1, c.rate);
      lastResult = r;
      if (r == 0) return;
      ++stored;
    }
  });
  EXPECT_TRUE(testsupport::WaitUntil(
      [&] { return stored.load() >= c.marksWhenHeld + 1 && q.WaitingProducers() > 0; }));
  // Held: no further frame gets in while nothing is delivered.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(stored.load(), c.marksWhenHeld + 1);
  EXPECT_EQ(q.MarkCount(), c.marksWhenHeld);
  EXPECT_FALSE(q.SpaceAvailable());
  q.Stop();
  producer.join();
  EXPECT_EQ(lastResult.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FrameQueueBackPressureTest,
    ::testing::Values(BackPressureCase{"NormalRate", 1.0f, 0, 2},
                      BackPressureCase{"FourTimes", 4.0f, 0, 8},
                      BackPressureCase{"FractionTruncated", 2.5f, 0, 4},
                      BackPressureCase{"BackwardFourTimes", -4.0f, 0, 8},
                      BackPressureCase{"HugeRateStopsBeforeMarksAreRefused", 1e9f, 0, 100},
                      BackPressureCase{"WithoutBackPressureStillBounded", 1.0f, 1, 9}),
    [](const ::testing::TestParamInfo<BackPressureCase>& info) { return info.param.name; });

// A producer, the deliverer and a control thread that flushes and restarts, all at once:
// every delivered frame arrives whole, and frames leave in the order they were stored.
// Frame `seq` of the concurrency test: its number, then bytes that follow from it.
std::vector<uint8_t> SequencedFrame(int seq) {
  std::vector<uint8_t> frame(4 + seq % 9000);
  std::memcpy(frame.data(), &seq, 4);
  for (size_t i = 4; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(seq + i);
  return frame;
}

TEST(FrameQueueConcurrencyTest, FramesStayWholeAndOrderedUnderFlushAndStart) {
  struct Seen {
    std::atomic<int> frames{0};
    std::atomic<int> torn{0};
    std::atomic<int> outOfOrder{0};
    int last = -1;  // pacing side only
  } seen;
  auto check = [](uint32_t, FrameTime, const uint8_t* data, int32_t length, const uint8_t*, int32_t,
                  int32_t, void* context) -> int32_t {
    auto* s = static_cast<Seen*>(context);
    int seq = -1;
    if (length >= 4) std::memcpy(&seq, data, 4);
    if (seq < 0 || std::vector<uint8_t>(data, data + length) != SequencedFrame(seq)) ++s->torn;
    if (seq <= s->last) ++s->outOfOrder;
    s->last = seq;
    ++s->frames;
    return 1;
  };
  CFrameQueue q;
  ASSERT_TRUE(q.Configure(check, &seen, /*noBackPressure=*/1, kDefaultGroupThreshold));
  q.Start();
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int seq = 0; seq < 6000; ++seq) {
      const std::vector<uint8_t> frame = SequencedFrame(seq);
      // Ten frames per recorded second.
      q.Enqueue(0, CTime(kT0 + seq / 10), frame.data(), static_cast<int32_t>(frame.size()), nullptr,
                0, 1, 1.0f);
    }
    done = true;
  });
  std::thread deliverer([&] {
    // Every frame is due at once; once the producer is done, what is left is drained.
    double now = 10.0;
    auto deadline = std::chrono::steady_clock::time_point::max();
    while (!done.load() || (q.MarkCount() != 0 && std::chrono::steady_clock::now() < deadline)) {
      if (done.load() && deadline == std::chrono::steady_clock::time_point::max()) {
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      }
      if (q.Deliver(now, 1.0f) == kDeliverNothing) q.SetResync();
      now += 1.0;
    }
  });
  for (int i = 0; i < 50 && !done.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (i % 2 == 0) {
      q.Flush();
    } else {
      q.Start();
    }
  }
  producer.join();
  deliverer.join();
  EXPECT_GT(seen.frames.load(), 0);
  EXPECT_EQ(q.MarkCount(), 0);  // nothing got stuck behind a lost reservation
  EXPECT_EQ(seen.torn.load(), 0);
  EXPECT_EQ(seen.outOfOrder.load(), 0);
}

}  // namespace
}  // namespace scheduler
