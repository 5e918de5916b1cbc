// Real-time load: 32 channels x 25 fps x 4 Mbit/s recorded in real time for 60 s, and the
// share of one core that the library's own threads (writer threads, closer threads,
// deletion worker) use meanwhile, read from /proc/self/task/*/stat. The host thread, the only
// thread of this program, is told apart by its id; its share is printed too.
//
// Every channel sends a 60,000-byte key frame and then 24 frames of 18,333 bytes per second
// (500,000 bytes/s, 4 Mbit/s), each channel at its own phase of the 40 ms frame period as
// independent cameras do. The rotation set lies in DIR (by default a fresh directory in
// /var/tmp, the local disk).
//
//   load_bench [--dir DIR] [--quick]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "host_bench_util.h"
#include "recorder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kChannels = 32;
constexpr int kFilesInSet = 8;
constexpr int kFramesPerSecond = 25;
constexpr uint32_t kKeyFrameBytes = 60000;
constexpr uint32_t kOtherFrameBytes = 18333;  // (500,000 - 60,000) / 24

struct ThreadTimes {
  std::string name;
  uint64_t ticks = 0;  // utime + stime in clock ticks
};

// utime + stime of every live thread of this process, by thread id.
std::map<pid_t, ThreadTimes> ReadThreadTimes() {
  std::map<pid_t, ThreadTimes> times;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    const std::string tidText = entry.path().filename().string();
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;  // the thread ended meanwhile
    // The name in parentheses may hold spaces; the fields after it are space separated,
    // starting with field 3 (state). utime and stime are fields 14 and 15.
    const size_t close = line.rfind(')');
    const size_t open = line.find('(');
    if (close == std::string::npos || open == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    uint64_t utime = 0;
    uint64_t stime = 0;
    for (int index = 3; index <= 15 && rest >> field; ++index) {
      if (index == 14) utime = std::stoull(field);
      if (index == 15) stime = std::stoull(field);
    }
    ThreadTimes& t = times[static_cast<pid_t>(std::stol(tidText))];
    t.name = line.substr(open + 1, close - open - 1);
    t.ticks = utime + stime;
  }
  return times;
}

// Library threads' CPU over the run: each thread's latest reading less its reading at the
// start (0 for threads started during the run). Threads that end between two readings
// keep their last reading, so readings are taken every second.
class ThreadCpuTracker {
 public:
  explicit ThreadCpuTracker(pid_t hostTid) : hostTid_(hostTid) {
    for (const auto& [tid, t] : ReadThreadTimes()) start_[tid] = t.ticks;
  }
  void Sample() {
    for (const auto& [tid, t] : ReadThreadTimes()) latest_[tid] = t;
  }
  double LibrarySeconds() const { return Seconds(false); }
  double HostSeconds() const { return Seconds(true); }
  void PrintThreads() const {
    for (const auto& [tid, t] : latest_) {
      const auto s = start_.find(tid);
      const uint64_t used = t.ticks - (s == start_.end() ? 0 : s->second);
      std::printf("  thread %d (%s)%s: %.2f s\n", static_cast<int>(tid), t.name.c_str(),
                  tid == hostTid_ ? " host" : "", double(used) / double(::sysconf(_SC_CLK_TCK)));
    }
  }

 private:
  double Seconds(bool host) const {
    uint64_t ticks = 0;
    for (const auto& [tid, t] : latest_) {
      if ((tid == hostTid_) != host) continue;
      const auto s = start_.find(tid);
      ticks += t.ticks - (s == start_.end() ? 0 : s->second);
    }
    return double(ticks) / double(::sysconf(_SC_CLK_TCK));
  }

  const pid_t hostTid_;
  std::map<pid_t, uint64_t> start_;
  std::map<pid_t, ThreadTimes> latest_;
};

