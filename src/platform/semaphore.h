// Counting semaphore with a maximum, as on Win32: Release beyond the maximum fails quietly
// and changes nothing (the recorder's teardown relies on that).
//
// The recorder's host thread and writer threads pass units back and forth for every frame,
// so the count lives in an atomic: taking a unit that is there, or giving units back while
// nobody sleeps, touches no lock and wakes nobody. The mutex and condition variable are only
// for a side that has to sleep.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/event.h"

namespace platform {

class Semaphore {
 public:
  Semaphore(int32_t initial, int32_t maximum);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Takes one unit, waiting up to timeoutMs (kInfinite = no limit). false on time-out.
  bool Acquire(uint32_t timeoutMs = kInfinite);
  // Gives `count` units back. Returns false (and changes nothing) when the count would
  // exceed the maximum.
  bool Release(int32_t count = 1);
  int32_t Count() const;

 private:
  // Takes a unit if one is there, without the lock.
  bool TryTake();

  std::mutex mu_;
  std::condition_variable cv_;
  std::atomic<int32_t> count_;
  // Threads inside the sleeping part of Acquire; Release takes the lock and notifies only
  // when this is non-zero.
  std::atomic<int32_t> sleepers_{0};
  const int32_t maximum_;
};

}  // namespace platform
