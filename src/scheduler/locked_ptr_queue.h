// A bounded FIFO of untyped pointers behind its own lock. CFrameQueue keeps its per-second
// group marks in one. The queue never frees what it holds: whoever pops an entry owns it,
// and a refused push leaves the pointer with the caller.
#pragma once

#include <cstdint>
#include <deque>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace scheduler {

class CLockedPtrQueue {
 public:
  CLockedPtrQueue() = default;
  // Drops the list without touching the entries (owners drain it first).
  ~CLockedPtrQueue() = default;
  CLockedPtrQueue(const CLockedPtrQueue&) = delete;
  CLockedPtrQueue& operator=(const CLockedPtrQueue&) = delete;

  // 1 when appended; 0 when the queue already holds more than the limit.
  int32_t Push(void* entry) EXCLUDES(lock_);
  // The head, or null when empty.
  void* Pop() EXCLUDES(lock_);
  // The head, left in place, or null when empty.
  void* Front() const EXCLUDES(lock_);
  int32_t Count() const EXCLUDES(lock_);
  void SetLimit(int32_t limit) EXCLUDES(lock_);

 private:
  mutable platform::Mutex lock_;
  int32_t limit_ GUARDED_BY(lock_) = 5;
  std::deque<void*> list_ GUARDED_BY(lock_);
};

}  // namespace scheduler
