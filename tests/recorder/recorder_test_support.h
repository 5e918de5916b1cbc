// Shared pieces of the recorder tests: a fresh directory per test, a time-zone guard, and a
// recorder whose "open next file" step only records that it ran.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <string>

#include "recorder/recorder.h"

namespace recorder_test {

// A fresh directory under /tmp (no dot in its path), removed at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/rectest_XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets TZ for the lifetime of the object and restores the previous value.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* previous = getenv("TZ");
    hadPrevious_ = previous != nullptr;
    if (hadPrevious_) previous_ = previous;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (hadPrevious_) {
      setenv("TZ", previous_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool hadPrevious_ = false;
  std::string previous_;
};

// A CRecorder whose rotation step opens nothing: it succeeds when the rotation set is not
// empty (as the real step does), counts its calls and publishes the file after the newest
// one as the data file in use.
class ProbeRecorder : public CRecorder {
 public:
  int32_t OpenNextFile() override {
    ++openCalls;
    if (fileCount == 0) return 0;
    const int32_t next = (currentFile + 1) % fileCount;
    SetCurrentDataFile(fileNames[static_cast<size_t>(next)]);
    return 1;
  }
  int openCalls = 0;
};

}  // namespace recorder_test
