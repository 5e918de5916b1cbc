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
//   seek_bench [--dir DIR] [--quick] [--seeks N] [--sparse ROW]
//
// --sparse ROW runs only that row of the sparse key frames (6-k1s, 6-k10s or 6-k5m, or
// "all" for the three) and skips the day of full files.
// The default run records 3 full files and a part of a fourth and makes 100 seeks; --quick
// records one full file and makes 20. Then come the rows for sparse key frames (every 1 s,
// 10 s and 5 min, 4 of 32 channels shown; see SparseSeeks), each on a recording of its own
// of up to 1.5 GB that is deleted after it; --quick records 20 s of each.
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

// Seeks at sparse key frames: 32 channels recorded at 25 fps, 4 of them displayed at about
// 2 Mbit/s (10 KB frames) and the other 28 at about 0.4 Mbit/s (2 KB frames), each channel
// with a key frame every `keySeconds` at its own phase. Every seek target lies at least one
// key interval after the recording's start, so a displayed channel's key frame before it is
// anywhere up to a whole interval back (in an earlier file, or on the day before when the
// recording starts shortly before midnight). Measured from PLAYTIME: until the host's
// callback gets the first shown frame of the target second (the new picture appears; the
// figure held to the limit), and until every displayed channel has had one (the last of
// the host's windows shows the new time; a figure without a limit).
constexpr uint32_t kSparseShown[] = {0, 9, 18, 27};
constexpr int kSparseFiles = 12;

class AllShownHost {
 public:
  static void OnFrame(uintptr_t context, uint32_t, const FrameDescriptor* d, int32_t) {
    auto* host = reinterpret_cast<AllShownHost*>(context);
    if (d->kind != 0 || d->decodeOnly != 0) return;
    const int32_t want = host->want_.load();
    if (want < 0) return;
    if (d->hour * 3600 + d->minute * 60 + d->second != want) return;
    const double now = platform::PerfSeconds();
    platform::MutexLock hold(&host->mu_);
    if (host->firstAt_ == 0) host->firstAt_ = now;
    if (d->channel >= 32) return;
    const uint32_t all = (1u << std::size(kSparseShown)) - 1;
    for (size_t i = 0; i < std::size(kSparseShown); ++i) {
      if (kSparseShown[i] == d->channel) host->seen_ |= 1u << i;
    }
    if (host->seen_ == all && host->arrivedAt_ == 0) {
      host->arrivedAt_ = now;
      host->arrived_.SignalAll();
    }
  }
  void Expect(int32_t secondOfDay) {
    platform::MutexLock hold(&mu_);
    arrivedAt_ = 0;
    firstAt_ = 0;
    seen_ = 0;
    want_ = secondOfDay;
  }
  // PerfSeconds of the first shown frame of the target and of the last displayed channel's
  // first one (0: none within the limit).
  std::pair<double, double> Wait(double limitS) {
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(limitS));
    platform::MutexLock hold(&mu_);
    while (arrivedAt_ == 0 && arrived_.WaitUntil(&mu_, deadline)) {
    }
    want_ = -1;
    return {firstAt_, arrivedAt_};
  }

 private:
  platform::Mutex mu_;
  platform::CondVar arrived_;
  std::atomic<int32_t> want_{-1};
  uint32_t seen_ GUARDED_BY(mu_) = 0;
  double firstAt_ GUARDED_BY(mu_) = 0;
  double arrivedAt_ GUARDED_BY(mu_) = 0;
};

struct SparseResult {
  bool ok = false;
  double p50 = 0;  // first shown frame of the target
  double p99 = 0;
  double worst = 0;
  double allP50 = 0;  // every displayed channel's first one
  double allP99 = 0;
  int seeks = 0;
  int missed = 0;
  int crossedDay = 0;  // seeks where a displayed channel's key frame lay on the day before
  double recordS = 0;
  uint64_t bytes = 0;
};

