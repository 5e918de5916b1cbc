// The semaphore as the recorder uses it between its host and writer threads: units passed
// back and forth at full speed, with one side sleeping now and then, must never be lost or
// created, and a sleeper must always be woken.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "platform/semaphore.h"

namespace {

using platform::Semaphore;
using std::chrono::seconds;

constexpr auto kDeadline = seconds(60);

// Slots and records between a producer and a consumer, as intake and a writer thread use
// them: the producer takes a slot per item, the consumer gives slots back `batch` at a time.
class HandoffTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(HandoffTest, EveryUnitArrivesAndNoneIsCreated) {
  const int32_t batch = GetParam();
  constexpr int32_t kSlots = 8;
  constexpr int32_t kItems = 200000;
  Semaphore slots(kSlots, kSlots);
  Semaphore items(0, kSlots);
  std::atomic<int32_t> consumed{0};

  auto producer = std::async(std::launch::async, [&] {
    for (int32_t i = 0; i < kItems; ++i) {
      if (!slots.Acquire(30000)) return i;
      if (!items.Release(1)) return -1 - i;  // more items than slots: a unit was created
    }
    return kItems;
  });
  auto consumer = std::async(std::launch::async, [&] {
    int32_t unreturned = 0;
    for (int32_t i = 0; i < kItems; ++i) {
      if (!items.Acquire(30000)) return i;
      consumed.fetch_add(1, std::memory_order_relaxed);
      if (++unreturned == batch || i + 1 == kItems) {
        if (!slots.Release(unreturned)) return -1 - i;
        unreturned = 0;
      }
    }
    return kItems;
  });
  ASSERT_EQ(producer.wait_for(kDeadline), std::future_status::ready);
  ASSERT_EQ(consumer.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(producer.get(), kItems);
  EXPECT_EQ(consumer.get(), kItems);
  EXPECT_EQ(consumed.load(), kItems);
  EXPECT_EQ(slots.Count(), kSlots);
  EXPECT_EQ(items.Count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Batches, HandoffTest, ::testing::Values(1, 4, 8));

TEST(SemaphoreSleepersTest, ReleaseOfSeveralUnitsWakesAsManySleepers) {
  Semaphore sem(0, 4);
  std::atomic<int32_t> woken{0};
  std::vector<std::thread> sleepers;
  for (int i = 0; i < 3; ++i) {
    sleepers.emplace_back([&] {
      if (sem.Acquire(30000)) woken.fetch_add(1);
    });
  }
  // Whether a sleeper is already asleep or still on its way does not matter: three units
  // are three successful acquires.
  ASSERT_TRUE(sem.Release(3));
  for (auto& t : sleepers) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_EQ(sem.Count(), 0);
}

TEST(SemaphoreSleepersTest, TimedSleeperTakesAUnitReleasedBeforeItsTimeOut) {
  Semaphore sem(0, 1);
  auto waiter = std::async(std::launch::async, [&] { return sem.Acquire(30000); });
  // Give the waiter a chance to be asleep; the outcome is the same if it is not.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(sem.Release(1));
  ASSERT_EQ(waiter.wait_for(kDeadline), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(sem.Count(), 0);
  // Empty again: a zero time-out fails at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sem.Acquire(0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(2));
}

}  // namespace
