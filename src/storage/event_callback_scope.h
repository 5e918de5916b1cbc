// CEventCallbackScope: marks the calling thread as being inside the host's event callback of
// one recorder for as long as the scope lives. Events 2 and 3 are raised under the recorder's
// writeLock (on its writer threads, and on host threads inside START, STOP, END and the
// restarting settings), and event 1 on its deletion worker; an export that would wait for
// writeLock, the rings or the deletion worker of that same recorder asks Inside() first and
// refuses at once instead of waiting forever for its own thread. Scopes nest (a callback may
// call into another recorder whose callback runs on the same thread), so every recorder whose
// callback is under way on the thread counts.
#pragma once

#include "recorder.h"

class CEventCallbackScope {
 public:
  explicit CEventCallbackScope(RECORDER_HANDLE recorder);
  ~CEventCallbackScope();
  CEventCallbackScope(const CEventCallbackScope&) = delete;
  CEventCallbackScope& operator=(const CEventCallbackScope&) = delete;

  // True on a thread that is inside an event callback of `recorder`. Handles are only
  // compared, so any value is safe.
  static bool Inside(RECORDER_HANDLE recorder);
  // True on a thread inside the event callback of any recorder.
  static bool InsideAny();

 private:
  RECORDER_HANDLE recorder_;
  const CEventCallbackScope* outer_;
};
