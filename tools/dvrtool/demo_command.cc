// `dvrtool demo`: the whole library in one run. Records the bundled sample on every channel
// with audio on channel 0, lists the dates, prints the day's timeline, plays channel 0 back
// at rate 4 through a file search and checks every returned frame byte for byte, exports
// channel 0 and checks the export, verifies the files, and sums up. A run that passes removes
// the files it wrote (about 600 MiB reserved on disk) unless asked to keep them; a run that
// fails keeps them and says where.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "bundled_sample.h"
#include "command_line.h"
#include "commands.h"
#include "data_set_verifier.h"
#include "errors.h"
#include "file_search_session.h"
#include "h264_splitter.h"
#include "play_report.h"
#include "record_session.h"
#include "stream_export.h"
#include "timeline_view.h"

namespace dvrtool {
namespace {

constexpr float kDemoRate = 4.0f;
constexpr int kDemoFiles = 3;

std::string MakeDemoDirectory() {
  std::string base = "/tmp";
  if (const char* tmp = getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') base = tmp;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string pattern = base + "/dvrdemo_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw RuntimeError("cannot make a directory under " + base + ": " + std::strerror(errno));
  }
  return pattern;
}

// The files a run writes into its directory: the rotation set with its index files, the
// day's picture and the export.
std::vector<std::string> DemoFiles(const std::string& dir) {
  std::vector<std::string> files;
  for (const std::string& data : DataFileNames(dir, kDemoFiles)) {
    files.push_back(data);
    files.push_back(data.substr(0, data.rfind('.')) + ".FIH");
  }
  files.push_back(dir + "/timeline.svg");
  files.push_back(dir + "/channel0.h264");
  return files;
}

// Removes what the run wrote, and the directory too when the run made it.
void RemoveDemoFiles(const std::string& dir, bool madeDirectory) {
  std::error_code ignored;
  for (const std::string& file : DemoFiles(dir)) {
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(file, ignored)))
      std::filesystem::remove(file, ignored);
  }
  if (madeDirectory) std::filesystem::remove(dir, ignored);
}

struct PlaybackCheck {
  size_t frames = 0, keys = 0, mismatches = 0, missingKeys = 0;
  std::string firstProblem;
};

// Every frame that came back must be the unit its tag names, byte for byte, in recorded
// order; every key frame recorded must have come back (rate 4 thins only the others).
PlaybackCheck CheckPlayback(const std::vector<PlayedFrame>& frames, std::span<const uint8_t> stream,
                            const std::vector<AccessUnit>& units, uint32_t frameCount,
                            uint32_t firstRecorded) {
  PlaybackCheck check;
  std::vector<bool> keySeen(frameCount, false);
  int64_t lastTag = -1;
  for (const PlayedFrame& f : frames) {
    if (f.audio) continue;
    ++check.frames;
    std::string problem;
    if (f.tag >= frameCount) {
      problem = "tag " + std::to_string(f.tag) + " was never recorded";
    } else {
      const AccessUnit& unit = UnitOfSerial(units, f.tag);
      const uint32_t type = unit.key ? kKeyFrameType : kPictureFrameType;
      if (static_cast<int64_t>(f.tag) <= lastTag) {
        problem = "frame " + std::to_string(f.tag) + " came after frame " + std::to_string(lastTag);
      } else if (f.payload.size() != unit.size ||
                 std::memcmp(f.payload.data(), stream.data() + unit.offset, unit.size) != 0) {
        problem = "frame " + std::to_string(f.tag) + " differs from what was recorded";
      } else if (f.key != unit.key || f.type != type) {
        problem = "frame " + std::to_string(f.tag) + " came back with the wrong key flag or type";
      }
      if (f.key && problem.empty()) {
        keySeen[f.tag] = true;
        ++check.keys;
      }
      lastTag = f.tag;
    }
    if (!problem.empty()) {
      ++check.mismatches;
      if (check.firstProblem.empty()) check.firstProblem = problem;
    }
  }
  for (uint32_t serial = firstRecorded; serial < frameCount; ++serial) {
    if (UnitOfSerial(units, serial).key && !keySeen[serial]) {
      ++check.missingKeys;
      if (check.firstProblem.empty()) {
        check.firstProblem = "key frame " + std::to_string(serial) + " did not come back";
      }
    }
  }
  return check;
}

