// `dvrtool export`: one channel's video, in recorded order, written out as the elementary
// stream the camera produced. It starts at the channel's first key frame in the range, so any
// player can open the file. Reads the files offline.
#pragma once

#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>

namespace dvrtool {

struct ExportRequest {
  std::string dir;
  uint32_t channel = 0;
  time_t from = 0;        // inclusive, seconds
  time_t to = INT32_MAX;  // inclusive
  std::string out;
};

struct ExportOutcome {
  uint64_t frames = 0;
  uint64_t keyFrames = 0;
  uint64_t bytes = 0;
  time_t first = 0, last = 0;
  int damagedFiles = 0;  // files whose records stopped early (reported on `log`)
};

// Throws UsageError when the output cannot be written.
ExportOutcome ExportChannel(const ExportRequest& request, std::ostream& log);

}  // namespace dvrtool
