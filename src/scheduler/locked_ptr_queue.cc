#include "scheduler/locked_ptr_queue.h"

#include <new>

namespace scheduler {

int32_t CLockedPtrQueue::Push(void* entry) {
  platform::MutexLock hold(&lock_);
  if (static_cast<int64_t>(list_.size()) > limit_) return 0;
  try {
    list_.push_back(entry);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

void* CLockedPtrQueue::Pop() {
  platform::MutexLock hold(&lock_);
  if (list_.empty()) return nullptr;
  void* head = list_.front();
  list_.pop_front();
  return head;
}

int32_t CLockedPtrQueue::Count() const {
  platform::MutexLock hold(&lock_);
  return static_cast<int32_t>(list_.size());
}

void* CLockedPtrQueue::Front() const {
  platform::MutexLock hold(&lock_);
  return list_.empty() ? nullptr : list_.front();
}

void CLockedPtrQueue::SetLimit(int32_t limit) {
  platform::MutexLock hold(&lock_);
  limit_ = limit;
}

}  // namespace scheduler
