// Runs a body in a forked child that dies with the test process, and waits for it a bounded
// time: a hang or a fatal signal costs one test, not the suite. Fork only while the process
// runs no other thread of the library.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// The child's exit status (body's result), 128 + signal when a signal ended it, or -1 when
// it did not end within timeoutMs (it is killed then).
inline int RunInChild(const std::function<int()>& body, int timeoutMs = 20000) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::_exit(body());
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace testsupport
