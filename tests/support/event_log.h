// The host side of a recorder's event callback: every event kept, for tests to count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "recorder.h"

namespace testsupport {

struct RecorderEvent {
  int32_t code;
  int32_t status;
  std::string path;
};

// The context given to _RECORDER_INIT points at the log.
class EventLog {
 public:
  static void Callback(RECORDER_HANDLE, uintptr_t context, int32_t code, int32_t status,
                       const char* path, int32_t length) {
    auto* log = reinterpret_cast<EventLog*>(context);
    platform::MutexLock hold(&log->mu_);
    log->events_.push_back(
        {code, status, path != nullptr ? std::string(path, static_cast<size_t>(length)) : ""});
  }
  uintptr_t Context() { return reinterpret_cast<uintptr_t>(this); }

  std::vector<RecorderEvent> Events() {
    platform::MutexLock hold(&mu_);
    return events_;
  }
  size_t Count(int32_t code, int32_t status, const std::string& path) {
    size_t n = 0;
    for (const RecorderEvent& e : Events()) {
      n += e.code == code && e.status == status && e.path == path;
    }
    return n;
  }
  size_t Count(int32_t code) {
    size_t n = 0;
    for (const RecorderEvent& e : Events()) n += e.code == code;
    return n;
  }

 private:
  platform::Mutex mu_;
  std::vector<RecorderEvent> events_;
};

}  // namespace testsupport
