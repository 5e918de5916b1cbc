#include "stop_signals.h"

#include <unistd.h>

#include <cstdio>

namespace dvrtool {

CStopSignals::CStopSignals() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set_, &previous_);
  watcher_ = std::thread([this] { Watch(); });
}

CStopSignals::~CStopSignals() {
  closing_ = true;
  pthread_kill(watcher_.native_handle(), SIGTERM);
  watcher_.join();
  // A signal that came in after the watcher ended stays pending and is dropped here.
  sigset_t pending;
  sigpending(&pending);
  if (sigismember(&pending, SIGINT) || sigismember(&pending, SIGTERM)) {
    timespec now{0, 0};
    while (sigtimedwait(&set_, nullptr, &now) > 0) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void CStopSignals::Watch() {
  for (;;) {
    int number = 0;
    if (sigwait(&set_, &number) != 0) continue;
    if (closing_) return;
    if (signal_.exchange(number) != 0) {
      static const char kAgain[] = "\ndvrtool: stopped at once by a second signal\n";
      (void)!write(STDERR_FILENO, kAgain, sizeof(kAgain) - 1);
      _exit(130);
    }
    static const char kStopping[] = "\ndvrtool: stopping (again to quit at once)\n";
    (void)!write(STDERR_FILENO, kStopping, sizeof(kStopping) - 1);
  }
}

}  // namespace dvrtool
