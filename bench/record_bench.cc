// Recording bandwidth against the disk's limit. One host thread pushes 32 channels of frames
// through _RECORDER_WRITEVIDEO as fast as the recorder takes them into a rotation set of
// 200 MiB data files; the figure is the MB/s of records that reached the data files (as their
// index summaries count them), wall time from START to the end of STOP. The limit is
// dsync_limit (next to this program): the same byte count in 8 MiB blocks through O_DSYNC +
// fdatasync into data files made the way the rotation makes them. Recorder and limit runs
// alternate (the disk's speed swings from one minute to the next), their order flipping
// from pair to pair, and each pair gives one ratio.
//
// Two payloads: the bundled H.264 sample (access units looped on every channel, key flag from
// the IDR slices) and 64 KiB synthetic key frames. Two kinds of file: "new" (the set removed
// before every run, so every block lands in fresh, sparse space) and "reused" (a set filled
// once beforehand and recorded into again, as a recorder in overwrite mode does all day).
//
//   record_bench [--dir DIR] [--quick] [--pairs N] [--mb N] [--files N] [--sample PATH]
//
//   --dir DIR   scratch directory (default: a fresh one under /var/tmp, removed afterwards)
//   --quick     a smoke run of about 10 s with the same FIGURE lines
//   --pairs N   recorder/limit pairs per kind and payload (default 5)
//   --mb N      MB written per run (default 1000: five files of the set)
//   --files N   files in each rotation set (default 6; raised when a run would wrap)
//   --sample P  Annex B stream to loop (default: the bundled testdata/sample.h264)
//   --only ID   one payload only ("sample" or "64k"); --kind K one kind only ("new", "reused")
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "bench_report.h"
#include "bench_util.h"
#include "h264_splitter.h"
#include "platform/mutex.h"
#include "recorder.h"
#include "storage/formats.h"

#ifndef RECORD_BENCH_SAMPLE
#define RECORD_BENCH_SAMPLE "testdata/sample.h264"
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kChannels = 32;
constexpr uint32_t kKeyFrameType = 1;
constexpr uint32_t kPictureFrameType = 3;
constexpr uint32_t kSyntheticFrameBytes = 64 * 1024;

struct Options : bench::CommonOptions {
  int pairs = 5;
  double megabytes = 1000;
  int files = 6;
  std::string sample = RECORD_BENCH_SAMPLE;
  std::string only;  // payload id, empty = both
  std::string kind;  // "new", "reused", empty = both
};

// The frames one channel sends, looped: slices of `bytes`.
struct Payload {
  std::string id;    // "sample", "64k"
  std::string what;  // for the FIGURE line
  std::vector<uint8_t> bytes;
  std::vector<dvrtool::AccessUnit> units;
};

struct RunResult {
  bool ok = false;
  double seconds = 0;
  uint64_t bytesStored = 0;  // as the index summaries of the files opened count them
  uint64_t bytesPushed = 0;  // record bytes of every frame taken in
  uint64_t frames = 0;
  size_t filesOpened = 0;
  int writeFailures = 0;
  double MBps() const { return seconds > 0 ? static_cast<double>(bytesStored) / seconds / 1e6 : 0; }
};

// What the recorder's event callback saw during one run.
struct Events {
  platform::Mutex lock;
  std::set<std::string> dataFilesOpened GUARDED_BY(lock);
  int writeFailures GUARDED_BY(lock) = 0;
};

