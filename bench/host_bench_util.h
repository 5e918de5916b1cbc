// Pieces shared by the host-side benchmark programs (intake_bench, cpu_bench, load_bench): a
// recorder with a rotation set in a scratch directory, and a video frame descriptor over a
// host buffer. The command line and the scratch directory come from bench_util.h.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_util.h"
#include "recorder.h"

namespace hostbench {

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
