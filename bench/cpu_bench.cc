// CPU per frame: the recorder storing 32 streams of the bundled H.264 sample, next to what a
// host built on ffmpeg would spend on the same frames: one `ffmpeg -f h264 -i <stream>
// -c copy -f segment` per stream, writing 60-second segments.
//
// Each stream repeats the sample to 15,000 frames. The recorder takes the 32 x 15,000 frames
// from one host thread as fast as it accepts them (channel after channel, frame after
// frame) and its cost is the process's user+sys time from INIT to END (STOP included).
// ffmpeg's cost is its children's user+sys time (wait4), two processes at a time. Recorder
// and ffmpeg rounds alternate, and each side's figure is the median of its rounds.
//
//   cpu_bench [--dir DIR] [--quick] [--recorder-only]
//
// DIR defaults to a fresh directory in /var/tmp. --recorder-only skips ffmpeg (for profiling
// the recorder's side).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "bench_report.h"
#include "h264_splitter.h"
#include "host_bench_util.h"
#include "recorder.h"

extern char** environ;

namespace {

constexpr uint32_t kStreams = 32;
constexpr int kFilesInSet = 4;
constexpr int kParallelFfmpeg = 2;

double Seconds(const struct timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

double CpuSeconds(const struct rusage& usage) {
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double SelfCpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return CpuSeconds(usage);
}

double WallSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Sample {
  std::vector<uint8_t> bytes;
  std::vector<dvrtool::AccessUnit> units;
};

bool LoadSample(const std::string& path, Sample* sample) {
  std::ifstream in(path, std::ios::binary);
  sample->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (sample->bytes.empty()) {
    std::printf("cannot read %s\n", path.c_str());
    return false;
  }
  dvrtool::SplitResult split = dvrtool::SplitAccessUnits(sample->bytes);
  if (!split.error.empty() || split.units.empty()) {
    std::printf("%s: %s\n", path.c_str(), split.error.c_str());
    return false;
  }
  sample->units = std::move(split.units);
  return true;
}

// The ffmpeg input: the sample repeated until it holds `frames` access units (whole copies,
// so the stream stays decodable at every repeat).
bool WriteLongStream(const Sample& sample, uint32_t frames, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (uint32_t written = 0; written < frames; written += sample.units.size()) {
    out.write(reinterpret_cast<const char*>(sample.bytes.data()),
              static_cast<std::streamsize>(sample.bytes.size()));
  }
  return static_cast<bool>(out);
}

// CPU seconds of one recorder storing `frames` frames on each of the 32 channels.
bool RecorderRound(const Sample& sample, uint32_t frames, const std::string& dir,
                   double* cpuSeconds, double* wallSeconds, uint64_t* refused) {
  std::filesystem::create_directories(dir);
  const double cpu0 = SelfCpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  RECORDER_HANDLE recorder = hostbench::MakeRecorder(dir, kFilesInSet);
  if (recorder == nullptr || _RECORDER_START(recorder) != 1) {
    std::printf("cannot start a recorder in %s\n", dir.c_str());
    if (recorder != nullptr) _RECORDER_END(recorder);
    return false;
  }
  *refused = 0;
  const size_t unitCount = sample.units.size();
  for (uint32_t i = 0; i < frames; ++i) {
    const dvrtool::AccessUnit& unit = sample.units[i % unitCount];
    for (uint32_t c = 0; c < kStreams; ++c) {
      FrameDescriptor frame = hostbench::VideoFrame(sample.bytes.data() + unit.offset,
                                                    static_cast<uint32_t>(unit.size), unit.key);
      if (_RECORDER_WRITEVIDEO(recorder, c, &frame) != 1) ++*refused;
    }
  }
  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);
  *cpuSeconds = SelfCpuSeconds() - cpu0;
  *wallSeconds = WallSince(wall0);
  std::filesystem::remove_all(dir);
  return true;
}

pid_t SpawnFfmpeg(const std::string& input, const std::string& outputPattern) {
  std::vector<std::string> args = {"ffmpeg",   "-hide_banner",
                                   "-nostdin", "-loglevel",
                                   "error",    "-fflags",
                                   "+genpts",  "-r",
                                   "25",       "-f",
                                   "h264",     "-i",
                                   input,      "-map",
                                   "0",        "-c",
                                   "copy",     "-f",
                                   "segment",  "-segment_time",
                                   "60",       "-segment_format",
                                   "mpegts",   outputPattern};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

// CPU seconds of 32 ffmpeg processes remuxing `input`, kParallelFfmpeg at a time.
bool FfmpegRound(const std::string& input, const std::string& dir, double* cpuSeconds,
                 double* wallSeconds) {
  std::filesystem::create_directories(dir);
  const auto wall0 = std::chrono::steady_clock::now();
  double cpu = 0;
  int started = 0;
  int running = 0;
  bool ok = true;
  while (started < static_cast<int>(kStreams) || running > 0) {
    while (started < static_cast<int>(kStreams) && running < kParallelFfmpeg) {
      const std::string pattern = dir + "/stream" + std::to_string(started) + "_%03d";
      if (SpawnFfmpeg(input, pattern) < 0) {
        std::printf("cannot start ffmpeg\n");
        ok = false;
        started = kStreams;
        break;
      }
      ++started;
      ++running;
    }
    if (running == 0) break;
    int status = 0;
    struct rusage usage {};
    const pid_t pid = ::wait4(-1, &status, 0, &usage);
    if (pid < 0) break;
    --running;
    cpu += CpuSeconds(usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::printf("ffmpeg (pid %d) failed with status %d\n", static_cast<int>(pid), status);
      ok = false;
    }
  }
  *cpuSeconds = cpu;
  *wallSeconds = WallSince(wall0);
  std::filesystem::remove_all(dir);
  return ok;
}

bool FfmpegAvailable() {
  char arg0[] = "ffmpeg";
  char arg1[] = "-version";
  char* argv[] = {arg0, arg1, nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) < 0) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool recorderOnly = false;
  bench::CommonOptions options;
  if (!bench::ParseOptions(argc, argv, &options, {{"--recorder-only", &recorderOnly}},
                           "[--dir DIR] [--quick] [--recorder-only]")) {
    return 2;
  }
  bench::ScratchDir scratch;
  if (!scratch.MakeIn(options.dir.empty() ? "/var/tmp" : options.dir, "hostbench")) return 1;

  Sample sample;
  if (!LoadSample(HOSTBENCH_SAMPLE_FILE, &sample)) return 1;
  const uint32_t frames = options.quick ? 1000 : 15000;
  const int rounds = options.quick ? 1 : 3;
  const double totalFrames = double(frames) * kStreams;
  const bool haveFfmpeg = !recorderOnly && FfmpegAvailable();
  const std::string input = scratch.path() + "/stream_h264";
  if (haveFfmpeg && !WriteLongStream(sample, frames, input)) {
    std::printf("cannot write %s\n", input.c_str());
    return 1;
  }
  std::printf(
      "CPU per frame in %s: %u streams x %u frames of the sample (%zu frames, %zu "
      "bytes), %d rounds%s\n",
      scratch.path().c_str(), kStreams, frames, sample.units.size(), sample.bytes.size(), rounds,
      haveFfmpeg ? "" : "; ffmpeg not found");

  std::vector<double> recorderUs;
  std::vector<double> ffmpegUs;
  for (int round = 0; round < rounds; ++round) {
    double cpu = 0;
    double wall = 0;
    uint64_t refused = 0;
    if (RecorderRound(sample, frames, scratch.path() + "/recorder", &cpu, &wall, &refused)) {
      recorderUs.push_back(cpu / totalFrames * 1e6);
      std::printf("round %d recorder: %.2f s CPU, %.2f s wall, %.2f us per frame (%llu refused)\n",
                  round, cpu, wall, recorderUs.back(), static_cast<unsigned long long>(refused));
    }
    if (!haveFfmpeg) continue;
    if (FfmpegRound(input, scratch.path() + "/ffmpeg", &cpu, &wall)) {
      ffmpegUs.push_back(cpu / totalFrames * 1e6);
      std::printf("round %d ffmpeg:   %.2f s CPU, %.2f s wall, %.2f us per frame\n", round, cpu,
                  wall, ffmpegUs.back());
    }
  }
  if (recorderUs.empty()) return 1;

  bench::Figure f;
  f.id = "3";
  f.what = "CPU per frame, 32 streams x " + std::to_string(frames) + " H.264 frames, unpaced";
  f.value = bench::Median(recorderUs);
  f.unit = "us";
  f.referenceName = "ffmpeg -c copy -f segment";
  f.target = "recorder <= 1/5 of ffmpeg";
  if (!ffmpegUs.empty()) {
    f.reference = bench::Median(ffmpegUs);
    f.ratio = f.reference > 0 ? f.value / f.reference : 0;
    f.met = f.ratio <= 0.2 ? 1 : 0;
  } else {
    std::printf("ffmpeg is not installed: the recorder's figure stands alone\n");
  }
  bench::Report(f);
  return 0;
}