void OnRecorderEvent(RECORDER_HANDLE, uintptr_t context, int32_t code, int32_t status,
                     const char* path, int32_t pathLength) {
  auto* events = reinterpret_cast<Events*>(context);
  if (path == nullptr || pathLength <= 0) return;
  const std::string name(path, static_cast<size_t>(pathLength));
  platform::MutexLock hold(&events->lock);
  if (code == RECORDER_EVENT_WRITE_FAILED) ++events->writeFailures;
  if (code == RECORDER_EVENT_FILE_OPENED && status == 0 && name.ends_with(".VDB")) {
    events->dataFilesOpened.insert(name);
  }
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string DataPath(const std::string& setDir, int n) {
  return setDir + "/rec" + std::to_string(n) + ".VDB";
}

uint64_t SummaryDataBytes(const std::string& dataPath) {
  std::ifstream in(storage::IndexFileName(dataPath), std::ios::binary);
  storage::IndexSummary summary{};
  in.seekg(storage::kIndexSummaryOffset);
  in.read(reinterpret_cast<char*>(&summary), sizeof(summary));
  return in.gcount() == static_cast<std::streamsize>(sizeof(summary)) ? summary.dataBytes : 0;
}

bool SetAtFullSize(const std::string& setDir, int files) {
  for (int n = 0; n < files; ++n) {
    std::error_code error;
    const uintmax_t size = fs::file_size(DataPath(setDir, n), error);
    if (error || size < storage::kDataFileSize) return false;
  }
  return true;
}

// One recording of `targetBytes` of records into the set in setDir.
RunResult RecordRun(const std::string& setDir, int files, const Payload& payload,
                    uint64_t targetBytes) {
  RunResult result;
  Events events;
  RECORDER_HANDLE recorder =
      _RECORDER_INIT("bench", reinterpret_cast<uintptr_t>(&events), OnRecorderEvent);
  if (recorder == nullptr) return result;
  for (int n = 0; n < files; ++n) _RECORDER_ADDFILEPATH(recorder, DataPath(setDir, n).c_str());
  for (uint32_t c = 0; c < kChannels; ++c) _RECORDER_SETRECORD(recorder, c, 1);

  // Channels start at different points of the stream, as independent cameras would.
  const size_t unitCount = payload.units.size();
  std::vector<size_t> next(kChannels);
  for (uint32_t c = 0; c < kChannels; ++c) next[c] = (c * 7919) % unitCount;
  uint32_t tag = 0;

  const auto begin = Clock::now();
  if (_RECORDER_START(recorder) != 1) {
    std::printf("START failed in %s\n", setDir.c_str());
    _RECORDER_END(recorder);
    return result;
  }
  while (result.bytesPushed < targetBytes) {
    for (uint32_t c = 0; c < kChannels; ++c) {
      const dvrtool::AccessUnit& unit = payload.units[next[c]];
      next[c] = next[c] + 1 == unitCount ? 0 : next[c] + 1;
      FrameDescriptor d;
      std::memset(&d, 0, sizeof(d));
      d.type = unit.key ? kKeyFrameType : kPictureFrameType;
      d.keyFlag = unit.key ? 1 : 0;
      d.tag = ++tag;
      d.statSize = static_cast<uint32_t>(unit.size);
      d.videoData = payload.bytes.data();
      d.dataStart = static_cast<uint32_t>(unit.offset);
      d.dataEnd = static_cast<uint32_t>(unit.offset + unit.size);
      if (_RECORDER_WRITEVIDEO(recorder, c, &d) == 1) {
        result.bytesPushed += storage::VideoRecordSize(unit.size, unit.key);
        ++result.frames;
      }
    }
  }
  _RECORDER_STOP(recorder);
  result.seconds = Seconds(Clock::now() - begin);
  _RECORDER_END(recorder);

  platform::MutexLock hold(&events.lock);
  for (const std::string& name : events.dataFilesOpened) {
    result.bytesStored += SummaryDataBytes(name);
  }
  result.filesOpened = events.dataFilesOpened.size();
  result.writeFailures = events.writeFailures;
  result.ok = result.bytesStored > 0;
  return result;
}

// Removes the set and lets the file system finish with the freed space (the root file system
// discards freed blocks as it commits) before anything is timed.
void RemoveSet(const std::string& setDir) {
  std::error_code error;
  fs::remove_all(setDir, error);
  fs::create_directories(setDir, error);
  ::sync();
}

// dsync_limit as a child process; MB/s of its timed part, 0 when it failed.
double LimitRun(const std::string& program, const std::string& dir, bool reused, uint64_t bytes,
                int files) {
  const std::string command = "'" + program + "' --dir '" + dir + "' --bytes " +
                              std::to_string(bytes) + " --files " + std::to_string(files) +
                              (reused ? " --kind reused --keep" : " --kind new");
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return 0;
  double mbPerSecond = 0;
  char line[512];
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    char kind[16];
    long long written = 0;
    double seconds = 0;
    double rate = 0;
    if (std::sscanf(line, "LIMIT\t%15s\t%lld\t%lf\t%lf", kind, &written, &seconds, &rate) == 4) {
      mbPerSecond = rate;
    }
  }
  const int status = ::pclose(pipe);
  return status == 0 ? mbPerSecond : 0;
}

