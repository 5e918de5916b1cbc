// Delivery lateness of the frame scheduler: 32 channels x 25 fps played at rate 1.0 from a
// producer that keeps the queue full, as the playback thread does. Each delivery's lateness
// is its callback time minus the time the pacing rule makes it due. Next to it, the
// wake-up lateness of a condition variable on this machine, measured over the same period,
// which bounds what any sleeping pacing thread can reach.
//
//   pacing_bench [--seconds N] [--channels N] [--fps N] [--frame-bytes N]
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/local_time.h"
#include "scheduler/frame_scheduler.h"

namespace {

using scheduler::CFrameScheduler;
using scheduler::FrameTime;

struct Options {
  int seconds = 10;
  int channels = 32;
  int fps = 25;
  int frameBytes = 20000;  // 4 Mbit/s at 25 fps
};

struct Sample {
  double at;      // performance counter at the callback
  int32_t group;  // recorded second, counted from the first
  int32_t index;  // position within the second's group
};

struct Run {
  int framesPerGroup = 0;
  std::vector<Sample> samples;  // written by the pacing thread only
  std::atomic<size_t> count{0};
  double cpuFirst = 0.0;
  double cpuLast = 0.0;
};

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int32_t OnVideo(CFrameScheduler*, uint32_t, FrameTime, const uint8_t* data, int32_t length,
                const uint8_t*, int32_t, int32_t, void* context) {
  auto* run = static_cast<Run*>(context);
  const double now = platform::PerfSeconds();
  const size_t n = run->count.load(std::memory_order_relaxed);
  if (n >= run->samples.size() || length < 8) return 1;
  Sample s{now, 0, 0};
  std::memcpy(&s.group, data, 4);
  std::memcpy(&s.index, data + 4, 4);
  run->samples[n] = s;
  const double cpu = ThreadCpuSeconds();
  if (n == 0) run->cpuFirst = cpu;
  run->cpuLast = cpu;
  run->count.store(n + 1, std::memory_order_release);
  return 1;
}

double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * double(v.size() - 1) + 0.5));
  return v[i];
}

// Overshoot of timed condition-variable waits of 1..20 ms, until `stop`.
std::vector<double> MeasureWakeLateness(const std::atomic<bool>& stop) {
  std::vector<double> out;
  std::mutex mu;
  std::condition_variable cv;
  std::mt19937 rng(7);
  while (!stop.load()) {
    const auto wait = std::chrono::microseconds(1000 + rng() % 19000);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_until(lock, deadline, [] { return false; });
    const auto late = std::chrono::steady_clock::now() - deadline;
    out.push_back(std::chrono::duration<double>(late).count());
  }
  return out;
}

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](int* out) {
      if (i + 1 >= argc) return false;
      *out = std::atoi(argv[++i]);
      return *out > 0;
    };
    bool ok = false;
    if (a == "--seconds") ok = next(&o->seconds);
    if (a == "--channels") ok = next(&o->channels) && o->channels <= 32;
    if (a == "--fps") ok = next(&o->fps);
    if (a == "--frame-bytes") ok = next(&o->frameBytes) && o->frameBytes >= 8;
    if (!ok) {
      std::fprintf(stderr,
                   "usage: pacing_bench [--seconds N] [--channels N<=32] [--fps N] "
                   "[--frame-bytes N>=8]\n");
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) return 2;

  Run run;
  run.framesPerGroup = opt.channels * opt.fps;
  run.samples.resize(size_t(run.framesPerGroup) * size_t(opt.seconds + 4));

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
      for (int32_t k = 0; k < run.framesPerGroup; ++k) {
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
  std::thread waker([&] { wake = MeasureWakeLateness(stopWake); });

  std::this_thread::sleep_for(std::chrono::seconds(opt.seconds));
  stopWake = true;
  waker.join();
  stopProducer = true;
  sched.reset();  // stops the queues, releases the producer, ends the pacing thread
  producer.join();

  const size_t n = run.count.load(std::memory_order_acquire);
  if (n < 2) {
    std::fprintf(stderr, "only %zu frames delivered\n", n);
    return 1;
  }
  // Stream position of each frame relative to the first; a group's marks carry the time of
  // the next second, which shifts every group alike and cancels out.
  auto position = [&](const Sample& s) {
    return double(s.group) + double(s.index) / double(run.framesPerGroup);
  };
  const double first = position(run.samples[0]);
  // The wall base is taken just before the first frame; no frame is ever delivered early,
  // so the smallest (time - stream offset) is the closest estimate of it from above.
  double base = run.samples[0].at;
  for (size_t i = 0; i < n; ++i) {
    base = std::min(base, run.samples[i].at - (position(run.samples[i]) - first));
  }
  std::vector<double> late;
  late.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    late.push_back(run.samples[i].at - base - (position(run.samples[i]) - first));
  }
  const double span = run.samples[n - 1].at - run.samples[0].at;
  // A long gap means the pacing thread did not run (the machine gave the processor away),
  // as opposed to frames paced wrongly.
  double longestGap = 0.0;
  size_t lateOver20 = 0;
  for (size_t i = 1; i < n; ++i) {
    longestGap = std::max(longestGap, run.samples[i].at - run.samples[i - 1].at);
  }
  for (double l : late) lateOver20 += l > 0.020 ? 1 : 0;
  if (std::getenv("PACING_BENCH_TRACE") != nullptr) {
    // Per recorded second: smallest and largest lateness. A smallest value far above zero
    // means the whole second ran on a shifted base (the queue ran dry and resynchronised).
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
  const double cpu = run.cpuLast - run.cpuFirst;

  std::printf("pacing_bench: %d channels x %d fps, %d-byte frames, rate 1.0, %d s\n", opt.channels,
              opt.fps, opt.frameBytes, opt.seconds);
  std::printf("delivered            %zu frames over %.2f s (%.1f frames/s, expected %d)\n", n, span,
              span > 0 ? double(n - 1) / span : 0.0, run.framesPerGroup);
  std::printf("delivery lateness    p50 %.3f ms  p99 %.3f ms  max %.3f ms\n",
              Percentile(late, 0.50) * 1e3, Percentile(late, 0.99) * 1e3,
              Percentile(late, 1.0) * 1e3);
  // The same from the third recorded second on, once the pool has grown to its working size.
  std::vector<double> steady;
  for (size_t i = 0; i < n; ++i) {
    if (run.samples[i].group >= run.samples[0].group + 2) steady.push_back(late[i]);
  }
  std::printf("  from 3rd second    p50 %.3f ms  p99 %.3f ms  max %.3f ms  (%zu frames)\n",
              Percentile(steady, 0.50) * 1e3, Percentile(steady, 0.99) * 1e3,
              Percentile(steady, 1.0) * 1e3, steady.size());
  std::printf("late by over 20 ms    %zu frames; longest gap between deliveries %.3f ms\n",
              lateOver20, longestGap * 1e3);
  std::printf("cv wake lateness     p50 %.3f ms  p99 %.3f ms  max %.3f ms  (%zu waits)\n",
              Percentile(wake, 0.50) * 1e3, Percentile(wake, 0.99) * 1e3,
              Percentile(wake, 1.0) * 1e3, wake.size());
  std::printf("pacing thread CPU    %.3f s over %.2f s (%.1f%% of one core, %.2f us/frame)\n", cpu,
              span, span > 0 ? 100.0 * cpu / span : 0.0, 1e6 * cpu / double(n));
  return 0;
}
