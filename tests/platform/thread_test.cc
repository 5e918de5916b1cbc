#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>

#include "platform/event.h"
#include "support/wait_until.h"

namespace platform {
namespace {

using testsupport::WaitUntil;

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(ThreadTest, BoundedJoinAbandonsAThreadThatDoesNotEnd) {
  // The body owns its event through a shared_ptr, so it stays safe after being abandoned.
  auto release = std::make_shared<Event>(true, false);
  auto entered = std::make_shared<std::atomic<bool>>(false);
  auto thread = Thread::Start([release, entered] {
    entered->store(true);
    release->Wait(kInfinite);
  });
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return entered->load(); }));

  const auto start = steady_clock::now();
  EXPECT_FALSE(thread->Join(150));
  const auto elapsed = steady_clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(140));
  EXPECT_LT(elapsed, milliseconds(10000));
  EXPECT_FALSE(thread->Finished());
  thread.reset();  // must not block: the thread was abandoned

  // The process goes on normally, and the abandoned body can still finish on its own.
  std::atomic<bool> ran{false};
  auto next = Thread::Start([&] { ran.store(true); });
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(next->Join(30000));
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(next->Finished());
  release->Set();
}

TEST(ThreadTest, ExceptionInBodyDoesNotEndTheProcess) {
  auto thread = Thread::Start([] { throw std::runtime_error("worker failed"); });
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(thread->Join(30000));
  EXPECT_TRUE(thread->Finished());
}

TEST(ThreadTest, DestructorJoinsARunningThread) {
  std::atomic<bool> done{false};
  Event go(true, false);
  {
    auto thread = Thread::Start([&] {
      go.Wait(kInfinite);
      done.store(true);
    });
    ASSERT_NE(thread, nullptr);
    go.Set();
  }
  EXPECT_TRUE(done.load());
}

}  // namespace
}  // namespace platform