double CpuSeconds(int who) {
  struct rusage usage {};
  ::getrusage(who, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
  bench::CommonOptions options;
  if (!bench::ParseOptions(argc, argv, &options)) return 2;
  bench::ScratchDir scratch;
  if (!scratch.MakeIn(options.dir.empty() ? "/var/tmp" : options.dir, "hostbench")) return 1;
  const int seconds = options.quick ? 8 : 60;

  RECORDER_HANDLE recorder = hostbench::MakeRecorder(scratch.path(), kFilesInSet);
  if (recorder == nullptr || _RECORDER_START(recorder) != 1) {
    std::printf("cannot start a recorder in %s\n", scratch.path().c_str());
    if (recorder != nullptr) _RECORDER_END(recorder);
    return 1;
  }
  std::printf("real-time load in %s: %u channels x %d fps x 4 Mbit/s for %d s\n",
              scratch.path().c_str(), kChannels, kFramesPerSecond, seconds);

  std::vector<std::vector<uint8_t>> keyFrames(kChannels);
  std::vector<std::vector<uint8_t>> otherFrames(kChannels);
  for (uint32_t c = 0; c < kChannels; ++c) {
    keyFrames[c].assign(kKeyFrameBytes, uint8_t(0x10 + c));
    otherFrames[c].assign(kOtherFrameBytes, uint8_t(0x80 + c));
  }

  const pid_t hostTid = ::gettid();
  ThreadCpuTracker tracker(hostTid);
  const double processCpu0 = CpuSeconds(RUSAGE_SELF);
  const double hostCpu0 = CpuSeconds(RUSAGE_THREAD);
  const auto begin = Clock::now();

  const auto period = std::chrono::microseconds(1000000 / kFramesPerSecond);
  const auto step = period / kChannels;
  uint64_t calls = 0;
  uint64_t refused = 0;
  double lateUs = 0;
  for (int frame = 0; frame < seconds * kFramesPerSecond; ++frame) {
    const bool key = frame % kFramesPerSecond == 0;
    for (uint32_t c = 0; c < kChannels; ++c) {
      const auto due = begin + frame * period + c * step;
      std::this_thread::sleep_until(due);
      lateUs =
          std::max(lateUs, std::chrono::duration<double, std::micro>(Clock::now() - due).count());
      const std::vector<uint8_t>& data = key ? keyFrames[c] : otherFrames[c];
      FrameDescriptor d =
          hostbench::VideoFrame(data.data(), static_cast<uint32_t>(data.size()), key);
      if (_RECORDER_WRITEVIDEO(recorder, c, &d) != 1) ++refused;
      ++calls;
    }
    if (frame % kFramesPerSecond == kFramesPerSecond - 1) tracker.Sample();
  }
  tracker.Sample();
  const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
  const double hostRusage = CpuSeconds(RUSAGE_THREAD) - hostCpu0;
  const double libraryRusage = CpuSeconds(RUSAGE_SELF) - processCpu0 - hostRusage;

  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);

  const double library = tracker.LibrarySeconds();
  const double host = tracker.HostSeconds();
  std::printf("%llu frames in %.1f s (%llu refused, host at most %.0f us late)\n",
              static_cast<unsigned long long>(calls), wall,
              static_cast<unsigned long long>(refused), lateUs);
  tracker.PrintThreads();
  std::printf("library threads: %.2f s CPU = %.2f%% of one core (getrusage: %.2f%%)\n", library,
              library / wall * 100, libraryRusage / wall * 100);
  std::printf("host thread: %.2f s CPU = %.2f%% of one core (getrusage: %.2f%%)\n", host,
              host / wall * 100, hostRusage / wall * 100);

  bench::Figure f;
  f.id = "4";
  f.what = "library threads' CPU, 32 ch x 25 fps x 4 Mbit/s real time, " + std::to_string(seconds) +
           " s";
  f.value = library / wall * 100;
  f.unit = "%";
  f.reference = 3;
  f.referenceName = "3% of one core";
  f.ratio = f.value / f.reference;
  f.target = "< 3% of one core";
  f.met = f.value < 3 ? 1 : 0;
  bench::Report(f);
  return 0;
}
