// Large key frames in real time: 4 channels, each sending one 8 MiB key frame and 25 frames
// of 50 KB every second (about 38.5 MB/s in all), paced by the wall clock for 60 s. The
// figure is the number of frames refused; beside it the longest time one write call took
// (the host waits while the rings are full) and whether every byte taken in reached the
// data files, as their index summaries count them.
//
//   large_frame_bench [--dir DIR] [--quick]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "host_bench_util.h"
#include "recorder.h"
#include "storage/formats.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kChannels = 4;
constexpr int kFilesInSet = 16;
constexpr int kSmallFramesPerSecond = 25;
constexpr uint32_t kKeyFrameBytes = RECORDER_MAX_VIDEO_FRAME_BYTES;
constexpr uint32_t kSmallFrameBytes = 50000;

uint64_t StoredBytes(const std::string& dir) {
  uint64_t total = 0;
  for (int n = 0; n < kFilesInSet; ++n) {
    std::ifstream in(dir + "/rec" + std::to_string(n) + ".FIH", std::ios::binary);
    storage::IndexSummary summary{};
    in.seekg(storage::kIndexSummaryOffset);
    in.read(reinterpret_cast<char*>(&summary), sizeof(summary));
    if (in.gcount() == static_cast<std::streamsize>(sizeof(summary))) total += summary.dataBytes;
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  bench::CommonOptions options;
  if (!bench::ParseOptions(argc, argv, &options)) return 2;
  bench::ScratchDir scratch;
  if (!scratch.MakeIn(options.dir.empty() ? "/var/tmp" : options.dir, "largebench")) return 1;
  const int seconds = options.quick ? 8 : 60;

  RECORDER_HANDLE recorder = hostbench::MakeRecorder(scratch.path(), kFilesInSet);
  if (recorder == nullptr || _RECORDER_START(recorder) != 1) {
    std::printf("cannot start a recorder in %s\n", scratch.path().c_str());
    if (recorder != nullptr) _RECORDER_END(recorder);
    return 1;
  }
  std::vector<uint8_t> key(kKeyFrameBytes, 0x11), small(kSmallFrameBytes, 0x22);
  const auto begin = Clock::now();
  // 26 frames per channel and second: the key frame first, each channel at its own phase.
  constexpr int kSlots = kSmallFramesPerSecond + 1;
  const auto period = std::chrono::microseconds(1000000 / kSlots);
  const auto step = period / kChannels;
  uint64_t calls = 0, refused = 0, pushed = 0;
  double longestMs = 0;
  for (int slot = 0; slot < seconds * kSlots; ++slot) {
    const bool isKey = slot % kSlots == 0;
    for (uint32_t c = 0; c < kChannels; ++c) {
      std::this_thread::sleep_until(begin + slot * period + c * step);
      const std::vector<uint8_t>& data = isKey ? key : small;
      FrameDescriptor d =
          hostbench::VideoFrame(data.data(), static_cast<uint32_t>(data.size()), isKey);
      const auto before = Clock::now();
      const int32_t taken = _RECORDER_WRITEVIDEO(recorder, c, &d);
      longestMs = std::max(
          longestMs, std::chrono::duration<double, std::milli>(Clock::now() - before).count());
      ++calls;
      if (taken != 1) ++refused;
      if (taken == 1) pushed += storage::VideoRecordSize(data.size(), isKey);
    }
  }
  const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);
  const uint64_t stored = StoredBytes(scratch.path());
  hostbench::RemoveRecorderFiles(scratch.path(), kFilesInSet);

  std::printf(
      "%llu frames in %.1f s (%.1f MB/s): %llu refused, longest call %.1f ms, "
      "%llu of %llu record bytes stored\n",
      static_cast<unsigned long long>(calls), wall, double(pushed) / wall / 1e6,
      static_cast<unsigned long long>(refused), longestMs, static_cast<unsigned long long>(stored),
      static_cast<unsigned long long>(pushed));
  bench::Figure f;
  f.id = "large-frames";
  f.what = "frames refused, 4 ch x (1 fps 8 MiB key + 25 fps 50 KB) real time, " +
           std::to_string(seconds) + " s";
  f.value = double(refused);
  f.unit = "frames";
  f.reference = longestMs;
  f.referenceName = "longest write call (ms)";
  f.ratio = pushed > 0 ? double(stored) / double(pushed) : 0;
  f.target = "0 refused, every byte stored";
  f.met = refused == 0 && stored == pushed ? 1 : 0;
  bench::Report(f);
  return 0;
}
