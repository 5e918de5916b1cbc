// Recording throughput: 32 channels of 16 KiB and 64 KiB video frames pushed through
// _RECORDER_WRITEVIDEO from one host thread into a rotation set, measured as frames/s and
// MB/s of records that reached the data files (wall time includes STOP), next to a plain
// O_DSYNC writer of 8 MiB blocks (what `dd if=/dev/zero bs=8M oflag=dsync` does) into the
// same directory. Also the host thread's cost per intake call of a 16 KiB frame, at a paced
// 32 x 25 fps where the disk keeps up.
//
//   record_bench [directory] [seconds per phase]
//
// Without a directory a fresh one is made under /var/tmp and removed afterwards.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/write_all.h"
#include "platform/file.h"
#include "recorder.h"
#include "storage/formats.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kChannels = 32;
constexpr int kFilesInSet = 8;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string DataPath(const std::string& dir, int n) {
  return dir + "/bench" + std::to_string(n) + ".VDB";
}
std::string IndexPath(const std::string& dir, int n) {
  return dir + "/bench" + std::to_string(n) + ".FIH";
}

// Record bytes the index files of the set account for.
uint64_t RecordedBytes(const std::string& dir) {
  uint64_t total = 0;
  for (int n = 0; n < kFilesInSet; ++n) {
    std::ifstream in(IndexPath(dir, n), std::ios::binary);
    storage::IndexSummary summary{};
    in.seekg(storage::kIndexSummaryOffset);
    in.read(reinterpret_cast<char*>(&summary), sizeof(summary));
    if (in.gcount() == static_cast<std::streamsize>(sizeof(summary))) total += summary.dataBytes;
  }
  return total;
}

void RemoveSet(const std::string& dir) {
  for (int n = 0; n < kFilesInSet; ++n) {
    std::filesystem::remove(DataPath(dir, n));
    std::filesystem::remove(IndexPath(dir, n));
  }
}

RECORDER_HANDLE MakeRecorder(const std::string& dir) {
  RECORDER_HANDLE recorder = _RECORDER_INIT("bench", 0, nullptr);
  for (int n = 0; n < kFilesInSet; ++n) _RECORDER_ADDFILEPATH(recorder, DataPath(dir, n).c_str());
  for (uint32_t c = 0; c < kChannels; ++c) _RECORDER_SETRECORD(recorder, c, 1);
  return recorder;
}

FrameDescriptor Descriptor(const std::vector<uint8_t>& payload) {
  FrameDescriptor d;
  std::memset(&d, 0, sizeof(d));
  d.type = 1;
  d.dataEnd = static_cast<uint32_t>(payload.size());
  d.keyFlag = 1;
  d.statSize = d.dataEnd;
  d.videoData = payload.data();
  return d;
}

struct Percentiles {
  double p50Us = 0;
  double p99Us = 0;
};

Percentiles PercentilesOf(std::vector<double>& samplesUs) {
  Percentiles p;
  if (samplesUs.empty()) return p;
  std::sort(samplesUs.begin(), samplesUs.end());
  p.p50Us = samplesUs[samplesUs.size() / 2];
  p.p99Us = samplesUs[std::min(samplesUs.size() - 1, samplesUs.size() * 99 / 100)];
  return p;
}

// Frames as fast as the recorder takes them, for `seconds`.
void Throughput(const std::string& dir, uint32_t frameBytes, double seconds) {
  RemoveSet(dir);
  RECORDER_HANDLE recorder = MakeRecorder(dir);
  if (_RECORDER_START(recorder) != 1) {
    std::printf("START failed in %s\n", dir.c_str());
    _RECORDER_END(recorder);
    return;
  }
  const std::vector<uint8_t> payload(frameBytes, 0x3C);
  std::vector<double> latencyUs;
  latencyUs.reserve(1 << 20);
  uint64_t calls = 0;
  const auto begin = Clock::now();
  const auto end = begin + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    for (uint32_t c = 0; c < kChannels; ++c) {
      FrameDescriptor d = Descriptor(payload);
      const auto t0 = Clock::now();
      _RECORDER_WRITEVIDEO(recorder, c, &d);
      latencyUs.push_back(Seconds(Clock::now() - t0) * 1e6);
      ++calls;
    }
  }
  _RECORDER_STOP(recorder);
  const double wall = Seconds(Clock::now() - begin);
  _RECORDER_END(recorder);

  const uint64_t bytes = RecordedBytes(dir);
  const uint64_t recordSize = storage::VideoRecordSize(frameBytes, true);
  const Percentiles p = PercentilesOf(latencyUs);
  std::printf(
      "recorder  %3u KiB frames: %8.0f frames/s  %7.1f MB/s on disk  (%llu of %llu frames "
      "stored, %.2f s incl. STOP; call p50 %.1f us, p99 %.1f us)\n",
      frameBytes / 1024, static_cast<double>(bytes / recordSize) / wall,
      static_cast<double>(bytes) / wall / 1e6, static_cast<unsigned long long>(bytes / recordSize),
      static_cast<unsigned long long>(calls), wall, p.p50Us, p.p99Us);
  RemoveSet(dir);
}

