// The one lock type of the library, its scoped holder and the condition variable a thread
// waits on under it, with Clang's thread-safety annotations (as LevelDB's port layer has
// them), so -Wthread-safety checks every field marked GUARDED_BY. The process-wide locks,
// the recorder's intake and write locks, the path list, the catalogue, the rings and every
// small query lock are Mutexes. None is re-entrant: a thread that takes a lock it holds
// waits for ever, which is why the host's callbacks are kept from re-entering the exports
// that take the lock their caller holds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex for a scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// A condition variable used with a Mutex the caller holds. The waits may end without a
// signal, so a caller waits in a loop over its condition, written out where the analysis
// sees the lock held:
//   MutexLock hold(&mu);
//   while (!ready) changed.Wait(&mu);
class CondVar {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mu` while waiting and holds it again on return.
  void Wait(Mutex* mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // The same, ending at `deadline` at the latest: false when the deadline has passed.
  bool WaitUntil(Mutex* mu, Deadline deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    const bool signalled = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace platform
