#include "platform/semaphore.h"

#include <chrono>

namespace platform {

Semaphore::Semaphore(int32_t initial, int32_t maximum)
    : count_(initial < 0 ? 0 : (initial > maximum ? maximum : initial)),
      maximum_(maximum < 0 ? 0 : maximum) {}

bool Semaphore::TryTake() {
  int32_t seen = count_.load(std::memory_order_seq_cst);
  while (seen > 0) {
    if (count_.compare_exchange_weak(seen, seen - 1, std::memory_order_seq_cst)) return true;
  }
  return false;
}

bool Semaphore::Acquire(uint32_t timeoutMs) {
  if (TryTake()) return true;
  if (timeoutMs == 0) return false;
  std::unique_lock<std::mutex> lock(mu_);
  // Registered before the count is looked at again: a Release that adds a unit after that
  // look is bound to see a sleeper and to notify under the lock, after this thread waits.
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  const auto available = [this] { return TryTake(); };
  bool taken;
  if (timeoutMs == kInfinite) {
    cv_.wait(lock, available);
    taken = true;
  } else {
    taken = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), available);
  }
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
  return taken;
}

bool Semaphore::Release(int32_t count) {
  if (count <= 0) return false;
  int32_t seen = count_.load(std::memory_order_relaxed);
  do {
    if (count > maximum_ - seen) return false;  // over the maximum: nothing changes
  } while (!count_.compare_exchange_weak(seen, seen + count, std::memory_order_seq_cst));
  if (sleepers_.load(std::memory_order_seq_cst) == 0) return true;
  // Under the lock, the notify comes after any sleeper's last look at the count. It stays
  // under the lock because a woken thread may destroy the semaphore as soon as it returns.
  std::lock_guard<std::mutex> lock(mu_);
  if (count == 1) {
    cv_.notify_one();
  } else {
    cv_.notify_all();
  }
  return true;
}

int32_t Semaphore::Count() const { return count_.load(std::memory_order_seq_cst); }

}  // namespace platform
