// Seek latency of playback: the time from _RECORDER_FILESEARCH_PLAYTIME to the first video
// callback of a displayed channel at the new position (a frame of the target second, which
// playback shows first in both directions), on a day of full 200 MiB data files, playing
// forwards at rate 1.0 and backwards at rate -1.0.
//
// The day is recorded through the exports with the recorder's wall clock stamped by this
// program (the test hook of the platform clock), so minutes of recording take seconds:
// 32 channels at 25 fps, a key frame every 25 frames (each channel at its own phase), key
// frames of about 12 KB and other frames of about 2 KB, so one stamped second is 2 MB and
// a data file holds about 100 s. Then one file search plays the day at rate 1.0 with every
// channel displayed and is sent to random seconds of the recorded span while it plays.
//
// Seeks run first on files in the page cache (the figures; the files are read through
// once before), then a few with the data files dropped from the cache before each seek
// (posix_fadvise DONTNEED, which needs no privilege): those are human-readable lines and
// are bounded by the disk.
//
//   seek_bench [--dir DIR] [--quick] [--seeks N]
//
// The default run records 3 full files and a part of a fourth and makes 100 seeks; --quick
// records one full file and makes 20.
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_report.h"
#include "bench_util.h"
#include "platform/clock.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "recorder.h"
#include "recording/writer_limits.h"
#include "storage/formats.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kChannels = 32;
constexpr int kFps = 25;
constexpr int kKeyInterval = 25;
constexpr int kFilesInSet = 6;
constexpr uint32_t kKeyFrameBytes = 12000;
constexpr uint32_t kOtherFrameBytes = 2100;
constexpr double kSeekLimitMs = 50;
constexpr double kWaitLimitS = 10;

std::atomic<int64_t> g_stampedNow{0};
int64_t StampedNow() { return g_stampedNow.load(); }

std::string DataName(int n) { return "seek" + std::to_string(n) + ".VDB"; }
std::string IndexName(int n) { return "seek" + std::to_string(n) + ".FIH"; }

storage::IndexSummary ReadSummary(const std::string& indexPath) {
  storage::IndexSummary summary{};
  std::ifstream in(indexPath, std::ios::binary);
  in.seekg(storage::kIndexSummaryOffset);
  in.read(reinterpret_cast<char*>(&summary), sizeof(summary));
  if (in.gcount() != static_cast<std::streamsize>(sizeof(summary))) return {};
  return summary;
}

struct Day {
  int32_t first = 0;  // first and last stamped second
  int32_t last = 0;
  int fullFiles = 0;
  uint64_t bytes = 0;
  double seconds = 0;
  std::vector<std::string> indexNames;
};

// Records until `fullFiles` data files have been filled (rotated at their size limit).
Day RecordDay(const std::string& dir, int fullFiles) {
  Day day;
  day.first = platform::CTime::FromLocal(2024, 3, 12, 10, 0, 0, -1).seconds();
  platform::SetNowSecondsForTest(&StampedNow);
  g_stampedNow = day.first;
  RECORDER_HANDLE recorder = _RECORDER_INIT("seek-bench", 0, nullptr);
  for (int n = 0; n < kFilesInSet; ++n)
    _RECORDER_ADDFILEPATH(recorder, (dir + DataName(n)).c_str());
  for (uint32_t c = 0; c < kChannels; ++c) _RECORDER_SETRECORD(recorder, c, 1);

  std::vector<uint8_t> payload(kKeyFrameBytes + 512);
  std::mt19937 random(7);
  for (uint8_t& b : payload) b = static_cast<uint8_t>(random());
  const uint64_t target =
      static_cast<uint64_t>(fullFiles) * kRotateDataBytes + kRotateDataBytes / 4;
  const double begin = platform::PerfSeconds();
  if (_RECORDER_START(recorder) != 1) {
    _RECORDER_END(recorder);
    platform::SetNowSecondsForTest(nullptr);
    return day;
  }
  uint64_t pushed = 0;
  uint32_t tag = 0;
  int32_t second = day.first;
  while (pushed < target) {
    g_stampedNow = second;
    for (int f = 0; f < kFps; ++f) {
      for (uint32_t c = 0; c < kChannels; ++c) {
        const bool key = (f + static_cast<int>(c) * 3) % kKeyInterval == 0;
        const uint32_t size = key ? kKeyFrameBytes : kOtherFrameBytes + (tag * 37) % 400;
        FrameDescriptor d;
        std::memset(&d, 0, sizeof(d));
        d.type = 1;
        d.keyFlag = key ? 1 : 0;
        d.tag = ++tag;
        d.dataStart = tag % 97;
        d.dataEnd = d.dataStart + size;
        d.statSize = size;
        d.videoData = payload.data();
        if (_RECORDER_WRITEVIDEO(recorder, c, &d) == 1) {
          pushed += storage::VideoRecordSize(size, key);
        }
      }
    }
    ++second;
  }
  day.last = second - 1;
  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);
  platform::SetNowSecondsForTest(nullptr);
  day.seconds = platform::PerfSeconds() - begin;

  for (int n = 0; n < kFilesInSet; ++n) {
    if (!fs::exists(dir + IndexName(n))) continue;
    const storage::IndexSummary s = ReadSummary(dir + IndexName(n));
    if (s.dataBytes == 0) continue;
    day.indexNames.push_back(IndexName(n));
    day.bytes += s.dataBytes;
    if (s.dataBytes >= kRotateDataBytes) ++day.fullFiles;
  }
  return day;
}