// 32 channels x 25 fps of 16 KiB frames, paced: the host thread's cost per call.
void PacedLatency(const std::string& dir, double seconds) {
  RemoveSet(dir);
  RECORDER_HANDLE recorder = MakeRecorder(dir);
  if (_RECORDER_START(recorder) != 1) {
    _RECORDER_END(recorder);
    return;
  }
  const std::vector<uint8_t> payload(16 * 1024, 0x5A);
  std::vector<double> latencyUs;
  const auto begin = Clock::now();
  const auto tick = std::chrono::microseconds(1000000 / 25);
  auto next = begin;
  while (Clock::now() - begin < std::chrono::duration<double>(seconds)) {
    for (uint32_t c = 0; c < kChannels; ++c) {
      FrameDescriptor d = Descriptor(payload);
      const auto t0 = Clock::now();
      _RECORDER_WRITEVIDEO(recorder, c, &d);
      latencyUs.push_back(Seconds(Clock::now() - t0) * 1e6);
    }
    next += tick;
    std::this_thread::sleep_until(next);
  }
  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);
  const Percentiles p = PercentilesOf(latencyUs);
  std::printf("intake of a 16 KiB frame at 32 x 25 fps: p50 %.2f us, p99 %.2f us (%zu calls)\n",
              p.p50Us, p.p99Us, latencyUs.size());
  RemoveSet(dir);
}

// What `dd if=/dev/zero bs=8M oflag=dsync` does: 8 MiB blocks through an O_DSYNC file.
void DsyncBaseline(const std::string& dir, double seconds) {
  const std::string path = dir + "/dsync_baseline";
  std::unique_ptr<platform::File> file =
      platform::File::Open(path, platform::File::Mode::kOpenOrCreate, /*writeThrough=*/true);
  if (!file) {
    std::printf("cannot create %s\n", path.c_str());
    return;
  }
  const std::vector<uint8_t> block(8 * 1024 * 1024, 0);
  uint64_t bytes = 0;
  const auto begin = Clock::now();
  while (Clock::now() - begin < std::chrono::duration<double>(seconds)) {
    if (WriteAll(file.get(), block.data(), static_cast<uint32_t>(block.size()), nullptr) != 1) {
      break;
    }
    bytes += block.size();
  }
  const double wall = Seconds(Clock::now() - begin);
  file.reset();
  std::filesystem::remove(path);
  std::printf("O_DSYNC 8 MiB blocks (dd bs=8M oflag=dsync):          %7.1f MB/s\n",
              static_cast<double>(bytes) / wall / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  bool madeDir = false;
  if (argc > 1 && argv[1][0] != '\0') {
    dir = argv[1];
  } else {
    char pattern[] = "/var/tmp/recbench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
    madeDir = true;
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const double seconds = argc > 2 ? std::max(0.5, std::atof(argv[2])) : 5.0;
  if (dir.find('.') != std::string::npos) {
    std::printf("note: a '.' in %s changes the index file names\n", dir.c_str());
  }
  std::printf("directory %s, %.1f s per phase, %u channels, %d files of 200 MiB\n", dir.c_str(),
              seconds, kChannels, kFilesInSet);

  DsyncBaseline(dir, seconds);
  Throughput(dir, 16 * 1024, seconds);
  Throughput(dir, 64 * 1024, seconds);
  DsyncBaseline(dir, seconds);
  PacedLatency(dir, std::min(seconds, 3.0));

  if (madeDir) std::filesystem::remove_all(dir);
  return 0;
}
