// Delivery lateness of the frame scheduler: 32 channels x 25 fps played at rate 1.0 from a
// producer that keeps the queue full, as the playback thread does. Each delivery's lateness
// is its callback time minus the instant at which the pacing rule made that frame due (the
// queue reports it to the callback). Next to it, over the same period, the wake-up lateness
// of this machine: a second thread with the pacing thread's priority and processor sleeps
// on the same event type with timed waits and records how late each wait ends. No sleeping
// thread can wake closer to its deadline than that, so it is the yardstick for the pacing.
//
//   pacing_bench [--seconds N] [--quick] [--dir DIR] [--channels N] [--fps N]
//                [--frame-bytes N]
//
// The default run measures 60 s; --quick measures 8 s. The scheduler writes no files, so
// --dir is accepted for bench/run-all and not used.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "bench_util.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/local_time.h"
#include "platform/thread.h"
#include "scheduler/frame_scheduler.h"

namespace {

using scheduler::CFrameScheduler;
using scheduler::FrameTime;

struct Options {
  int seconds = 60;
  int channels = 32;
  int fps = 25;
  int frameBytes = 20000;  // 4 Mbit/s at 25 fps
};

struct Sample {
  double at;      // performance counter at the callback
  double due;     // when the pacing rule made the frame due
  int32_t group;  // recorded second, counted from the first
  int32_t index;  // position within the second's group
};

// Written by the pacing thread only; read after the scheduler is gone.
struct Run {
  std::vector<Sample> samples;
  size_t count = 0;
  double cpuFirst = 0.0;
  double cpuLast = 0.0;
};

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int32_t OnVideo(CFrameScheduler* sched, uint32_t, FrameTime, const uint8_t* data, int32_t length,
                const uint8_t*, int32_t, int32_t, void* context) {
  const double now = platform::PerfSeconds();
  auto* run = static_cast<Run*>(context);
  const size_t n = run->count;
  if (n >= run->samples.size() || length < 8) return 1;
  Sample s{now, sched->VideoDueTime(), 0, 0};
  std::memcpy(&s.group, data, 4);
  std::memcpy(&s.index, data + 4, 4);
  run->samples[n] = s;
  const double cpu = ThreadCpuSeconds();
  if (n == 0) run->cpuFirst = cpu;
  run->cpuLast = cpu;
  run->count = n + 1;
  return 1;
}

// Lateness of an ideal pacing loop: a thread placed like the pacing thread (same priority,
// same processor) that sleeps on the same event type until each deadline of a grid with
// the frames' spacing, and records how late it looks at each one. It has no queue, no lock
// and no frame to copy, so it shows what waking on time costs on this machine at this
// moment. A stall of the machine makes many deadlines late here just as it makes many
// frames late in the scheduler. Runs until `stop`.
std::vector<double> MeasureWakeLateness(const std::atomic<bool>& stop, double interval) {
  platform::Thread::RaiseCurrentPriority();
  platform::Thread::PinCurrentToFirstProcessor();
  platform::Event a(/*manualReset=*/true, /*initiallySignalled=*/false);
  platform::Event b(/*manualReset=*/true, /*initiallySignalled=*/false);
  std::vector<double> out;
  // Half a period off the frames' grid, so the two threads do not ask for the processor at
  // the same instants.
  const double start = platform::PerfSeconds() + 0.5 * interval;
  for (int64_t k = 0; !stop.load(); ++k) {
    const double deadline = start + double(k) * interval;
    double now = platform::PerfSeconds();
    if (now < deadline) {
      platform::WaitAnyMicros(a, b, static_cast<uint64_t>(std::ceil((deadline - now) * 1e6)));
      now = platform::PerfSeconds();
    }
    out.push_back(now - deadline);
  }
  return out;
}

// --dir is taken with the others but not used: nothing is written to disk.
bool ParseArgs(int argc, char** argv, Options* o) {
  bench::CommonOptions common;
  bool secondsGiven = false;
  const char* usage =
      "[--seconds N] [--quick] [--dir DIR] [--channels N<=32] [--fps N] [--frame-bytes N>=8]";
  if (!bench::ParseOptions(argc, argv, &common,
                           {{"--seconds", &o->seconds, &secondsGiven},
                            {"--channels", &o->channels},
                            {"--fps", &o->fps},
                            {"--frame-bytes", &o->frameBytes}},
                           usage)) {
    return false;
  }
  if (common.quick && !secondsGiven) o->seconds = 8;
  if (o->seconds <= 0 || o->channels <= 0 || o->channels > 32 || o->fps <= 0 || o->frameBytes < 8) {
    std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
    return false;
  }
  return true;
}

struct Spread {
  double p50, p99, max;
};

Spread SpreadOf(std::vector<double> v) {
  return {bench::Percentile(v, 0.50), bench::Percentile(v, 0.99), bench::Percentile(v, 1.0)};
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) return 2;