SparseResult SparseSeeks(const std::string& dir, int keySeconds, int stampedSeconds, int startHour,
                         int startMinute, int startSecond, int seekCount) {
  SparseResult result;
  const int32_t first =
      platform::CTime::FromLocal(2024, 3, 12, startHour, startMinute, startSecond, -1).seconds();
  const int32_t midnight = platform::CTime::FromLocal(2024, 3, 13, 0, 0, 0, -1).seconds();
  const int interval = keySeconds * kFps;
  auto phase = [&](uint32_t c) { return static_cast<int>(c) * interval / 32 + 1; };
  auto isShown = [](uint32_t c) {
    return std::find(std::begin(kSparseShown), std::end(kSparseShown), c) != std::end(kSparseShown);
  };

  platform::SetNowSecondsForTest(&StampedNow);
  g_stampedNow = first;
  RECORDER_HANDLE recorder = _RECORDER_INIT("seek-bench-sparse", 0, nullptr);
  for (int n = 0; n < kSparseFiles; ++n)
    _RECORDER_ADDFILEPATH(recorder, (dir + DataName(n)).c_str());
  for (uint32_t c = 0; c < kChannels; ++c) _RECORDER_SETRECORD(recorder, c, 1);
  std::vector<uint8_t> payload(kKeyFrameBytes * 5);
  std::mt19937 random(11);
  for (uint8_t& b : payload) b = static_cast<uint8_t>(random());
  const double begin = platform::PerfSeconds();
  if (_RECORDER_START(recorder) != 1) {
    _RECORDER_END(recorder);
    platform::SetNowSecondsForTest(nullptr);
    return result;
  }
  uint32_t tag = 0;
  for (int s = 0; s < stampedSeconds; ++s) {
    g_stampedNow = first + s;
    for (int f = 0; f < kFps; ++f) {
      const int frame = s * kFps + f;
      for (uint32_t c = 0; c < kChannels; ++c) {
        const bool key = (frame + interval - phase(c)) % interval == 0;
        const uint32_t base = isShown(c) ? 5 * kOtherFrameBytes : kOtherFrameBytes;
        const uint32_t size = (key ? 5 * base : base) + (tag * 37) % 400;
        FrameDescriptor d;
        std::memset(&d, 0, sizeof(d));
        d.type = 1;
        d.keyFlag = key ? 1 : 0;
        d.tag = ++tag;
        d.dataStart = tag % 97;
        d.dataEnd = d.dataStart + size;
        d.statSize = size;
        d.videoData = payload.data();
        _RECORDER_WRITEVIDEO(recorder, c, &d);
      }
    }
  }
  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);
  platform::SetNowSecondsForTest(nullptr);
  result.recordS = platform::PerfSeconds() - begin;

  std::vector<std::string> indexNames;
  for (int n = 0; n < kSparseFiles; ++n) {
    if (!fs::exists(dir + IndexName(n))) continue;
    const storage::IndexSummary s = ReadSummary(dir + IndexName(n));
    if (s.dataBytes == 0) continue;
    indexNames.push_back(IndexName(n));
    result.bytes += s.dataBytes;
  }
  ReadThrough(dir);

  AllShownHost host;
  FILESEARCH_HANDLE search = _RECORDER_FILESEARCH_INIT(
      kChannels, reinterpret_cast<uintptr_t>(&host), &AllShownHost::OnFrame, nullptr);
  if (search == nullptr) return result;
  for (const std::string& name : indexNames) {
    _RECORDER_FILESEARCH_SETPATH(search, dir.c_str(), name.c_str(), 1);
  }
  std::vector<uint32_t> display(kChannels, 0);
  for (uint32_t c : kSparseShown) display[c] = 1;
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search, display.data(), kChannels);
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search, 0);
  if (_RECORDER_FILESEARCH_START(search) != 1) {
    _RECORDER_FILESEARCH_END(search);
    return result;
  }
  std::vector<double> ms, allMs;
  std::uniform_int_distribution<int32_t> pick(first + std::min(keySeconds, stampedSeconds / 2),
                                              first + stampedSeconds - 2);
  std::mt19937 seekRandom(99);
  int32_t previous = first - 100;
  for (int i = 0; i < seekCount; ++i) {
    int32_t t = pick(seekRandom);
    while (std::abs(t - previous) <= 5) t = pick(seekRandom);
    previous = t;
    // A shown channel's last key frame at or before t (its first frame of t or earlier).
    for (uint32_t c : kSparseShown) {
      const int frameOfT = (t - first) * kFps;
      const int back = (frameOfT + interval - phase(c)) % interval;
      if (t >= midnight && first + (frameOfT - back) / kFps < midnight) {
        ++result.crossedDay;
        break;
      }
    }
    const platform::LocalFields f = platform::CTime(t).Local();
    host.Expect(f.hour * 3600 + f.minute * 60 + f.second);
    const double start = platform::PerfSeconds();
    _RECORDER_FILESEARCH_PLAYTIME(search, f.year, f.month, f.day, f.hour, f.minute, f.second);
    const auto [firstShown, allShown] = host.Wait(kWaitLimitS);
    ms.push_back(firstShown == 0 ? kWaitLimitS * 1000 : (firstShown - start) * 1000);
    if (allShown == 0) {
      ++result.missed;
      allMs.push_back(kWaitLimitS * 1000);
    } else {
      allMs.push_back((allShown - start) * 1000);
    }
  }
  _RECORDER_FILESEARCH_END(search);
  result.seeks = static_cast<int>(ms.size());
  result.p50 = bench::Percentile(ms, 0.5);
  result.p99 = bench::Percentile(ms, 0.99);
  result.worst = ms.empty() ? 0 : ms.back();
  result.allP50 = bench::Percentile(allMs, 0.5);
  result.allP99 = bench::Percentile(allMs, 0.99);
  result.ok = result.missed < result.seeks;
  return result;
}

