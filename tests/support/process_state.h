// Threads, descriptors and resident memory of the test process, read from /proc, to check
// that the library leaves nothing behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "support/wait_until.h"

namespace testsupport {

// Entries of a directory whose names start with `prefix`; 0 when it cannot be read.
inline size_t CountEntries(const std::string& dir, const std::string& prefix = "") {
  size_t count = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    count += it->path().filename().string().rfind(prefix, 0) == 0;
  return count;
}

inline int ThreadCount() { return static_cast<int>(CountEntries("/proc/self/task")); }

// Waits (generously) until the thread count drops to `expected` or below; a thread that has been
// joined may take a moment to leave /proc.
inline bool WaitForThreadCount(int expected, int limitMs = 30000) {
  return WaitUntil([&] { return ThreadCount() <= expected; }, limitMs);
}

// The thread count to compare with after a test. ThreadSanitizer starts a background
// thread of its own at the process's first thread creation, so one thread is created and
// joined before counting; a sanitizer's own thread stays.
inline int BaselineThreadCount() {
  const int before = ThreadCount();
  std::thread([] {}).join();
  WaitForThreadCount(before, 500);
  return ThreadCount();
}

// Open descriptors, as "number -> target" strings.
inline std::set<std::string> OpenDescriptors() {
  std::set<std::string> result;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    // The directory iterator's own descriptor is gone by the next listing.
    if (!error && target.string().find("/proc/") == 0) continue;
    result.insert(entry.path().filename().string() + " -> " + (error ? "?" : target.string()));
  }
  return result;
}

// Open descriptors of files under `dir`, unnamed and unlinked ones included.
inline size_t OpenFilesUnder(const std::string& dir) {
  size_t count = 0;
  for (const std::string& d : OpenDescriptors()) count += d.find(" -> " + dir) != std::string::npos;
  return count;
}

// Resident memory of this process in bytes (VmRSS); 0 when /proc cannot tell.
inline int64_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line) && line.rfind("VmRSS:", 0) != 0) {
  }
  return line.empty() ? 0 : std::stoll(line.substr(6)) * 1024;
}

}  // namespace testsupport