  const int framesPerGroup = opt.channels * opt.fps;
  Run run;
  run.samples.resize(size_t(framesPerGroup) * size_t(opt.seconds + 4));

  auto sched = std::make_unique<CFrameScheduler>();
  if (!sched->Open(opt.channels, &OnVideo, nullptr, &run, 0)) {
    std::fprintf(stderr, "cannot open the scheduler\n");
    return 1;
  }
  std::vector<int32_t> enables(size_t(opt.channels), 1);
  sched->SetChannelEnables(enables.data(), opt.channels);
  sched->SetRate(1.0f);
  sched->Start();

  const int32_t t0 = 1700000000;
  std::atomic<bool> stopProducer{false};
  std::thread producer([&] {
    std::vector<uint8_t> frame(size_t(opt.frameBytes), 0x5A);
    for (int32_t s = 0; !stopProducer.load(); ++s) {
      for (int32_t k = 0; k < framesPerGroup && !stopProducer.load(); ++k) {
        std::memcpy(frame.data(), &s, 4);
        std::memcpy(frame.data() + 4, &k, 4);
        const uint32_t channel = uint32_t(k % opt.channels);
        if (sched->EnqueueVideo(channel, platform::CTime(t0 + s), frame.data(), opt.frameBytes,
                                nullptr, 0, 1, 1.0f) == 0) {
          return;  // stopped
        }
      }
    }
  });

  std::atomic<bool> stopWake{false};
  std::vector<double> wake;
  const double interval = 1.0 / double(framesPerGroup);
  std::thread waker([&] { wake = MeasureWakeLateness(stopWake, interval); });

  std::this_thread::sleep_for(std::chrono::seconds(opt.seconds));
  stopWake = true;
  waker.join();
  // The producer must be out of the scheduler before it goes: Stop releases a producer
  // blocked in EnqueueVideo (it returns 0), and only then is the scheduler destroyed.
  stopProducer = true;
  sched->Stop();
  producer.join();
  sched.reset();  // ends the pacing thread

