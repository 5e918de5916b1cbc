// Many host threads at once through the exports: writers on all 32 channels of a shared
// recorder, a thread that changes its settings (each path change restarts recording), a thread
// that creates, records into and ends recorders of its own, and two threads that play the files
// being recorded: they start, stop, seek and change the rate of a file search, and now and then
// end it (playing or not) and make a new one.
// An alarm ends the process 120 s after the run's deadline (a deadlock); afterwards no thread and
// no descriptor may be left beyond what the process had before.
//
// RECORDER_STRESS_SECONDS sets the run time (default 10; the long version uses 60).
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>

#include "support/process_state.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;
constexpr uint32_t kChannels = 32;
size_t Descriptors() { return CountEntries("/proc/self/fd"); }

std::atomic<uint64_t> g_framesPlayed{0};
void OnFrame(uintptr_t, uint32_t, const FrameDescriptor* d, int32_t) {
  if (d != nullptr) g_framesPlayed.fetch_add(1, std::memory_order_relaxed);
}
void OnNotify(FILESEARCH_HANDLE, uintptr_t, int32_t, uint32_t, const FrameDescriptor*) {}

void WriteFrame(RECORDER_HANDLE recorder, uint32_t channel, uint32_t n, bool audio) {
  const std::vector<uint8_t> payload = Pattern(100 + (n * 131 + channel * 17) % 1400, n + channel);
  FrameDescriptor d = audio ? AudioFrame(payload) : VideoFrame(payload, 0, 1, n % 25 == 0);
  (audio ? _RECORDER_WRITEAUDIO : _RECORDER_WRITEVIDEO)(recorder, channel, &d);
}

RECORDER_HANDLE MakeRecorder(const std::string& dir, const char* name, int files) {
  RECORDER_HANDLE recorder = _RECORDER_INIT(name, 7, nullptr);
  for (int i = 0; i < files; ++i)
    _RECORDER_ADDFILEPATH(recorder, (dir + "000" + std::to_string(i + 1) + ".VDB").c_str());
  for (uint32_t ch = 0; ch < kChannels; ++ch) _RECORDER_SETRECORD(recorder, ch, 1);
  return recorder;
}

// A file search over the first two files of the recorder in `dir`, every channel shown.
FILESEARCH_HANDLE MakeSearch(const std::string& dir) {
  static const std::vector<uint32_t> shown(kChannels, 1);
  FILESEARCH_HANDLE search = _RECORDER_FILESEARCH_INIT(kChannels, 1, &OnFrame, &OnNotify);
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search, shown.data(), kChannels);
  _RECORDER_FILESEARCH_SETPATH(search, dir.c_str(), "0001.FIH", 0);
  _RECORDER_FILESEARCH_SETPATH(search, dir.c_str(), "0002.FIH", 1);
  return search;
}

// Seeks a file search to the local time `pick` % 30 seconds ago, to the second or to the
// start of its minute.
void PlayAt(FILESEARCH_HANDLE search, uint32_t pick) {
  const time_t at = ::time(nullptr) - static_cast<time_t>(pick % 30);
  struct tm t;
  ::localtime_r(&at, &t);
  _RECORDER_FILESEARCH_PLAYTIME(search, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                                t.tm_min, pick % 60 < 30 ? t.tm_sec : 0);
}

