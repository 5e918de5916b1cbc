// Host-thread cost of intake: the latency of one _RECORDER_WRITEVIDEO call for 4 KiB, 16 KiB
// and 100 KiB frames while the writer keeps up (the rotation set lies on tmpfs by default),
// next to a plain memcpy of the same frame into a ring-sized destination, timed the same way
// in the same run.
//
// The host thread feeds 32 channels at 25 fps, each channel at its own phase of the 40 ms
// frame period as independent cameras do (one call every 1.25 ms). Each call is timed next to
// a memcpy of the same frame into a ring-sized destination, timed the same way; the two
// alternate which goes first. Between calls the host sleeps, as a capture thread does.
//
//   intake_bench [--dir DIR] [--quick]      (DIR defaults to a fresh directory in /dev/shm)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "host_bench_util.h"
#include "recorder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kChannels = 32;
constexpr int kFilesInSet = 4;
constexpr auto kTick = std::chrono::milliseconds(40);  // 25 frames per second per channel
constexpr int kWarmUpTicks = 10;
// The video ring's size: memcpy's destination walks through a buffer this large, as the
// ring's free space does.
constexpr size_t kRingBytes = 3136000;
// What a video record adds to its payload (key frame); close enough for the copy's stride.
constexpr size_t kRecordOverhead = 60;

double MicrosSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct SizeResult {
  uint32_t frameBytes = 0;
  std::vector<double> recorderUs;
  std::vector<double> memcpyUs;
  uint64_t refused = 0;
};

// One frame size: `ticks` ticks of 32 recorder calls and 32 copies each.
bool MeasureSize(const std::string& dir, uint32_t frameBytes, int ticks, SizeResult* result) {
  result->frameBytes = frameBytes;
  RECORDER_HANDLE recorder = hostbench::MakeRecorder(dir, kFilesInSet);
  if (recorder == nullptr || _RECORDER_START(recorder) != 1) {
    std::printf("cannot start a recorder in %s\n", dir.c_str());
    if (recorder != nullptr) _RECORDER_END(recorder);
    return false;
  }
  // One source buffer per channel, as each camera's frame sits in its own buffer.
  std::vector<std::vector<uint8_t>> sources(kChannels);
  for (uint32_t c = 0; c < kChannels; ++c) sources[c].assign(frameBytes, uint8_t(0x40 + c));
  std::vector<uint8_t> ringLike(kRingBytes, 0);
  size_t copyOffset = 0;

  result->recorderUs.reserve(size_t(ticks) * kChannels);
  result->memcpyUs.reserve(size_t(ticks) * kChannels);

  auto recorderCall = [&](int tick, uint32_t c, bool keep) {
    FrameDescriptor frame =
        hostbench::VideoFrame(sources[c].data(), frameBytes, /*key=*/tick % 25 == 0);
    const Clock::time_point t0 = Clock::now();
    const int32_t taken = _RECORDER_WRITEVIDEO(recorder, c, &frame);
    const double us = MicrosSince(t0);
    if (!keep) return;
    result->recorderUs.push_back(us);
    if (taken != 1) ++result->refused;
  };
  auto memcpyCall = [&](uint32_t c, bool keep) {
    if (copyOffset + frameBytes > ringLike.size()) copyOffset = 0;
    uint8_t* destination = ringLike.data() + copyOffset;
    const Clock::time_point t0 = Clock::now();
    std::memcpy(destination, sources[c].data(), frameBytes);
    asm volatile("" : : "r"(destination) : "memory");
    const double us = MicrosSince(t0);
    copyOffset += frameBytes + kRecordOverhead;
    if (keep) result->memcpyUs.push_back(us);
  };

  // Each channel's frame comes at its own phase of the tick, as cameras are not in step.
  const Clock::duration step = std::chrono::duration_cast<Clock::duration>(kTick) / kChannels;
  Clock::time_point next = Clock::now();
  for (int tick = -kWarmUpTicks; tick < ticks; ++tick) {
    const bool keep = tick >= 0;
    for (uint32_t c = 0; c < kChannels; ++c) {
      if ((tick + c) % 2 == 0) {
        recorderCall(tick, c, keep);
        memcpyCall(c, keep);
      } else {
        memcpyCall(c, keep);
        recorderCall(tick, c, keep);
      }
      next += step;
      std::this_thread::sleep_until(next);
    }
  }
  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);
  hostbench::RemoveRecorderFiles(dir, kFilesInSet);
  return true;
}

std::string SizeName(uint32_t bytes) { return std::to_string(bytes / 1024) + "k"; }

void ReportSize(SizeResult& r) {
  const double recP50 = bench::Percentile(r.recorderUs, 0.50);
  const double recP99 = bench::Percentile(r.recorderUs, 0.99);
  const double recMax = r.recorderUs.empty() ? 0 : r.recorderUs.back();
  const double cpyP50 = bench::Percentile(r.memcpyUs, 0.50);
  const double cpyP99 = bench::Percentile(r.memcpyUs, 0.99);
  std::printf(
      "%3u KiB: WRITEVIDEO p50 %.2f us, p99 %.2f us, max %.1f us (%zu calls, %llu refused); "
      "memcpy p50 %.2f us, p99 %.2f us\n",
      r.frameBytes / 1024, recP50, recP99, recMax, r.recorderUs.size(),
      static_cast<unsigned long long>(r.refused), cpyP50, cpyP99);

  const std::string size = SizeName(r.frameBytes);
  bench::Figure p50;
  p50.id = "2-" + size + "-p50";
  p50.what = "WRITEVIDEO " + std::to_string(r.frameBytes / 1024) + " KiB frame, host call p50";
  p50.value = recP50;
  p50.unit = "us";
  p50.reference = 2 * cpyP50 + 1;
  p50.referenceName = "2 x memcpy p50 + 1 us";
  p50.ratio = p50.reference > 0 ? p50.value / p50.reference : 0;
  p50.target = "p50 <= 2 x memcpy + 1 us";
  p50.met = p50.ratio <= 1.0 ? 1 : 0;
  bench::Report(p50);

  bench::Figure p99;
  p99.id = "2-" + size + "-p99";
  p99.what = "WRITEVIDEO " + std::to_string(r.frameBytes / 1024) + " KiB frame, host call p99";
  p99.value = recP99;
  p99.unit = "us";
  p99.reference = 20;
  p99.referenceName = "20 us limit";
  p99.ratio = p99.value / p99.reference;
  p99.target = "p99 <= 20 us";
  p99.met = p99.ratio <= 1.0 ? 1 : 0;
  bench::Report(p99);
}

}  // namespace

int main(int argc, char** argv) {
  bench::CommonOptions options;
  if (!bench::ParseOptions(argc, argv, &options)) return 2;
  bench::ScratchDir scratch;
  if (!scratch.MakeIn(options.dir.empty() ? "/dev/shm" : options.dir, "hostbench")) return 1;

  const double secondsPerSize = options.quick ? 2.0 : 8.0;
  const int ticks = static_cast<int>(secondsPerSize * 1000 / kTick.count());
  std::printf(
      "intake latency in %s: 32 channels x 1 frame every %lld ms, %d frame periods per size\n",
      scratch.path().c_str(), static_cast<long long>(kTick.count()), ticks);

  bool measured = false;
  for (uint32_t bytes : {4u * 1024, 16u * 1024, 100u * 1024}) {
    SizeResult result;
    if (!MeasureSize(scratch.path(), bytes, ticks, &result)) continue;
    ReportSize(result);
    measured = true;
  }
  return measured ? 0 : 1;
}
