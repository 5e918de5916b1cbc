#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/semaphore.h"
#include "support/wait_until.h"

namespace platform {
namespace {

using testsupport::WaitUntil;

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint32_t kLongWaitMs = 30000;

// Three threads waiting on `event`, each counting its wake-up in `woken`.
std::vector<std::thread> StartWaiters(Event& event, std::atomic<int>& woken) {
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(kLongWaitMs)) woken.fetch_add(1);
    });
  }
  return waiters;
}

TEST(EventTest, AutoResetWakesExactlyOneWaiterPerSet) {
  Event event(false, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters = StartWaiters(event, woken);
  for (int expected = 1; expected <= 3; ++expected) {
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return woken.load() >= expected; }));
    // A second waiter released by the same signal would show up here.
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(woken.load(), expected);
    EXPECT_FALSE(event.IsSet());
  }
  for (auto& t : waiters) t.join();
}

TEST(EventTest, ManualResetReleasesEveryWaiterAndStaysSet) {
  Event event(true, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters = StartWaiters(event, woken);
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, AnEventCreatedSetIsConsumedByOneWait) {
  Event autoSet(false, true);
  EXPECT_TRUE(autoSet.IsSet());
  EXPECT_TRUE(autoSet.Wait(0));
  EXPECT_FALSE(autoSet.Wait(0));
}

TEST(EventTest, TimedWaitEndsAfterItsBound) {
  Event event(false, false);
  const auto start = steady_clock::now();
  EXPECT_FALSE(event.Wait(100));
  const auto elapsed = steady_clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(95));
  EXPECT_LT(elapsed, milliseconds(10000));
}

TEST(WaitAnyTest, ReportsWhichEventIsSignalled) {
  Event first(false, false);
  Event second(true, false);
  second.Set();
  EXPECT_EQ(WaitAny(first, second, 0), 1);
  EXPECT_TRUE(second.IsSet());  // manual-reset: not consumed
  second.Reset();
  first.Set();
  EXPECT_EQ(WaitAny(first, second, 0), 0);
  EXPECT_FALSE(first.IsSet());  // auto-reset: consumed
  EXPECT_EQ(WaitAny(first, second, 50), -1);
  // Both signalled: the first wins and the second stays set.
  first.Set();
  second.Set();
  EXPECT_EQ(WaitAny(first, second, 0), 0);
  EXPECT_TRUE(second.IsSet());
  EXPECT_EQ(WaitAny(first, second, 0), 1);
}

TEST(WaitAnyTest, WakesWhenTheOtherThreadSetsEitherEvent) {
  for (int which = 0; which < 2; ++which) {
    Event first(false, false);
    Event second(false, false);
    std::atomic<int> result{-2};
    std::thread waiter([&] { result.store(WaitAny(first, second, kInfinite)); });
    std::this_thread::sleep_for(milliseconds(20));
    (which == 0 ? first : second).Set();
    waiter.join();
    EXPECT_EQ(result.load(), which);
  }
}

TEST(WaitAnyTest, SharesAnAutoResetSignalWithPlainWaitersFairly) {
  // One Set must end exactly one of a plain wait and a WaitAny on the same event.
  Event shared(false, false);
  Event other(false, false);
  std::atomic<int> ended{0};
  std::thread plain([&] {
    if (shared.Wait(kLongWaitMs)) ended.fetch_add(1);
  });
  std::thread any([&] {
    if (WaitAny(shared, other, kLongWaitMs) == 0) ended.fetch_add(1);
  });
  shared.Set();
  ASSERT_TRUE(WaitUntil([&] { return ended.load() >= 1; }));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(ended.load(), 1);
  shared.Set();
  plain.join();
  any.join();
  EXPECT_EQ(ended.load(), 2);
}

TEST(SemaphoreTest, ReleaseBeyondMaximumFailsAndChangesNothing) {
  Semaphore sem(1, 2);
  EXPECT_TRUE(sem.Release(1));
  EXPECT_EQ(sem.Count(), 2);
  EXPECT_FALSE(sem.Release(1));
  EXPECT_EQ(sem.Count(), 2);
  EXPECT_TRUE(sem.Acquire(0));
  EXPECT_FALSE(sem.Release(2));
  EXPECT_EQ(sem.Count(), 1);
}

TEST(SemaphoreTest, AcquireTimesOutWhenEmpty) {
  Semaphore sem(0, 8);
  const auto start = steady_clock::now();
  EXPECT_FALSE(sem.Acquire(60));
  EXPECT_GE(steady_clock::now() - start, milliseconds(55));
}

}  // namespace
}  // namespace platform