// One row per key-frame interval, each recorded into its own scratch directory and removed
// after it.
bool SparseRows(const std::string& parent, bool quick, const std::string& only) {
  struct Row {
    const char* id;
    const char* name;
    int keySeconds;
    int stamped;
    int hour, minute, second;  // recording start
    double limitMs;
  };
  // The 5-min recording starts 2.5 min before midnight, so about half of its seeks look
  // back into the day before.
  const Row rows[] = {
      {"6-k1s", "1 s", 1, quick ? 20 : 40, 10, 0, 0, 50},
      {"6-k10s", "10 s", 10, quick ? 20 : 90, 10, 0, 0, 50},
      {"6-k5m", "5 min", 300, quick ? 20 : 600, 23, 57, 30, 200},
  };
  bool ok = true;
  for (const Row& row : rows) {
    if (!only.empty() && only != "all" && only != row.id) continue;
    const std::string dir = parent + "sparse" + std::to_string(row.keySeconds) + "/";
    fs::create_directories(dir);
    // A quick run is a smoke test: no key interval longer than its 20 s of recording.
    const int keySeconds = quick ? std::min(row.keySeconds, 10) : row.keySeconds;
    const SparseResult r =
        SparseSeeks(dir, keySeconds, row.stamped, row.hour, row.minute, row.second, quick ? 1 : 60);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    std::printf(
        "key frame every %s: recorded %.0f MB (%d s stamped) in %.1f s; %d seeks; first shown "
        "frame p50 %.1f ms, p99 %.1f ms, max %.1f ms; all 4 shown p50 %.1f ms, p99 %.1f ms; %d "
        "without all frames, %d looked back into the day before\n",
        row.name, static_cast<double>(r.bytes) / 1e6, row.stamped, r.recordS, r.seeks, r.p50, r.p99,
        r.worst, r.allP50, r.allP99, r.missed, r.crossedDay);
    if (!r.ok) ok = false;
    const std::string what =
        std::string("seek, 32 channels recorded, 4 shown, key frame every ") + row.name;
    const std::string target = "p99 <= " + std::to_string(static_cast<int>(row.limitMs)) + " ms";
    bench::Report({row.id, what + ", first shown frame, p99", r.p99, "ms", row.limitMs, "limit",
                   r.p99 / row.limitMs, target, r.p99 <= row.limitMs ? 1 : 0});
    bench::Report({std::string(row.id) + "a", what + ", all 4 shown, p99", r.allP99, "ms", 0, "-",
                   0, "-", -1});
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  bench::CommonOptions options;
  int seeks = 0;
  bool seeksGiven = false;
  std::string sparseOnly;
  if (!bench::ParseOptions(argc, argv, &options,
                           {{"--seeks", &seeks, &seeksGiven}, {"--sparse", &sparseOnly}},
                           "[--dir DIR] [--quick] [--seeks N] [--sparse ROW]")) {
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
  if (!sparseOnly.empty()) return SparseRows(dir, options.quick, sparseOnly) ? 0 : 1;

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

  const bool sparseOk = SparseRows(dir, options.quick, "");

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
  return !sparseOk || cached.missed == static_cast<int>(cached.ms.size()) ||
                 backward.missed == static_cast<int>(backward.ms.size())
             ? 1
             : 0;
}
