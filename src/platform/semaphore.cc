#include "platform/semaphore.h"

#include <chrono>

namespace platform {

Semaphore::Semaphore(int32_t initial, int32_t maximum)
    : count_(initial < 0 ? 0 : (initial > maximum ? maximum : initial)),
      maximum_(maximum < 0 ? 0 : maximum) {}

bool Semaphore::Acquire(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  const auto available = [this] { return count_ > 0; };
  if (timeoutMs == kInfinite) {
    cv_.wait(lock, available);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), available)) {
    return false;
  }
  --count_;
  return true;
}

bool Semaphore::Release(int32_t count) {
  if (count <= 0) return false;
  std::lock_guard<std::mutex> lock(mu_);
  if (count > maximum_ - count_) return false;  // over the maximum: nothing changes
  count_ += count;
  if (count == 1) {
    cv_.notify_one();
  } else {
    cv_.notify_all();
  }
  return true;
}

int32_t Semaphore::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return count_;
}

}  // namespace platform
