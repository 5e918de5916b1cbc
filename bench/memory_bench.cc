// Resident memory of a host process with 4 recorders and 4 file searches, idle (started,
// no frames, nothing played) and at full load (each recorder taking 32 channels at 25 fps
// in real time at 10 MB/s, each file search playing 32 channels of a recorded day at rate 1.0),
// next to the buffers the library fixes for those objects, taken from its own constants:
//
//   per recorder:    the write buffer, the second write buffer a recorder takes once it
//                    fills a buffer within one second (the full one is written on the
//                    buffer writer's thread while the next fills), and the video and audio
//                    frame rings;
//   per file search: both frame queues' chunk pools and their write and read staging
//                    buffers, and the playback thread's record buffer.
//
// The excess is the growth of VmRSS over the process before the objects existed, minus
// those buffers, per object: everything else the objects hold (threads' stacks, malloc
// arenas, file handles, queued-frame marks, the catalogues' tables when they are not in
// their mappings, ...). At idle most fixed buffers are not yet touched, so the excess can
// be negative.
//
//   memory_bench [--dir DIR] [--quick]
//
// The default run loads for 8 s; --quick for 3 s. The day the searches play is recorded
// first in a child process (with the wall clock stamped, so it takes a second or two).
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "bench_util.h"
#include "catalog/file_catalog.h"
#include "platform/clock.h"
#include "platform/local_time.h"
#include "playback/file_search.h"
#include "recorder.h"
#include "recording/intake.h"
#include "recording/writer.h"
#include "scheduler/formats.h"

namespace {

namespace fs = std::filesystem;

constexpr int kObjectsOfEachKind = 4;
constexpr uint32_t kChannels = 32;
constexpr int kFps = 25;
constexpr int kKeyInterval = 25;
// Frames of the day the searches play (2 MB per second of 32 channels) and of the live
// load (10 MB per second per recorder, so the write buffer and the rings are used whole).
constexpr uint32_t kPlayKeyBytes = 12000;
constexpr uint32_t kPlayOtherBytes = 2100;
constexpr uint32_t kLiveKeyBytes = 60000;
constexpr uint32_t kLiveOtherBytes = 10500;
constexpr double kExcessLimitMiB = 1;
constexpr double kMiB = 1024.0 * 1024.0;

// Resident set of this process in bytes (VmRSS).
double RssBytes() {
  return static_cast<double>(std::max<int64_t>(0, bench::StatusKiB("VmRSS"))) * 1024.0;
}

// The buffers the library fixes per object, from its own constants.
constexpr double RecorderFixedBytes() {
  return 2 * double(Writer::kWriteBufferSize) + double(Intake::kVideoRingCapacity) +
         double(Intake::kAudioRingCapacity);
}
constexpr double FileSearchFixedBytes() {
  const double pool = double(scheduler::kDefaultGroupThreshold) *
                      double(scheduler::kChunksPerThresholdUnit) *
                      double(scheduler::kPoolChunkSize);
  // Two queues (video, audio), each with its pool and a write and a read staging buffer.
  return 2 * (pool + 2 * double(scheduler::kStagingBufferSize)) +
         double(CFileSearch::kFrameBufferSize);
}

// One frame of channel c in frame f of a second: a key frame every 25 frames at the
// channel's own phase.
FrameDescriptor Frame(const std::vector<uint8_t>& payload, uint32_t c, int f, uint32_t tag,
                      uint32_t keyBytes, uint32_t otherBytes) {
  const bool key = (f + static_cast<int>(c) * 3) % kKeyInterval == 0;
  const uint32_t size = key ? keyBytes : otherBytes + (tag * 37) % 400;
  FrameDescriptor d;
  std::memset(&d, 0, sizeof(d));
  d.type = 1;
  d.keyFlag = key ? 1 : 0;
  d.tag = tag;
  d.dataStart = tag % 97;
  d.dataEnd = d.dataStart + size;
  d.statSize = size;
  d.videoData = payload.data();
  return d;
}

std::vector<uint8_t> Payload() {
  std::vector<uint8_t> payload(kLiveKeyBytes + 512);
  std::mt19937 random(3);
  for (uint8_t& b : payload) b = static_cast<uint8_t>(random());
  return payload;
}

std::atomic<int64_t> g_stampedNow{0};
int64_t StampedNow() { return g_stampedNow.load(); }

// Records `seconds` stamped seconds of 32 channels from `first` into dir/play0.VDB. Runs in
// a child process, so the parent's heap and threads do not see the recorder.
bool RecordPlayDay(const std::string& dir, int32_t first, int seconds) {
  platform::SetNowSecondsForTest(&StampedNow);
  g_stampedNow = first;
  RECORDER_HANDLE recorder = _RECORDER_INIT("memory-bench-day", 0, nullptr);
  _RECORDER_ADDFILEPATH(recorder, (dir + "play0.VDB").c_str());
  _RECORDER_ADDFILEPATH(recorder, (dir + "play1.VDB").c_str());
  for (uint32_t c = 0; c < kChannels; ++c) _RECORDER_SETRECORD(recorder, c, 1);
  const std::vector<uint8_t> payload = Payload();
  if (_RECORDER_START(recorder) != 1) return false;
  uint32_t tag = 0;
  for (int s = 0; s < seconds; ++s) {
    g_stampedNow = first + s;
    for (int f = 0; f < kFps; ++f) {
      for (uint32_t c = 0; c < kChannels; ++c) {
        FrameDescriptor d = Frame(payload, c, f, ++tag, kPlayKeyBytes, kPlayOtherBytes);
        _RECORDER_WRITEVIDEO(recorder, c, &d);
      }
    }
  }
  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);
  platform::SetNowSecondsForTest(nullptr);
  return fs::exists(dir + "play0.FIH");
}

