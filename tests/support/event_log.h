// The host side of a recorder's event callback: every event kept with the errno it came
// with, for tests to count, and an optional hook that runs inside the callback.
#pragma once

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "recorder.h"

namespace testsupport {

struct RecorderEvent {
  int32_t code, status;
  std::string path;
  int error = 0;  // errno while the callback ran
  RECORDER_HANDLE recorder = nullptr;
};

// The context given to _RECORDER_INIT points at the log.
class EventLog {
 public:
  using Hook = std::function<void(const RecorderEvent&)>;
  static void Callback(RECORDER_HANDLE recorder, uintptr_t context, int32_t code, int32_t status,
                       const char* path, int32_t length) {
    const RecorderEvent event{code, status,
                              path != nullptr ? std::string(path, static_cast<size_t>(length)) : "",
                              errno, recorder};
    auto* log = reinterpret_cast<EventLog*>(context);
    Hook hook;
    {
      platform::MutexLock hold(&log->mu_);
      log->events_.push_back(event);
      hook = log->hook_;
    }
    if (hook) hook(event);
  }
  uintptr_t Context() { return reinterpret_cast<uintptr_t>(this); }
  // Runs `hook` inside the callback for every later event (on the thread that raised it).
  void OnEvent(Hook hook) {
    platform::MutexLock hold(&mu_);
    hook_ = std::move(hook);
  }
  std::vector<RecorderEvent> Events() {
    platform::MutexLock hold(&mu_);
    return events_;
  }
  // Events of `code`; with a status, only those with that status and path.
  size_t Count(int32_t code, std::optional<int32_t> status = {}, const std::string& path = "") {
    size_t n = 0;
    for (const RecorderEvent& e : Events())
      n += e.code == code && (!status || (e.status == *status && e.path == path));
    return n;
  }

 private:
  platform::Mutex mu_;
  std::vector<RecorderEvent> events_;
  Hook hook_;
};

}  // namespace testsupport
