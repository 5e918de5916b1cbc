// Pieces shared by the host-side benchmark programs (intake_bench, cpu_bench, load_bench):
// the command line (--dir, --quick), a scratch directory that is removed on exit, a recorder
// with a rotation set in that directory, and a video frame descriptor over a host buffer.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "recorder.h"

namespace hostbench {

struct Options {
  std::string dir;  // scratch directory given with --dir; empty = make one
  bool quick = false;
};

// Parses --dir DIR and --quick. false (after a usage line) on anything else.
inline bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      options->quick = true;
    } else if (arg == "--dir" && i + 1 < argc) {
      options->dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--dir DIR] [--quick]\n", argv[0]);
      return false;
    }
  }
  return true;
}

// A directory for one run: a fresh mkdtemp directory inside `parent` (so a given --dir is
// never removed itself, only what the run made in it). The recorder derives index names
// from the first '.' of a path, so a path with a dot is refused.
class ScratchDir {
 public:
  ScratchDir() = default;
  ~ScratchDir() {
    if (!path_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(path_, ignored);
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool Make(std::string parent) {
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    std::string pattern = parent + "/hostbench_XXXXXX";
    if (pattern.find('.') != std::string::npos) {
      std::fprintf(stderr, "scratch path %s holds a '.', which changes index file names\n",
                   pattern.c_str());
      return false;
    }
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
      std::perror(("mkdtemp in " + parent).c_str());
      return false;
    }
    path_ = buffer.data();
    return true;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A recorder over `files` data files named <dir>/recN.VDB, with all 32 channels switched on.
inline RECORDER_HANDLE MakeRecorder(const std::string& dir, int files) {
  RECORDER_HANDLE recorder = _RECORDER_INIT("hostbench", 0, nullptr);
  if (recorder == nullptr) return nullptr;
  for (int n = 0; n < files; ++n) {
    const std::string path = dir + "/rec" + std::to_string(n) + ".VDB";
    _RECORDER_ADDFILEPATH(recorder, path.c_str());
  }
  for (uint32_t c = 0; c < 32; ++c) _RECORDER_SETRECORD(recorder, c, 1);
  return recorder;
}

// Removes what MakeRecorder's set left in `dir` (data and index files).
inline void RemoveRecorderFiles(const std::string& dir, int files) {
  std::error_code ignored;
  for (int n = 0; n < files; ++n) {
    std::filesystem::remove(dir + "/rec" + std::to_string(n) + ".VDB", ignored);
    std::filesystem::remove(dir + "/rec" + std::to_string(n) + ".FIH", ignored);
  }
}

// A video frame over `size` bytes at `data`, as a capture front end fills it.
inline FrameDescriptor VideoFrame(const uint8_t* data, uint32_t size, bool key) {
  FrameDescriptor d;
  std::memset(&d, 0, sizeof(d));
  d.type = 1;
  d.dataStart = 0;
  d.dataEnd = size;
  d.keyFlag = key ? 1 : 0;
  d.statSize = size;
  d.videoData = data;
  return d;
}

}  // namespace hostbench
