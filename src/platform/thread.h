// Worker threads with a bounded join. Linux cannot kill a single thread, so a join that
// times out detaches the thread and the owner never touches its state again: everything a
// worker uses must be jointly owned (shared_ptr) or outlive the process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class Thread {
 public:
  // Starts `body` on a new thread. Returns null when the thread cannot be created.
  static std::unique_ptr<Thread> Start(std::function<void()> body);
  // Joins when the thread has not been joined or abandoned yet: a destructor never blocks
  // forever by accident, so an owner must call Join with its own bound first.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Waits up to timeoutMs for the thread to end. true when it ended and was joined; false
  // when it is still running, in which case it is detached and abandoned.
  bool Join(uint32_t timeoutMs);
  // True once the body has returned.
  bool Finished() const;
  // True when called from this thread.
  bool IsCurrent() const;

  // Best effort: raise the priority of / pin to the first processor the calling thread.
  static void RaiseCurrentPriority();
  static void PinCurrentToFirstProcessor();

 private:
  Thread() = default;
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
