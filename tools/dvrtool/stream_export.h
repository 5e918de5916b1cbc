// `dvrtool export`: one channel's video, in recorded order, as the elementary stream the
// camera produced (.h264) or in an MP4 or Matroska file (.mp4, .mkv) where every frame keeps
// its recorded time: its second, and within the second the millisecond playback gives it
// (frame k of the n the channel recorded in that second is at k * 1000 / n ms), so the frame
// rate is variable and gaps stay gaps. It starts at the channel's first key frame in the
// range, so any player can open the file. Reads the files offline; audio stays out (the
// stored audio types name no codec).
#pragma once

#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>

namespace dvrtool {

enum class ExportFormat { kH264, kMp4, kMatroska };

struct ExportRequest {
  std::string dir;
  uint32_t channel = 0;
  time_t from = 0;        // inclusive, seconds
  time_t to = INT32_MAX;  // inclusive
  std::string out;        // a file, or "-" for standard output
  ExportFormat format = ExportFormat::kH264;
  bool overwrite = false;  // replace an existing `out`
  bool quiet = false;      // no progress line
};

struct ExportOutcome {
  uint64_t frames = 0;
  uint64_t keyFrames = 0;
  uint64_t bytes = 0;
  time_t first = 0, last = 0;
  int damagedFiles = 0;  // files whose records stopped early (reported on `log`)
};

// The format named by --format, or else by the output's extension (.mp4, .mkv; anything
// else is .h264). UsageError for an unknown name.
ExportFormat ExportFormatFor(const std::string& out, const std::string& formatOption);

// Writes the export; with no frame found nothing is written and no file is left. Throws
// UsageError when the output cannot be made, RuntimeError when writing fails.
ExportOutcome ExportChannel(const ExportRequest& request, std::ostream& log);

}  // namespace dvrtool
