// The scratch directory of a fuzz target: one fresh directory per process (no '.' in its
// path, so index file names are never cut early), emptied before each input and removed at
// exit. The catalogue's temporary mappings go there too (TMPDIR), so a target leaves
// nothing behind in /tmp.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace fuzz {

inline std::string& ScratchDirStorage() {
  static std::string dir;
  return dir;
}

inline void RemoveScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(ScratchDirStorage(), ignored);
}

// Makes the directory (once) and points TMPDIR at it; returns it with a trailing '/'.
inline const std::string& ScratchDir() {
  std::string& dir = ScratchDirStorage();
  if (dir.empty()) {
    // Memory-backed when the machine has it: the recorder flushes every write.
    const bool shm = std::filesystem::is_directory("/dev/shm");
    char pattern[] = "/dev/shm/rectest_fuzz_XXXXXX";
    char fallback[] = "/tmp/rectest_fuzz_XXXXXX";
    const char* made = ::mkdtemp(shm ? pattern : fallback);
    if (made == nullptr) abort();
    dir = std::string(made) + "/";
    ::setenv("TMPDIR", made, 1);
    atexit(&RemoveScratchDir);
  }
  return dir;
}

// A target's start-up: the zone its inputs are read in, and the scratch directory.
inline void Initialize(const char* zone) {
  ::setenv("TZ", zone, 1);
  ::tzset();
  ScratchDir();
}

// Removes everything the last input left in the directory.
inline void EmptyScratchDir() {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(ScratchDir(), ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

inline void WriteScratchFile(const std::string& name, const uint8_t* data, size_t size) {
  std::ofstream out(ScratchDir() + name, std::ios::binary | std::ios::trunc);
  if (size > 0) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) abort();  // the scratch directory must stay writable
}

}  // namespace fuzz