TEST(StressTest, EightHostThreadsLeaveNoThreadOrDescriptorBehind) {
  ScratchDir scratch;
  const std::string liveDir = scratch.Sub("live"), extra = scratch.Sub("extra") + "0009.VDB";
  const char* secondsText = ::getenv("RECORDER_STRESS_SECONDS");
  const int seconds = secondsText != nullptr ? std::max(1, std::atoi(secondsText)) : 10;
  const int baseThreads = BaselineThreadCount();
  const size_t baseDescriptors = Descriptors();
  RECORDER_HANDLE live = MakeRecorder(liveDir, "live", 3);
  ASSERT_EQ(_RECORDER_START(live), 1);
  // A run that has not ended 120 s after its deadline is a deadlock: SIGALRM says so and aborts.
  ::signal(SIGALRM, [](int) {
    static const char kMessage[] = "stress: not ended 120 s after its deadline, a deadlock\n";
    (void)!::write(STDERR_FILENO, kMessage, sizeof(kMessage) - 1);
    ::abort();
  });
  ::alarm(static_cast<unsigned>(seconds) + 120);

  // Each host thread repeats a step picked at random from its own list until the deadline,
  // pausing `pauseMs` after each; a step gets a random number of its own.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::atomic<uint64_t> ops{0};
  std::vector<std::thread> threads;
  using Steps = std::vector<std::function<void(uint32_t)>>;
  const auto host = [&](uint32_t seed, int pauseMs, Steps steps) {
    threads.emplace_back([&end, &ops, seed, pauseMs, steps = std::move(steps)] {
      std::mt19937 random(seed);
      for (; std::chrono::steady_clock::now() < end; ops.fetch_add(1, std::memory_order_relaxed)) {
        steps[random() % steps.size()](random());
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
      }
    });
  };
  // Four writers on the live recorder, each on its own eight channels, video and audio.
  for (uint32_t w = 0; w < 4; ++w) {
    host(w, 0, {[&, w](uint32_t n) {
           WriteFrame(live, w * 8 + n % 8, n, n % 5 == 4);
           if (n % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
         }});
  }
  // Settings of the live recorder; every path change restarts its recording.
  host(4, 100,
       {[&](uint32_t) { _RECORDER_ADDFILEPATH(live, extra.c_str()); },
        [&](uint32_t) { _RECORDER_REMOVEFILEPATH(live, extra.c_str()); },
        [&](uint32_t) { _RECORDER_SETHEADERFILEPATH(live, (liveDir + "none").c_str(), 0); },
        [&](uint32_t) {
          _RECORDER_STOP(live);
          _RECORDER_START(live);
        },
        [&](uint32_t) { _RECORDER_DELETEMAN_START(live, 30, 0); },
        [&](uint32_t) { _RECORDER_DELETEMAN_STOP(live); },
        [&](uint32_t n) { _RECORDER_SETSTATUS(live, n % kChannels, 1 + n % 7); }});
  // Recorders of its own, created, recorded into and ended (some stopped first).
  host(5, 0, {[&](uint32_t n) {
         RECORDER_HANDLE recorder = MakeRecorder(scratch.Sub("own"), "own", 2);
         _RECORDER_START(recorder);
         for (uint32_t f = 0; f < 40; ++f) WriteFrame(recorder, f % kChannels, f, f % 4 == 3);
         char first[64];
         const int32_t size = sizeof(first);
         _RECORDER_GETNAME(0, first, &size);
         _RECORDER_GETCOUNT();
         if (n % 3 == 0) _RECORDER_STOP(recorder);
         _RECORDER_END(recorder);
       }});
  // Two players of the live files, mostly playing: a stop is one step in eight; one in 32
  // ends the search, playing or not, for a new one.
  const float rates[] = {1.0f, 2.0f, 0.5f, -1.0f, -4.0f, 0.0f, 100.0f, -100.0f};
  FILESEARCH_HANDLE searches[2] = {MakeSearch(liveDir), MakeSearch(liveDir)};
  for (FILESEARCH_HANDLE& search : searches) {
    host(6 + (&search - searches), 2,
         {[&](uint32_t) { _RECORDER_FILESEARCH_START(search); },
          [&](uint32_t) { _RECORDER_FILESEARCH_STOP(search); },
          [&](uint32_t n) { PlayAt(search, n); },
          [&](uint32_t n) { _RECORDER_FILESEARCH_PLAYRATE(search, rates[n % 8]); },
          [&](uint32_t) {
            uint32_t table[64];
            int32_t count = 64;
            _RECORDER_FILESEARCH_GetDateTable(search, table, &count);
          },
          [&](uint32_t n) { _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search, n % 33); },
          [&](uint32_t) { _RECORDER_FILESEARCH_START(search); },
          [&](uint32_t n) {
            if (n % 4 != 0) return;
            _RECORDER_FILESEARCH_END(search);
            search = MakeSearch(liveDir);
          }});
  }
  for (std::thread& t : threads) t.join();
  for (FILESEARCH_HANDLE search : searches) _RECORDER_FILESEARCH_END(search);
  _RECORDER_END(live);
  ::alarm(0);

  std::printf("stress: %d s, %llu operations, %llu frames played\n", seconds,
              static_cast<unsigned long long>(ops.load()),
              static_cast<unsigned long long>(g_framesPlayed.load()));
  // Worker threads are joined with bounds of a few seconds; give them generous time.
  EXPECT_TRUE(WaitUntil(
      [&] { return ThreadCount() <= baseThreads && Descriptors() <= baseDescriptors; }, 60000))
      << ThreadCount() << " threads, " << Descriptors() << " descriptors left";
}

}  // namespace
