// Counting semaphore with a maximum, as on Win32: Release beyond the maximum fails quietly
// and changes nothing (the recorder's teardown relies on that).
#pragma once

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
  mutable std::mutex mu_;
  std::condition_variable cv_;
  int32_t count_;
  const int32_t maximum_;
};

}  // namespace platform