std::string OwnDirectory() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  return fs::path(std::string(path, static_cast<size_t>(length))).parent_path().string();
}

bool LoadSample(const std::string& path, Payload* payload) {
  std::ifstream in(path, std::ios::binary);
  payload->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const dvrtool::SplitResult split = dvrtool::SplitAccessUnits(payload->bytes);
  if (!split.error.empty() || split.units.empty()) {
    std::printf("cannot use %s: %s\n", path.c_str(),
                split.error.empty() ? "no frames" : split.error.c_str());
    return false;
  }
  payload->units = split.units;
  return true;
}

Payload Synthetic() {
  Payload payload;
  payload.id = "64k";
  payload.what = "recording, 64 KiB frames";
  payload.bytes.resize(kSyntheticFrameBytes);
  for (size_t i = 0; i < payload.bytes.size(); ++i) payload.bytes[i] = static_cast<uint8_t>(i * 13);
  payload.units.push_back(dvrtool::AccessUnit{0, kSyntheticFrameBytes, true});
  return payload;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  bool pairsGiven = false;
  bool sizeGiven = false;
  bool filesGiven = false;
  if (!bench::ParseOptions(argc, argv, options,
                           {{"--pairs", &options->pairs, &pairsGiven},
                            {"--mb", &options->megabytes, &sizeGiven},
                            {"--files", &options->files, &filesGiven},
                            {"--sample", &options->sample},
                            {"--only", &options->only},
                            {"--kind", &options->kind}},
                           "[--dir DIR] [--quick] [--pairs N] [--mb N] [--files N] "
                           "[--sample PATH] [--only sample|64k] [--kind new|reused]")) {
    return false;
  }
  options->pairs = std::max(1, options->pairs);
  options->megabytes = std::max(1.0, options->megabytes);
  options->files = std::max(2, options->files);
  if (options->quick) {
    if (!pairsGiven) options->pairs = 1;
    if (!sizeGiven) options->megabytes = 120;
    if (!filesGiven) options->files = 2;
  }
  return true;
}

struct Series {
  std::vector<double> recorder;
  std::vector<double> limit;
  std::vector<double> ratio;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  const std::string limitProgram = OwnDirectory() + "/dsync_limit";
  if (::access(limitProgram.c_str(), X_OK) != 0) {
    std::printf("cannot run %s\n", limitProgram.c_str());
    return 1;
  }

  Payload sample;
  sample.id = "sample";
  sample.what = "recording, bundled H.264 sample";
  if (!LoadSample(options.sample, &sample)) return 1;
  const std::vector<Payload> payloads = {std::move(sample), Synthetic()};

  bench::ScratchDir scratch;
  if (!scratch.Make(options.dir, "recbench", "")) return 1;
  options.dir = scratch.path();
  while (options.dir.size() > 1 && options.dir.back() == '/') options.dir.pop_back();
  if (options.dir.find('.') != std::string::npos) {
    std::printf("a '.' in %s would change the index file names\n", options.dir.c_str());
    return 1;
  }

  // One set per kind for each side; a run writes fewer files than its set holds, so no file
  // is opened twice in one run and every opened file's summary counts this run's records.
  const uint64_t bytesPerRun = static_cast<uint64_t>(options.megabytes * 1e6);
  const uint64_t fileRecordBytes = storage::kDataFileSize;
  if (bytesPerRun > fileRecordBytes * static_cast<uint64_t>(options.files - 1)) {
    options.files = static_cast<int>(bytesPerRun / fileRecordBytes) + 2;
  }
  std::printf("directory %s: %d pairs per figure, %.0f MB per run, sets of %d files, %u channels\n",
              options.dir.c_str(), options.pairs, options.megabytes, options.files, kChannels);
  for (const Payload& p : payloads) {
    uint64_t total = 0;
    for (const auto& u : p.units) total += u.size;
    std::printf("payload %s: %zu frames of %.0f bytes on average\n", p.id.c_str(), p.units.size(),
                static_cast<double>(total) / static_cast<double>(p.units.size()));
  }

