#include "platform/event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(uint32_t timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// A WaitAny call in progress. Each event it waits on holds a pointer to it while the call
// lasts and pings it on Set, so the waiter sleeps until something changes instead of
// polling both events.
struct AnyWaiter {
  std::mutex mu;
  std::condition_variable cv;
  bool pinged = false;

  void Ping() {
    std::lock_guard<std::mutex> lock(mu);
    pinged = true;
    cv.notify_one();
  }
};

}  // namespace

struct Event::State {
  State(bool manual, bool signalled) : manualReset(manual), isSignalled(signalled) {}

  // Takes the signal if there is one; an auto-reset event is left unsignalled.
  bool TryConsumeLocked() {
    if (!isSignalled) return false;
    if (!manualReset) isSignalled = false;
    return true;
  }

  const bool manualReset;
  std::mutex mu;
  std::condition_variable cv;
  bool isSignalled;                    // guarded by mu
  std::vector<AnyWaiter*> anyWaiters;  // guarded by mu
};

Event::Event(bool manualReset, bool initiallySignalled)
    : state_(std::make_shared<State>(manualReset, initiallySignalled)) {}

Event::~Event() = default;

void Event::Set() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->isSignalled = true;
  // An auto-reset signal releases one wait; the woken thread rechecks under the mutex, so
  // a signal taken meanwhile by another waiter is never lost nor counted twice.
  if (state_->manualReset) {
    state_->cv.notify_all();
  } else {
    state_->cv.notify_one();
  }
  for (AnyWaiter* waiter : state_->anyWaiters) waiter->Ping();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->isSignalled = false;
}

bool Event::Wait(uint32_t timeoutMs) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mu);
  if (timeoutMs == kInfinite) {
    s.cv.wait(lock, [&s] { return s.isSignalled; });
    return s.TryConsumeLocked();
  }
  if (!s.cv.wait_until(lock, DeadlineAfter(timeoutMs), [&s] { return s.isSignalled; })) {
    return false;
  }
  return s.TryConsumeLocked();
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->isSignalled;
}

int WaitAny(Event& first, Event& second, uint32_t timeoutMs) {
  return WaitAnyMicros(first, second,
                       timeoutMs == kInfinite ? kInfiniteMicros : uint64_t{timeoutMs} * 1000u);
}

int WaitAnyMicros(Event& first, Event& second, uint64_t timeoutUs) {
  Event::State* states[2] = {first.state_.get(), second.state_.get()};
  AnyWaiter waiter;
  for (Event::State* s : states) {
    std::lock_guard<std::mutex> lock(s->mu);
    s->anyWaiters.push_back(&waiter);
  }
  // Anything beyond a century is as good as no limit, and cannot overflow the clock.
  constexpr uint64_t kLongestBoundedUs = uint64_t{100} * 365 * 24 * 3600 * 1000000;
  const bool bounded = timeoutUs <= kLongestBoundedUs;
  const Clock::time_point deadline =
      bounded ? Clock::now() + std::chrono::microseconds(timeoutUs) : Clock::time_point();
  int result = -1;
  for (;;) {
    // Registered before the check, so a Set that lands after it still pings us.
    for (int i = 0; i < 2 && result < 0; ++i) {
      std::lock_guard<std::mutex> lock(states[i]->mu);
      if (states[i]->TryConsumeLocked()) result = i;
    }
    if (result >= 0) break;
    std::unique_lock<std::mutex> lock(waiter.mu);
    if (bounded) {
      if (!waiter.cv.wait_until(lock, deadline, [&waiter] { return waiter.pinged; })) break;
    } else {
      waiter.cv.wait(lock, [&waiter] { return waiter.pinged; });
    }
    waiter.pinged = false;
  }
  if (result < 0) {
    // One last look: a signal that arrived exactly at the deadline still counts.
    for (int i = 0; i < 2 && result < 0; ++i) {
      std::lock_guard<std::mutex> lock(states[i]->mu);
      if (states[i]->TryConsumeLocked()) result = i;
    }
  }
  for (Event::State* s : states) {
    std::lock_guard<std::mutex> lock(s->mu);
    auto& list = s->anyWaiters;
    auto it = std::find(list.begin(), list.end(), &waiter);
    if (it != list.end()) list.erase(it);
  }
  return result;
}

}  // namespace platform
