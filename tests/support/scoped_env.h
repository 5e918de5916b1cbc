// Environment settings for the length of a test: TZ (the recorder reads and stores local
// times), TMPDIR (where the catalogue's mapping files go) and the library's wall clock.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/local_time.h"

namespace testsupport {

// Sets an environment variable for a scope and puts the old value back. The zone is
// re-read on both sides, so it serves for TZ as well.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = std::string(old);
    setenv(name, value.c_str(), 1);
    tzset();
  }
  ~ScopedEnv() {
    old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_);
    tzset();
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct ScopedTimeZone : ScopedEnv {
  explicit ScopedTimeZone(const char* zone) : ScopedEnv("TZ", zone) {}
};

// Seconds of a local time, daylight saving decided by the system.
inline int64_t LocalSeconds(int year, int month, int day, int hour, int minute, int second = 0) {
  return platform::CTime::FromLocal(year, month, day, hour, minute, second).seconds();
}

// The wall clock that intake stamps and the deletion worker compares with, set by the test.
inline std::atomic<int64_t> g_testNow{0};

// Installs the test's wall clock for a scope (not copyable: the copy would uninstall it).
class ScopedTestClock {
 public:
  explicit ScopedTestClock(int64_t start) {
    g_testNow = start;
    platform::SetNowSecondsForTest([]() -> int64_t { return g_testNow.load(); });
  }
  ~ScopedTestClock() { platform::SetNowSecondsForTest(nullptr); }
  ScopedTestClock(const ScopedTestClock&) = delete;
  ScopedTestClock& operator=(const ScopedTestClock&) = delete;
};

}  // namespace testsupport
