// Ctrl-C (SIGINT) and SIGTERM as a request to end normally. The signals are blocked in every
// thread (the library's threads inherit the mask, so they are never interrupted) and taken
// by one watcher thread with sigwait, which only raises a flag: no library call is made
// from a signal context. `record` and `play` poll the flag and then stop through the
// library's own STOP, so every accepted frame is stored. A second signal while the first is
// being handled ends the process at once with status 130.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

namespace dvrtool {

class CStopSignals {
 public:
  // Must be made before the recorder library starts any thread.
  CStopSignals();
  ~CStopSignals();
  CStopSignals(const CStopSignals&) = delete;
  CStopSignals& operator=(const CStopSignals&) = delete;

  bool requested() const { return signal_.load() != 0; }
  int signal() const { return signal_.load(); }

 private:
  void Watch();

  sigset_t set_;
  sigset_t previous_;
  std::atomic<int> signal_{0};
  std::atomic<bool> closing_{false};
  std::thread watcher_;
};

}  // namespace dvrtool