  const auto benchBegin = Clock::now();
  bool measured = true;  // every figure asked for got at least one pair
  for (const bool reused : {false, true}) {
    const char* kind = reused ? "reused" : "new";
    if (!options.kind.empty() && options.kind != kind) continue;
    const std::string recorderDir = options.dir + "/recorder_" + kind;
    const std::string limitDir = options.dir + "/limit_" + kind;
    RemoveSet(recorderDir);
    RemoveSet(limitDir);
    if (reused) {
      // Fill the recorder's set once, wrapping into its first file again, so that every file
      // exists at full size and holds a full file's records from an earlier pass.
      const uint64_t fillBytes =
          fileRecordBytes * static_cast<uint64_t>(options.files) + (16u << 20);
      const RunResult fill = RecordRun(recorderDir, options.files, payloads[1], fillBytes);
      std::printf("filled the recorder's set once: %.0f MB, %zu files opened\n",
                  static_cast<double>(fill.bytesStored) / 1e6, fill.filesOpened);
      // The limit fills its own set on the first call, untimed.
    }

    std::vector<Series> series(payloads.size());
    for (int pair = 0; pair < options.pairs; ++pair) {
      for (size_t p = 0; p < payloads.size(); ++p) {
        if (!options.only.empty() && options.only != payloads[p].id) continue;
        // Which side goes first flips from pair to pair, so a drifting disk favours neither.
        const bool limitFirst = ((pair + static_cast<int>(p)) % 2) == 0;
        double limit = 0;
        if (limitFirst)
          limit = LimitRun(limitProgram, limitDir, reused, bytesPerRun, options.files);
        if (!reused) RemoveSet(recorderDir);
        const bool wasFull = reused && SetAtFullSize(recorderDir, options.files);
        const RunResult run = RecordRun(recorderDir, options.files, payloads[p], bytesPerRun);
        if (!limitFirst) {
          limit = LimitRun(limitProgram, limitDir, reused, bytesPerRun, options.files);
        }
        if (!run.ok || limit <= 0) {
          std::printf("%s/%s pair %d: no measurement (recorder %s, limit %.1f)\n", kind,
                      payloads[p].id.c_str(), pair, run.ok ? "ok" : "failed", limit);
          continue;
        }
        const double ratio = run.MBps() / limit;
        series[p].recorder.push_back(run.MBps());
        series[p].limit.push_back(limit);
        series[p].ratio.push_back(ratio);
        std::printf(
            "%-6s %-6s pair %d: recorder %7.1f MB/s (%.0f MB, %.2f s, %llu frames, %zu files%s%s), "
            "limit %7.1f MB/s, ratio %.3f%s\n",
            kind, payloads[p].id.c_str(), pair, run.MBps(),
            static_cast<double>(run.bytesStored) / 1e6, run.seconds,
            static_cast<unsigned long long>(run.frames), run.filesOpened,
            reused ? (wasFull ? ", set at full size" : ", SET NOT FULL") : "",
            run.bytesStored == run.bytesPushed ? "" : ", RECORDS MISSING", limit, ratio,
            run.writeFailures > 0 ? " (write failures reported)" : "");
        std::fflush(stdout);
      }
    }
    for (size_t p = 0; p < payloads.size(); ++p) {
      if (!options.only.empty() && options.only != payloads[p].id) continue;
      if (series[p].ratio.empty()) {
        measured = false;
        continue;
      }
      bench::Figure figure;
      figure.id = std::string("1-") + payloads[p].id + "-" + kind;
      figure.what = payloads[p].what + ", " + kind + " files";
      figure.value = bench::Median(series[p].recorder);
      figure.unit = "MB/s";
      figure.reference = bench::Median(series[p].limit);
      figure.referenceName = "O_DSYNC 8 MiB writer (dsync_limit)";
      figure.ratio = bench::Median(series[p].ratio);
      figure.target = "median ratio >= 0.95";
      figure.met = figure.ratio >= 0.95 ? 1 : 0;
      bench::Report(figure);
    }
    std::error_code error;
    fs::remove_all(recorderDir, error);
    fs::remove_all(limitDir, error);
  }
  std::printf("run time %.0f s\n", Seconds(Clock::now() - benchBegin));

  return measured ? 0 : 1;
}