// Reads every data file once, so the cached seeks find them in the page cache.
void ReadThrough(const std::string& dir) {
  std::vector<char> buffer(1 << 20);
  for (int n = 0; n < kFilesInSet; ++n) {
    std::ifstream in(dir + DataName(n), std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    }
  }
}

// Drops the data files' pages from the page cache (clean pages only; the recorder wrote
// them through).
void DropFromCache(const std::string& dir) {
  for (int n = 0; n < kFilesInSet; ++n) {
    const int fd = ::open((dir + DataName(n)).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
}

// The host side: waits for the first displayed video frame of the seek being measured,
// told apart from frames still playing from before by its local time of day.
class Host {
 public:
  static void OnFrame(uintptr_t context, uint32_t, const FrameDescriptor* d, int32_t) {
    auto* host = reinterpret_cast<Host*>(context);
    host->frames.fetch_add(1, std::memory_order_relaxed);
    if (d->kind != 0 || d->decodeOnly != 0) return;
    const int32_t want = host->wantSecondOfDay_.load();
    if (want < 0) return;
    const int32_t at = d->hour * 3600 + d->minute * 60 + d->second;
    if (at != want) return;
    const double now = platform::PerfSeconds();
    platform::MutexLock hold(&host->mu_);
    if (host->arrivedAt_ == 0) {
      host->arrivedAt_ = now;
      host->arrived_.SignalAll();
    }
  }

  void Expect(int32_t secondOfDay) {
    platform::MutexLock hold(&mu_);
    arrivedAt_ = 0;
    wantSecondOfDay_ = secondOfDay;
  }
  // PerfSeconds of the frame's arrival, or 0 when none came within the limit.
  double Wait(double limitS) {
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(limitS));
    platform::MutexLock hold(&mu_);
    while (arrivedAt_ == 0 && arrived_.WaitUntil(&mu_, deadline)) {
    }
    wantSecondOfDay_ = -1;
    return arrivedAt_;
  }

  std::atomic<uint64_t> frames{0};

 private:
  platform::Mutex mu_;
  platform::CondVar arrived_;
  std::atomic<int32_t> wantSecondOfDay_{-1};
  double arrivedAt_ GUARDED_BY(mu_) = 0;
};

struct SeekRun {
  std::vector<double> ms;
  int missed = 0;
};

// `count` seeks to random seconds of the day, each at least 5 s away from the one before.
SeekRun Seeks(FILESEARCH_HANDLE search, Host* host, const Day& day, int count, bool cold,
              const std::string& dir, std::mt19937* random) {
  SeekRun run;
  std::uniform_int_distribution<int32_t> pick(day.first, day.last - 1);
  int32_t previous = day.first - 100;
  for (int i = 0; i < count; ++i) {
    int32_t t = pick(*random);
    while (std::abs(t - previous) <= 5) t = pick(*random);
    previous = t;
    const platform::LocalFields f = platform::CTime(t).Local();
    host->Expect(f.hour * 3600 + f.minute * 60 + f.second);
    if (cold) DropFromCache(dir);
    const double start = platform::PerfSeconds();
    _RECORDER_FILESEARCH_PLAYTIME(search, f.year, f.month, f.day, f.hour, f.minute, f.second);
    const double arrived = host->Wait(kWaitLimitS);
    if (arrived == 0) {
      ++run.missed;
      run.ms.push_back(kWaitLimitS * 1000);
    } else {
      run.ms.push_back((arrived - start) * 1000);
    }
  }
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  bench::CommonOptions options;
  int seeks = 0;
  bool seeksGiven = false;
  if (!bench::ParseOptions(argc, argv, &options, {{"--seeks", &seeks, &seeksGiven}},
                           "[--dir DIR] [--quick] [--seeks N]")) {
    return 2;
  }
  seeks = seeksGiven ? std::max(1, seeks) : options.quick ? 20 : 100;
  const int coldSeeks = options.quick ? 3 : 12;
  bench::ScratchDir scratch;
  if (!scratch.Make(options.dir, "seekbench", "seekday")) {
    std::fprintf(stderr, "seek_bench: no scratch directory\n");
    return 1;
  }
  const std::string dir = scratch.path() + "/";
  const char* zone = ::getenv("TZ");
  std::printf("seek_bench: TZ %s, scratch %s\n", zone != nullptr ? zone : "(unset)", dir.c_str());

  const int wantFull = options.quick ? 1 : 3;
  const Day day = RecordDay(dir, wantFull);
  std::printf("recorded %.0f MB in %.1f s: %d full data files, %d s of stamped time\n",
              static_cast<double>(day.bytes) / 1e6, day.seconds, day.fullFiles,
              day.last - day.first + 1);
  if (day.fullFiles < wantFull || day.last - day.first < 20) {
    std::fprintf(stderr, "seek_bench: the day was not recorded\n");
    return 1;
  }
  ReadThrough(dir);

  Host host;
  FILESEARCH_HANDLE search = _RECORDER_FILESEARCH_INIT(
      kChannels, reinterpret_cast<uintptr_t>(&host), &Host::OnFrame, nullptr);
  if (search == nullptr) return 1;
  for (const std::string& name : day.indexNames) {
    _RECORDER_FILESEARCH_SETPATH(search, dir.c_str(), name.c_str(), 1);
  }
  std::vector<uint32_t> display(kChannels, 1);
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search, display.data(), kChannels);
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search, 0);
  if (_RECORDER_FILESEARCH_START(search) != 1) {
    _RECORDER_FILESEARCH_END(search);
    return 1;
  }

  std::mt19937 random(12345);
  SeekRun cached = Seeks(search, &host, day, seeks, false, dir, &random);
  SeekRun cold = Seeks(search, &host, day, coldSeeks, true, dir, &random);
  _RECORDER_FILESEARCH_PLAYRATE(search, -1.0f);
  SeekRun backward = Seeks(search, &host, day, seeks, false, dir, &random);
  const uint64_t frames = host.frames.load();
  _RECORDER_FILESEARCH_END(search);

  const double p50 = bench::Percentile(cached.ms, 0.5);
  const double p99 = bench::Percentile(cached.ms, 0.99);
  const double worst = cached.ms.empty() ? 0 : cached.ms.back();
  const double coldP50 = bench::Percentile(cold.ms, 0.5);
  const double coldWorst = cold.ms.empty() ? 0 : cold.ms.back();
  std::printf("cached: %zu seeks, p50 %.1f ms, p99 %.1f ms, max %.1f ms, %d without a frame\n",
              cached.ms.size(), p50, p99, worst, cached.missed);
  std::printf(
      "not cached (fadvise DONTNEED before each): %zu seeks, p50 %.1f ms, max %.1f ms, "
      "%d without a frame\n",
      cold.ms.size(), coldP50, coldWorst, cold.missed);
  const double backP50 = bench::Percentile(backward.ms, 0.5);
  const double backP99 = bench::Percentile(backward.ms, 0.99);
  std::printf("cached, backwards: %zu seeks, p50 %.1f ms, p99 %.1f ms, %d without a frame\n",
              backward.ms.size(), backP50, backP99, backward.missed);
  std::printf("frames delivered to the host in all: %llu\n",
              static_cast<unsigned long long>(frames));

  const std::string what = "seek to first shown frame, " + std::to_string(day.fullFiles) +
                           " x 200 MiB files in page cache";
  bench::Report({"6-p50", what + ", p50", p50, "ms", 0, "-", 0, "-", -1});
  bench::Report({"6-p99", what + ", p99", p99, "ms", kSeekLimitMs, "limit", p99 / kSeekLimitMs,
                 "p99 <= 50 ms", p99 <= kSeekLimitMs ? 1 : 0});
  bench::Report({"6-p50b", what + ", backwards, p50", backP50, "ms", 0, "-", 0, "-", -1});
  bench::Report({"6-p99b", what + ", backwards, p99", backP99, "ms", kSeekLimitMs, "limit",
                 backP99 / kSeekLimitMs, "p99 <= 50 ms", backP99 <= kSeekLimitMs ? 1 : 0});
  return cached.missed == static_cast<int>(cached.ms.size()) ||
                 backward.missed == static_cast<int>(backward.ms.size())
             ? 1
             : 0;
}