// The demo's steps; the number of checks that failed.
int RunDemo(const RecordOptions& options, bool keep) {
  const std::span<const uint8_t> stream = BundledSample();
  const SplitResult split = SplitAccessUnits(stream);
  if (!split.error.empty()) throw RuntimeError("the bundled sample: " + split.error);
  const std::vector<AccessUnit>& units = split.units;
  const uint32_t frameCount = static_cast<uint32_t>(options.seconds) * kFramesPerSecond;
  int failures = 0;

  std::printf("dvrtool demo\n  directory: %s\n", options.dir.c_str());
  std::printf("  input: bundled H.264 sample, %zu access units (%zu KiB), 640x360 at 25 fps\n",
              units.size(), stream.size() / 1024);
  std::printf("\n== record: %d s on %s + audio on channel 0, %s\n", options.seconds,
              Counted(static_cast<uint64_t>(options.channels), "channel").c_str(),
              Counted(static_cast<uint64_t>(options.files), "data file").c_str());
  const RecordOutcome recorded = Record(options, stream, units);
  std::printf("  %llu video frames taken (%llu refused), %llu audio frames, %.2f MB in %.1f s\n",
              static_cast<unsigned long long>(recorded.framesTaken),
              static_cast<unsigned long long>(recorded.framesRefused),
              static_cast<unsigned long long>(recorded.audioTaken), recorded.bytes / 1e6,
              recorded.elapsed);
  if (recorded.framesRefused != 0 || recorded.fileEvents != 0) {
    std::printf("  FAILED: the recorder refused frames or reported file errors\n");
    ++failures;
  }

  std::printf("\n== dates\n");
  time_t day = recorded.firstSecond;
  std::vector<PlayedFrame> played;
  {
    CFileSearchSession search(options.dir);
    const std::vector<time_t> dates = search.Dates();
    for (const time_t d : dates) std::printf("  %s\n", FormatLocalDate(d).c_str());
    if (dates.empty()) {
      std::printf("  FAILED: no recorded dates\n");
      ++failures;
    }

    const time_t midnight = ParseLocalDate(FormatLocalDate(day));
    std::printf("\n== timeline of %s\n", FormatLocalDate(midnight).c_str());
    const DayTable table = search.Day(midnight + 12 * 3600);
    // Only the hours with recordings, so the demo's output stays short.
    std::istringstream lines(HoursByMinutes(table));
    std::string line;
    for (int n = 0; std::getline(lines, line); ++n) {
      const bool header = n < 2 || line.rfind("  #", 0) == 0;
      if (header || line.find_first_of("#@AB~", 12) != std::string::npos) {
        std::printf("%s\n", line.c_str());
      }
    }
    const std::string svgPath = options.dir + "/timeline.svg";
    std::ofstream(svgPath) << DaySvg(table, midnight);
    if (keep) std::printf("  picture: %s\n", svgPath.c_str());

    std::printf("\n== play channel 0 at rate %.1f from %s\n", static_cast<double>(kDemoRate),
                FormatLocalDateTime(recorded.firstSecond).c_str());
    PlayOptions play;
    play.from = recorded.firstSecond;
    play.rate = kDemoRate;
    play.channel = 0;
    play.maxSeconds = options.seconds / kDemoRate + 30;
    play.done = [&](const std::vector<PlayedFrame>& frames) {
      // Done once playback wraps round to the start, or has shown the last key frame and
      // gone quiet.
      int64_t last = -1;
      for (const PlayedFrame& f : frames) {
        if (f.audio) continue;
        if (static_cast<int64_t>(f.tag) < last) return true;
        last = f.tag;
      }
      if (frames.empty()) return false;
      const auto quiet = std::chrono::steady_clock::now() - frames.back().arrival;
      return last + kFramesPerSecond >= static_cast<int64_t>(frameCount) &&
             quiet > std::chrono::milliseconds(1500);
    };
    played = search.Play(play);
  }
  // Keep the first pass only.
  std::vector<PlayedFrame> pass;
  int64_t lastTag = -1;
  for (const PlayedFrame& f : played) {
    if (!f.audio && static_cast<int64_t>(f.tag) < lastTag) break;
    if (!f.audio) lastTag = f.tag;
    pass.push_back(f);
  }
  // A seek lands just after the first record at or after its time, and channel 0's first
  // frame is the first record of the recording: it is the one frame not played.
  const PlaybackCheck check = CheckPlayback(pass, stream, units, frameCount, 1);
  std::printf("  %s", DescribePlay(SummarizePlay(pass), "  ").c_str());
  std::printf("  %zu of %zu video frames differ from what was recorded, %s missing\n",
              check.mismatches, check.frames, Counted(check.missingKeys, "key frame").c_str());
  std::printf("  %s\n", DescribeLateness(MeasureLateness(pass, kDemoRate)).c_str());
  if (check.frames == 0 || check.mismatches != 0 || check.missingKeys != 0) {
    std::printf("  FAILED: %s\n",
                check.firstProblem.empty() ? "nothing came back" : check.firstProblem.c_str());
    ++failures;
  } else {
    std::printf("  every frame that came back is byte-identical to the recorded one\n");
  }

  std::printf("\n== export channel 0\n");
  ExportRequest request;
  request.dir = options.dir;
  request.channel = 0;
  request.out = options.dir + "/channel0.h264";
  request.overwrite = true;
  const ExportOutcome exported = ExportChannel(request, std::cout);
  std::string expected;
  for (uint32_t serial = 0; serial < frameCount; ++serial) {
    const AccessUnit& unit = UnitOfSerial(units, serial);
    expected.append(reinterpret_cast<const char*>(stream.data() + unit.offset), unit.size);
  }
  std::ifstream in(request.out, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::printf("  %s: %llu frames, %llu bytes\n", request.out.c_str(),
              static_cast<unsigned long long>(exported.frames),
              static_cast<unsigned long long>(exported.bytes));
  if (written != expected) {
    std::printf("  FAILED: the export is not the stream that was recorded\n");
    ++failures;
  } else if (keep) {
    std::printf("  identical to the recorded stream (play it with: ffplay %s)\n",
                request.out.c_str());
  } else {
    std::printf("  identical to the recorded stream\n");
  }

  std::printf("\n== verify\n");
  std::ostringstream report;
  const VerifyTotals totals = CDataSetVerifier(report).VerifyDirectory(options.dir);
  std::printf("%s", report.str().c_str());
  std::printf("  %s, %s, %s\n", Counted(static_cast<uint64_t>(totals.pairs), "file pair").c_str(),
              Counted(totals.records, "record").c_str(),
              Counted(static_cast<uint64_t>(totals.problems), "problem").c_str());
  if (totals.problems != 0) ++failures;
  return failures;
}

}  // namespace

