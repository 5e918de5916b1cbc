// Memory a recorder holds for pre-record: 32 channels recording on trigger A, pre-record
// 10 s, each channel at 4 Mbit/s (25 fps, a key frame each second), fed on a stamped clock
// with no trigger set, so every channel keeps its last seconds. The figure is the growth of
// the process's resident memory (VmRSS) while the recorder keeps them, next to the bound the
// public header states (8 MiB per channel). A trigger on channel 0 at the end writes its
// kept frames; the seconds they cover are the second figure (at least the 10 asked for).
//
//   prerecord_bench [--dir DIR] [--quick]
//
// The default run feeds 30 stamped seconds; --quick 14.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_report.h"
#include "bench_util.h"
#include "platform/clock.h"
#include "recorder.h"
#include "recording/intake.h"
#include "storage/formats.h"

namespace {

constexpr uint32_t kChannels = 32;
constexpr int kFps = 25;
constexpr int kPreSeconds = 10;
constexpr uint32_t kBytesPerSecond = 4000000 / 8;  // 4 Mbit/s
constexpr uint32_t kKeyBytes = 60000;
constexpr uint32_t kOtherBytes = (kBytesPerSecond - kKeyBytes) / (kFps - 1);
constexpr double kMiB = 1024.0 * 1024.0;

std::atomic<int64_t> g_stampedNow{0};
int64_t StampedNow() { return g_stampedNow.load(); }

double RssMiB() { return static_cast<double>(bench::StatusKiB("VmRSS")) / 1024.0; }

// The index summary of a finished recording, or one with dataBytes 0.
storage::IndexSummary ReadSummary(const std::string& indexPath) {
  storage::IndexSummary summary{};
  std::ifstream in(indexPath, std::ios::binary);
  in.seekg(storage::kIndexSummaryOffset);
  in.read(reinterpret_cast<char*>(&summary), sizeof(summary));
  if (!in) summary.dataBytes = 0;
  return summary;
}

}  // namespace

int main(int argc, char** argv) {
  bench::CommonOptions options;
  if (!bench::ParseOptions(argc, argv, &options)) return 2;
  const int seconds = options.quick ? 14 : 30;
  bench::ScratchDir scratch;
  if (!scratch.Make(options.dir, "prerecbench", "prerecord")) return 1;
  const std::string data = scratch.path() + "/pre0.VDB";

  std::vector<uint8_t> payload(kKeyBytes);
  std::mt19937 random(5);
  for (uint8_t& b : payload) b = static_cast<uint8_t>(random());
  platform::SetNowSecondsForTest(&StampedNow);
  const int64_t start = platform::NowSeconds();
  g_stampedNow = start;

  const double before = RssMiB();
  RECORDER_HANDLE recorder = _RECORDER_INIT("prerecord-bench", 0, nullptr);
  _RECORDER_ADDFILEPATH(recorder, data.c_str());
  for (uint32_t c = 0; c < kChannels; ++c) {
    _RECORDER_SETRECORD(recorder, c, 1);
    _RECORDER_SETSTATUS(recorder, c, 2);
  }
  _RECORDER_SETPREPOSTTIME(recorder, kPreSeconds, 0);
  if (_RECORDER_START(recorder) != 1) {
    std::fprintf(stderr, "prerecord_bench: recording into %s could not start\n", data.c_str());
    return 1;
  }
  FrameDescriptor d;
  std::memset(&d, 0, sizeof(d));
  d.type = 1;
  d.videoData = payload.data();
  int32_t stored = 0;
  double peak = 0;
  for (int s = 0; s <= seconds; ++s) {
    g_stampedNow = start + s;
    for (int f = 0; f < kFps; ++f) {
      for (uint32_t c = 0; c < kChannels; ++c) {
        d.keyFlag = f == 0 ? 1 : 0;
        d.dataEnd = d.statSize = f == 0 ? kKeyBytes : kOtherBytes;
        // The very last frame of channel 0 carries the trigger.
        d.triggerA = s == seconds && c == 0 ? 1 : 0;
        if (s == seconds && (f > 0 || c > 0)) continue;
        stored += _RECORDER_WRITEVIDEO(recorder, c, &d);
      }
    }
    if (s == seconds - 1) peak = RssMiB() - before;
  }
  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);
  platform::SetNowSecondsForTest(nullptr);

  const storage::IndexSummary summary = ReadSummary(storage::IndexFileName(data));
  const double kept = summary.dataBytes > 0 ? double(summary.endTime - summary.startTime) : 0;
  const double bound = double(kChannels) * double(Intake::kPreRecordLimit) / kMiB;
  std::fprintf(stderr,
               "prerecord_bench: %u channels x %d s x 4 Mbit/s kept: RSS grew %.1f MiB "
               "(bound %.0f MiB); the trigger wrote %.0f s before it (%d frame taken)\n",
               kChannels, kPreSeconds, peak, bound, kept, stored);
  bench::Report({"pre-mem", "pre-record memory, 32 ch x pre 10 s x 4 Mbit/s", peak, "MiB", bound,
                 "header bound (8 MiB per channel)", peak / bound, "ratio <= 1",
                 peak <= bound ? 1 : 0});
  bench::Report({"pre-secs", "pre-record seconds written at a trigger (pre 10 s)", kept, "s",
                 double(kPreSeconds), "pre-record time asked for", kept / kPreSeconds, "ratio >= 1",
                 kept >= kPreSeconds ? 1 : 0});
  return summary.dataBytes > 0 ? 0 : 1;
}
