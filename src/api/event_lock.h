// CEventLock: the lock used throughout the library, an auto-reset event that starts
// signalled (wait = lock, signal = unlock). It is not re-entrant, and any thread may unlock
// it, which is why it is not a std::mutex. The global locks, the recorder's intake and write
// locks and the path list use it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "platform/thread_annotations.h"

class CAPABILITY("mutex") CEventLock {
 public:
  CEventLock();
  virtual ~CEventLock();
  CEventLock(const CEventLock&) = delete;
  CEventLock& operator=(const CEventLock&) = delete;

  // Waits for the lock up to `timeout` ms and returns 1 whatever the wait gave. Every caller
  // in the library passes the unlimited time-out.
  int32_t Lock(uint32_t timeout = platform::kInfinite) ACQUIRE();
  void Unlock() RELEASE();

 private:
  std::unique_ptr<platform::Event> event;
};

// Holds a CEventLock for a scope.
class SCOPED_CAPABILITY EventLockHolder {
 public:
  explicit EventLockHolder(CEventLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~EventLockHolder() RELEASE() { lock_.Unlock(); }
  EventLockHolder(const EventLockHolder&) = delete;
  EventLockHolder& operator=(const EventLockHolder&) = delete;

 private:
  CEventLock& lock_;
};