int DemoCommand(const Words& words) {
  const CCommandLine args(*FindCommand("demo"), words);
  args.ExpectPositional(0, "no positional arguments");
  RecordOptions options;
  options.seconds = static_cast<int>(args.Integer("seconds", 20, 1, 3600));
  options.channels = static_cast<int>(args.Integer("channels", 32, 1, 32));
  options.files = kDemoFiles;
  options.audio = true;
  const bool keep = args.Flag("keep");
  const bool madeDirectory = !args.Value("dir");
  options.dir = madeDirectory ? MakeDemoDirectory() : CheckDataDirectory(*args.Value("dir"));

  int failures = 0;
  try {
    failures = RunDemo(options, keep);
  } catch (const std::exception& e) {
    // One line still, naming what is left to look at.
    throw RuntimeError(std::string(e.what()) + "; files kept in " + options.dir);
  }
  std::printf("\n== summary\n");
  if (failures != 0) {
    std::printf("  SOME CHECKS FAILED\n  files kept in %s\n", options.dir.c_str());
    return kExitFailed;
  }
  std::printf("  all checks passed\n");
  if (keep) {
    std::printf("  files kept in %s\n", options.dir.c_str());
  } else {
    RemoveDemoFiles(options.dir, madeDirectory);
    std::printf("  data files removed (--keep keeps them)\n");
  }
  return kExitOk;
}

}  // namespace dvrtool
