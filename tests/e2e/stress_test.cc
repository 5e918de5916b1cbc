// Many host threads at once through the exports: writers on all 32 channels of a shared
// recorder, a thread that changes its settings (each change restarts recording), threads
// that create and end their own recorders and file searches, and a thread that starts,
// stops, seeks and changes the rate of a file search playing the files being recorded.
// An alarm ends the process 120 s after the run's deadline (a deadlock); afterwards no thread and
// no descriptor may be left beyond what the process had before.
//
// RECORDER_STRESS_SECONDS sets the run time (default 10; the long version uses 60).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "recorder.h"
#include "support/frames.h"
#include "support/process_state.h"
#include "support/scratch_dir.h"
#include "support/wait_until.h"

namespace {

constexpr uint32_t kChannels = 32;
const std::vector<uint32_t> kAllShown(kChannels, 1);

size_t DescriptorCount() { return testsupport::CountEntries("/proc/self/fd"); }

std::atomic<uint64_t> g_framesPlayed{0};
void OnFrame(uintptr_t, uint32_t, const FrameDescriptor* d, int32_t) {
  if (d != nullptr) g_framesPlayed.fetch_add(1, std::memory_order_relaxed);
}
void OnNotify(FILESEARCH_HANDLE, uintptr_t, int32_t, uint32_t, const FrameDescriptor*) {}
std::atomic<uint64_t> g_recorderEvents{0};
void OnRecorderEvent(RECORDER_HANDLE, uintptr_t, int32_t, int32_t, const char*, int32_t) {
  g_recorderEvents.fetch_add(1, std::memory_order_relaxed);
}

void WriteFrame(RECORDER_HANDLE recorder, uint32_t channel, uint32_t n, bool audio) {
  const std::vector<uint8_t> payload =
      testsupport::Pattern(100 + (n * 131 + channel * 17) % 1400, n + channel);
  FrameDescriptor d = audio ? testsupport::AudioFrame(payload)
                            : testsupport::VideoFrame(payload, 0, 1, n % 25 == 0);
  (audio ? _RECORDER_WRITEAUDIO : _RECORDER_WRITEVIDEO)(recorder, channel, &d);
}

// Seeks a file search to the local time of `at`, to the second or to the start of its minute.
void PlayAt(FILESEARCH_HANDLE search, time_t at, bool withSeconds) {
  struct tm local;
  ::localtime_r(&at, &local);
  _RECORDER_FILESEARCH_PLAYTIME(search, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, withSeconds ? local.tm_sec : 0);
}

RECORDER_HANDLE MakeRecorder(const std::string& dir, const char* name, int files) {
  RECORDER_HANDLE recorder = _RECORDER_INIT(name, 7, &OnRecorderEvent);
  if (recorder == nullptr) return nullptr;
  for (int i = 0; i < files; ++i) {
    _RECORDER_ADDFILEPATH(recorder, (dir + "000" + std::to_string(i + 1) + ".VDB").c_str());
  }
  for (uint32_t ch = 0; ch < kChannels; ++ch) _RECORDER_SETRECORD(recorder, ch, 1);
  return recorder;
}

TEST(StressTest, EightHostThreadsLeaveNoThreadOrDescriptorBehind) {
  testsupport::ScratchDir scratch;
  const std::string dir_ = scratch.path();
  for (const char* sub : {"live", "own0", "own1", "extra"}) scratch.Sub(sub);
  const char* secondsText = ::getenv("RECORDER_STRESS_SECONDS");
  const int seconds = secondsText != nullptr ? std::max(1, std::atoi(secondsText)) : 10;
  const int baseThreads = testsupport::BaselineThreadCount();
  const size_t baseDescriptors = DescriptorCount();

  std::atomic<uint64_t> ops{0};
  RECORDER_HANDLE live = MakeRecorder(dir_ + "live/", "live", 3);
  ASSERT_NE(live, nullptr);
  ASSERT_EQ(_RECORDER_START(live), 1);
  // A run that has not ended 120 s after its deadline is a deadlock: SIGALRM says so and aborts.
  ::signal(SIGALRM, [](int) {
    static const char kMessage[] = "stress: not ended 120 s after its deadline, a deadlock\n";
    (void)!::write(STDERR_FILENO, kMessage, sizeof(kMessage) - 1);
    ::abort();
  });
  ::alarm(static_cast<unsigned>(seconds) + 120);
  // A second of frames so the live index files have something to catalogue.
  for (uint32_t n = 0; n < 64; ++n) WriteFrame(live, n % kChannels, n, false);

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  auto running = [&] { return std::chrono::steady_clock::now() < end; };
  std::vector<std::thread> threads;
  // Four writers on the live recorder, each on its own eight channels, video and audio.
  for (int w = 0; w < 4; ++w) {
    threads.emplace_back([&, w] {
      for (uint32_t n = 0; running(); ++n) {
        const uint32_t channel = static_cast<uint32_t>(w) * 8 + n % 8;
        WriteFrame(live, channel, n, n % 5 == 4);
        if (n % 4 == 3) {
          double value = 0;
          _RECORDER_GETBPS(live, channel, &value);
          _RECORDER_GETFPS(live, channel, &value);
        }
        ops.fetch_add(1, std::memory_order_relaxed);
        if (n % 64 == 63) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  // Settings of the live recorder; every path change restarts its recording.
  threads.emplace_back([&] {
    std::mt19937 random(4);
    const std::string extra = dir_ + "extra/0009.VDB";
    char name[300];
    const std::function<void()> changes[] = {
        [&] { _RECORDER_ADDFILEPATH(live, extra.c_str()); },
        [&] { _RECORDER_REMOVEFILEPATH(live, extra.c_str()); },
        [&] { _RECORDER_SETHEADERFILEPATH(live, (dir_ + "none").c_str(), 0); },
        [&] {
          _RECORDER_STOP(live);
          _RECORDER_START(live);
        },
        [&] { _RECORDER_DELETEMAN_START(live, 30, 0); },
        [&] { _RECORDER_DELETEMAN_STOP(live); },
        [&] { _RECORDER_SETSTATUS(live, random() % kChannels, 1 + random() % 7); },
        [&] {
          _RECORDER_GETCURRENTRECFILE(live, name, sizeof(name));
          _RECORDER_GETFILEPATHCOUNT(live);
          _RECORDER_GETOVERWRITECOUNT(live);
        }};
    while (running()) {
      changes[random() % 8]();
      ops.fetch_add(1, std::memory_order_relaxed);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Every channel back to recording always.
    for (uint32_t ch = 0; ch < kChannels; ++ch) _RECORDER_SETSTATUS(live, ch, 1);
  });
  // Recorders of its own, created, recorded into and ended.
  threads.emplace_back([&] {
    for (uint32_t n = 0; running(); ++n) {
      const std::string own = dir_ + (n % 2 ? "own1/" : "own0/");
      RECORDER_HANDLE recorder = MakeRecorder(own, "own", 2);
      if (recorder == nullptr) continue;
      _RECORDER_START(recorder);
      for (uint32_t f = 0; f < 40; ++f) WriteFrame(recorder, f % kChannels, f, f % 4 == 3);
      int32_t size = 64;
      char name[64];
      _RECORDER_GETNAME(0, name, &size);
      _RECORDER_GETCOUNT();
      if (n % 3 == 0) _RECORDER_STOP(recorder);
      _RECORDER_END(recorder);
      ops.fetch_add(44, std::memory_order_relaxed);
    }
  });
  // File searches of their own over the live files: created, played, ended.
  threads.emplace_back([&] {
    std::mt19937 random(6);
    for (uint32_t n = 0; running(); ++n) {
      FILESEARCH_HANDLE search = _RECORDER_FILESEARCH_INIT(kChannels, 1, &OnFrame, &OnNotify);
      if (search == nullptr) continue;
      _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search, kAllShown.data(), kChannels);
      _RECORDER_FILESEARCH_SETPATH(search, (dir_ + "live/").c_str(), "0001.FIH", 0);
      _RECORDER_FILESEARCH_SETPATH(search, (dir_ + "live/").c_str(), "0002.FIH", 1);
      if (n % 4 != 3) {
        _RECORDER_FILESEARCH_START(search);
        PlayAt(search, ::time(nullptr), false);
        _RECORDER_FILESEARCH_PLAYRATE(search, random() % 2 ? 4.0f : -2.0f);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
        if (n % 2) _RECORDER_FILESEARCH_STOP(search);
      }
      _RECORDER_FILESEARCH_END(search);
      ops.fetch_add(6, std::memory_order_relaxed);
    }
  });
  // One long-lived file search: started, stopped, seeked, rate changed.
  threads.emplace_back([&] {
    std::mt19937 random(7);
    FILESEARCH_HANDLE search = _RECORDER_FILESEARCH_INIT(kChannels, 2, &OnFrame, &OnNotify);
    if (search == nullptr) return;
    _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search, kAllShown.data(), kChannels);
    _RECORDER_FILESEARCH_SETPATH(search, (dir_ + "live/").c_str(), "0001.FIH", 0);
    const float rates[] = {1.0f, 2.0f, 0.5f, -1.0f, -4.0f, 0.0f, 100.0f, -100.0f};
    uint32_t table[64];
    int32_t count = 64;
    // Mostly playing: a stop is one operation in twelve.
    const std::function<void()> actions[] = {
        [&] { _RECORDER_FILESEARCH_START(search); }, [&] { _RECORDER_FILESEARCH_STOP(search); },
        [&] { PlayAt(search, ::time(nullptr) - static_cast<time_t>(random() % 30), true); },
        [&] { _RECORDER_FILESEARCH_PLAYRATE(search, rates[random() % 8]); },
        [&] {
          count = 64;
          _RECORDER_FILESEARCH_GetDateTable(search, table, &count);
        }};
    while (running()) {
      const uint32_t pick = random() % 12;
      if (pick < 5) {
        actions[pick]();
      } else {
        _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search, random() % 33);
      }
      ops.fetch_add(1, std::memory_order_relaxed);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    _RECORDER_FILESEARCH_END(search);
  });
  for (std::thread& t : threads) t.join();
  _RECORDER_END(live);
  ::alarm(0);

  std::printf("stress: %d s, %llu operations, %llu frames played, %llu events\n", seconds,
              static_cast<unsigned long long>(ops.load()),
              static_cast<unsigned long long>(g_framesPlayed.load()),
              static_cast<unsigned long long>(g_recorderEvents.load()));
  EXPECT_GT(ops.load(), 0u);
  // Worker threads are joined with bounds of a few seconds; give them generous time.
  EXPECT_TRUE(testsupport::WaitForThreadCount(baseThreads, std::chrono::seconds(60)))
      << testsupport::ThreadCount() << " threads, " << baseThreads << " before";
  EXPECT_TRUE(testsupport::WaitUntil([&] { return DescriptorCount() <= baseDescriptors; }, 60000))
      << DescriptorCount() << " descriptors, " << baseDescriptors << " before";
}

}  // namespace
