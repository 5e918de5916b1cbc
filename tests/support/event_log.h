// The host side of a recorder's event callback: every event kept with the errno it came
// with, for tests to count, and an optional hook that runs inside the callback.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "recorder.h"

namespace testsupport {

struct RecorderEvent {
  int32_t code;
  int32_t status;
  std::string path;
  int error = 0;  // errno while the callback ran
  RECORDER_HANDLE recorder = nullptr;
};

// The context given to _RECORDER_INIT points at the log.
class EventLog {
 public:
  static void Callback(RECORDER_HANDLE recorder, uintptr_t context, int32_t code, int32_t status,
                       const char* path, int32_t length) {
    const int error = errno;
    auto* log = reinterpret_cast<EventLog*>(context);
    const RecorderEvent event{code, status,
                              path != nullptr ? std::string(path, static_cast<size_t>(length)) : "",
                              error, recorder};
    std::function<void(const RecorderEvent&)> hook;
    {
      platform::MutexLock hold(&log->mu_);
      log->events_.push_back(event);
      hook = log->hook_;
    }
    if (hook) hook(event);
  }
  uintptr_t Context() { return reinterpret_cast<uintptr_t>(this); }
  // Runs `hook` inside the callback for every later event (on the thread that raised it).
  void OnEvent(std::function<void(const RecorderEvent&)> hook) {
    platform::MutexLock hold(&mu_);
    hook_ = std::move(hook);
  }
  std::vector<RecorderEvent> Events() {
    platform::MutexLock hold(&mu_);
    return events_;
  }
  size_t Count(int32_t code, int32_t status, const std::string& path) {
    return CountIf([&](const RecorderEvent& e) {
      return e.code == code && e.status == status && e.path == path;
    });
  }
  size_t Count(int32_t code) {
    return CountIf([&](const RecorderEvent& e) { return e.code == code; });
  }

 private:
  template <typename Match>
  size_t CountIf(Match match) {
    const std::vector<RecorderEvent> events = Events();
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), match));
  }
  platform::Mutex mu_;
  std::vector<RecorderEvent> events_;
  std::function<void(const RecorderEvent&)> hook_;
};

}  // namespace testsupport