bool RecordPlayDayInChild(const std::string& dir, int32_t first, int seconds) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) ::_exit(RecordPlayDay(dir, first, seconds) ? 0 : 1);
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::atomic<uint64_t> g_framesPlayed{0};
void OnFrame(uintptr_t, uint32_t, const FrameDescriptor*, int32_t) {
  g_framesPlayed.fetch_add(1, std::memory_order_relaxed);
}

// Feeds one recorder 32 channels at 25 fps in real time until stopped.
void Feed(RECORDER_HANDLE recorder, const std::vector<uint8_t>* payload,
          const std::atomic<bool>* stop, std::atomic<uint64_t>* taken) {
  using Clock = std::chrono::steady_clock;
  auto next = Clock::now();
  uint32_t tag = 0;
  for (int f = 0; !stop->load(); f = (f + 1) % kFps) {
    for (uint32_t c = 0; c < kChannels; ++c) {
      FrameDescriptor d = Frame(*payload, c, f, ++tag, kLiveKeyBytes, kLiveOtherBytes);
      if (_RECORDER_WRITEVIDEO(recorder, c, &d) == 1) taken->fetch_add(1);
    }
    next += std::chrono::milliseconds(1000 / kFps);
    std::this_thread::sleep_until(next);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::CommonOptions options;
  if (!bench::ParseOptions(argc, argv, &options)) return 2;
  const int loadSeconds = options.quick ? 3 : 8;
  const int playSeconds = options.quick ? 12 : 30;
  bench::ScratchDir scratch;
  if (!scratch.Make(options.dir, "membench", "memory")) return 1;
  const std::string base = scratch.path() + "/";
  const std::string playDir = base + "play/";
  std::error_code error;
  fs::create_directories(playDir, error);

  const int32_t dayStart = platform::CTime::FromLocal(2024, 5, 20, 9, 0, 0, -1).seconds();
  if (!RecordPlayDayInChild(playDir, dayStart, playSeconds)) {
    std::fprintf(stderr, "memory_bench: the day to play was not recorded\n");
    return 1;
  }
  std::vector<std::string> recorderDirs;
  for (int i = 0; i < kObjectsOfEachKind; ++i) {
    recorderDirs.push_back(base + "rec" + std::to_string(i) + "/");
    fs::create_directories(recorderDirs.back(), error);
  }
  const std::vector<uint8_t> payload = Payload();
  const std::vector<uint32_t> display(kChannels, 1);

  const double before = RssBytes();
  std::vector<RECORDER_HANDLE> recorders;
  std::vector<FILESEARCH_HANDLE> searches;
  bool started = true;
  for (int i = 0; i < kObjectsOfEachKind; ++i) {
    RECORDER_HANDLE r = _RECORDER_INIT(("memory-bench-" + std::to_string(i)).c_str(), 0, nullptr);
    if (r == nullptr) return 1;
    recorders.push_back(r);
    for (int n = 0; n < 2; ++n) {
      _RECORDER_ADDFILEPATH(r, (recorderDirs[i] + "m" + std::to_string(n) + ".VDB").c_str());
    }
    for (uint32_t c = 0; c < kChannels; ++c) _RECORDER_SETRECORD(r, c, 1);
    started = _RECORDER_START(r) == 1 && started;
  }
  for (int i = 0; i < kObjectsOfEachKind; ++i) {
    FILESEARCH_HANDLE s = _RECORDER_FILESEARCH_INIT(kChannels, 0, &OnFrame, nullptr);
    if (s == nullptr) return 1;
    searches.push_back(s);
    _RECORDER_FILESEARCH_SETPATH(s, playDir.c_str(), "play0.FIH", 1);
    _RECORDER_FILESEARCH_SETPATH(s, playDir.c_str(), "play1.FIH", 1);
    _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(s, display.data(), kChannels);
    started = _RECORDER_FILESEARCH_START(s) == 1 && started;
  }
  // Let every thread the objects started reach its first wait.
  platform::SleepMs(500);
  const double idle = RssBytes();

  // The recorders take their load first, then the searches start playing as well, so the
  // growth of each kind shows on its own.
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> taken{0};
  std::vector<std::thread> feeders;
  for (RECORDER_HANDLE r : recorders) feeders.emplace_back(Feed, r, &payload, &stop, &taken);
  auto peakFor = [](double seconds) {
    double peak = RssBytes();
    const double end = platform::PerfSeconds() + seconds;
    while (platform::PerfSeconds() < end) {
      platform::SleepMs(50);
      peak = std::max(peak, RssBytes());
    }
    return peak;
  };
  const double recording = peakFor(loadSeconds / 2.0);
  const platform::LocalFields f = platform::CTime(dayStart).Local();
  for (FILESEARCH_HANDLE s : searches) {
    _RECORDER_FILESEARCH_PLAYTIME(s, f.year, f.month, f.day, f.hour, f.minute, f.second);
  }
  const double peak = std::max(recording, peakFor(loadSeconds / 2.0));
  stop = true;
  for (std::thread& t : feeders) t.join();
  const uint64_t played = g_framesPlayed.load();
  for (FILESEARCH_HANDLE s : searches) _RECORDER_FILESEARCH_END(s);
  for (RECORDER_HANDLE r : recorders) _RECORDER_END(r);
  scratch.Remove();

  const double fixed =
      kObjectsOfEachKind * RecorderFixedBytes() + kObjectsOfEachKind * FileSearchFixedBytes();
  const double objects = 2.0 * kObjectsOfEachKind;
  const double idleExcess = (idle - before - fixed) / objects / kMiB;
  const double loadExcess = (peak - before - fixed) / objects / kMiB;
  std::printf("fixed buffers: %.2f MiB per recorder, %.2f MiB per file search\n",
              RecorderFixedBytes() / kMiB, FileSearchFixedBytes() / kMiB);
  std::printf(
      "VmRSS: %.1f MiB before, %.1f MiB idle, %.1f MiB peak while recording, %.1f MiB "
      "peak while recording and playing (%d s: %llu frames taken in, %llu played)\n",
      before / kMiB, idle / kMiB, recording / kMiB, peak / kMiB, loadSeconds,
      static_cast<unsigned long long>(taken.load()), static_cast<unsigned long long>(played));
  if (!started || played == 0 || taken.load() == 0) {
    std::fprintf(stderr, "memory_bench: the objects did not start or carry load\n");
    return 1;
  }
  const std::string what = "RSS over fixed buffers per object, 4 recorders + 4 searches, ";
  bench::Report({"8-idle", what + "idle", idleExcess, "MiB", kExcessLimitMiB, "limit",
                 idleExcess / kExcessLimitMiB, "<= 1 MiB per object over the fixed buffers",
                 idleExcess <= kExcessLimitMiB ? 1 : 0});
  bench::Report({"8-load", what + "full load", loadExcess, "MiB", kExcessLimitMiB, "limit",
                 loadExcess / kExcessLimitMiB, "<= 1 MiB per object over the fixed buffers",
                 loadExcess <= kExcessLimitMiB ? 1 : 0});
  return 0;
}