  const size_t n = run.count;
  if (n < 2 || wake.empty()) {
    std::fprintf(stderr, "only %zu frames delivered, %zu waits measured\n", n, wake.size());
    return 1;
  }
  std::vector<double> late(n);
  for (size_t i = 0; i < n; ++i) late[i] = run.samples[i].at - run.samples[i].due;
  // A frame's due time minus its stream position is the clock base it was paced on. The
  // producer keeps the queue full, so one base should serve the whole run; a new one means
  // the queue ran dry and resynchronised, which would hide lateness from the figures.
  auto position = [&](const Sample& s) {
    return double(s.group) + double(s.index) / double(framesPerGroup);
  };
  size_t bases = 1;
  for (size_t i = 1; i < n; ++i) {
    const double prev = run.samples[i - 1].due - position(run.samples[i - 1]);
    const double cur = run.samples[i].due - position(run.samples[i]);
    if (std::fabs(cur - prev) > 1e-4) ++bases;
  }
  const double span = run.samples[n - 1].at - run.samples[0].at;
  double longestGap = 0.0;
  for (size_t i = 1; i < n; ++i) {
    longestGap = std::max(longestGap, run.samples[i].at - run.samples[i - 1].at);
  }
  const size_t lateOver20 =
      size_t(std::count_if(late.begin(), late.end(), [](double l) { return l > 0.020; }));
  if (std::getenv("PACING_BENCH_TRACE") != nullptr) {
    for (size_t i = 0; i < n;) {
      const int32_t g = run.samples[i].group;
      double lo = late[i], hi = late[i];
      for (; i < n && run.samples[i].group == g; ++i) {
        lo = std::min(lo, late[i]);
        hi = std::max(hi, late[i]);
      }
      std::printf("  second %3d  lateness min %8.3f ms  max %8.3f ms\n", g, lo * 1e3, hi * 1e3);
    }
  }
  std::vector<double> steady;
  for (size_t i = 0; i < n; ++i) {
    if (run.samples[i].group >= run.samples[0].group + 2) steady.push_back(late[i]);
  }
  const Spread d = SpreadOf(late);
  const Spread ds = SpreadOf(steady);
  const Spread w = SpreadOf(wake);
  const double cpu = run.cpuLast - run.cpuFirst;

  std::printf("pacing_bench: %d channels x %d fps, %d-byte frames, rate 1.0, %d s\n", opt.channels,
              opt.fps, opt.frameBytes, opt.seconds);
  std::printf("delivered            %zu frames over %.2f s (%.1f frames/s, expected %d)\n", n, span,
              span > 0 ? double(n - 1) / span : 0.0, framesPerGroup);
  std::printf("delivery lateness    p50 %.3f ms  p99 %.3f ms  max %.3f ms  (%zu clock base%s)\n",
              d.p50 * 1e3, d.p99 * 1e3, d.max * 1e3, bases, bases == 1 ? "" : "s");
  std::printf("  from 3rd second    p50 %.3f ms  p99 %.3f ms  max %.3f ms  (%zu frames)\n",
              ds.p50 * 1e3, ds.p99 * 1e3, ds.max * 1e3, steady.size());
  std::printf("late by over 20 ms   %zu frames; longest gap between deliveries %.3f ms\n",
              lateOver20, longestGap * 1e3);
  std::printf("wake lateness        p50 %.3f ms  p99 %.3f ms  max %.3f ms  (%zu waits)\n",
              w.p50 * 1e3, w.p99 * 1e3, w.max * 1e3, wake.size());
  std::printf("pacing thread CPU    %.3f s over %.2f s (%.1f%% of one core, %.2f us/frame)\n", cpu,
              span, span > 0 ? 100.0 * cpu / span : 0.0, 1e6 * cpu / double(n));

  const std::string load = std::to_string(opt.channels) + " ch x " + std::to_string(opt.fps) +
                           " fps, rate 1.0, " + std::to_string(opt.seconds) + " s";
  auto ratio = [](double value, double reference) {
    return reference > 0 ? value / reference : 0.0;
  };
  bench::Report({"5-p50", "pacing lateness p50, " + load, d.p50 * 1e3, "ms", w.p50 * 1e3,
                 "ideal wait loop lateness p50", ratio(d.p50, w.p50), "-", -1});
  const double limit = w.p99 + 0.001;
  bench::Report({"5-p99", "pacing lateness p99, " + load, d.p99 * 1e3, "ms", limit * 1e3,
                 "ideal wait loop lateness p99 + 1 ms", ratio(d.p99, limit),
                 "p99 <= wake p99 + 1 ms", d.p99 <= limit ? 1 : 0});
  bench::Report({"5-max", "pacing lateness max, " + load, d.max * 1e3, "ms", w.max * 1e3,
                 "ideal wait loop lateness max", ratio(d.max, w.max), "-", -1});
  return 0;
}
