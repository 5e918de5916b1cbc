// `dvrtool export`: one channel's video, in recorded order, as the elementary stream the
// camera produced (.h264) or in an MP4, Matroska or MPEG-TS file (.mp4, .mkv, .ts) at the
// stream's frame rate, pictures in display order, gaps kept (see CContainerWriter). Like
// `ffmpeg -ss`, a range starts at the key frame at or before its first second: the frames
// before it are there for decoding, timed before the file's start. Reads the files offline
// through the frame reader, in time order across them; audio stays out (the stored audio
// types name no codec).
#pragma once

#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>

namespace dvrtool {

enum class ExportFormat { kH264, kMp4, kMatroska, kMpegTs };

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
  uint64_t preRollFrames = 0;  // before --from, for decoding only (not in `frames`)
  time_t first = 0, last = 0;
  double frameRate = 0;  // of a container export
  int damagedFiles = 0;  // files with damaged records (each reported on `log`, then passed over)
};

// The format named by --format, or else by the output's extension (.h264 or .264, .mp4,
// .mkv, .ts; standard output is .h264). UsageError, listing the known ones, for any other.
ExportFormat ExportFormatFor(const std::string& out, const std::string& formatOption);

// Writes the export; with no frame found nothing is written and no file is left. Throws
// UsageError when the output cannot be made, RuntimeError when writing fails.
ExportOutcome ExportChannel(const ExportRequest& request, std::ostream& log);

}  // namespace dvrtool
