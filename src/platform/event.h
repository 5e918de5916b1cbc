// Win32-style events: manual-reset (stays signalled until Reset) or auto-reset (one
// successful wait consumes the signal and wakes exactly one waiter). Built on a mutex and
// a condition variable. WaitAny waits for the first of two events.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Event {
 public:
  Event(bool manualReset, bool initiallySignalled);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits up to timeoutMs (kInfinite = no limit). Returns true when the event was signalled
  // (and, for an auto-reset event, consumes the signal), false on time-out.
  bool Wait(uint32_t timeoutMs = kInfinite);
  // Signalled right now (does not consume an auto-reset signal).
  bool IsSet() const;

 private:
  friend int WaitAny(Event& first, Event& second, uint32_t timeoutMs);
  friend int WaitAnyMicros(Event& first, Event& second, uint64_t timeoutUs);
  struct State;
  std::shared_ptr<State> state_;
};

// Waits until `first` or `second` is signalled. Returns 0 or 1 for the event that ended
// the wait (consuming an auto-reset signal), -1 on time-out. When both are signalled, 0.
int WaitAny(Event& first, Event& second, uint32_t timeoutMs);

// As WaitAny, with the time-out in microseconds (kInfiniteMicros = no limit), for a thread
// that has to wake close to a deadline finer than a millisecond (the scheduler's pacing).
inline constexpr uint64_t kInfiniteMicros = UINT64_MAX;
int WaitAnyMicros(Event& first, Event& second, uint64_t timeoutUs);

}  // namespace platform
