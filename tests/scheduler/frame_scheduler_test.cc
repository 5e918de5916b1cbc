// The scheduler with its pacing thread: pause and single steps, its sleeps between frames,
// channel switches, audio, play time and teardown with a blocked producer.
#include "scheduler/frame_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <tuple>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "scheduler_test_util.h"
#include "support/wait_until.h"

namespace scheduler {
namespace {

using platform::CTime;
using Clock = std::chrono::steady_clock;

constexpr int32_t kT0 = 1700000000;
constexpr int32_t kChannels = 4;

// n frames of one channel stamped time, tagged tag.
struct Batch {
  int32_t time;
  int n = 1;
  uint8_t tag = 0;
  int32_t display = 1;
  uint32_t channel = 0;
};

class FrameSchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sched_ = std::make_unique<CFrameScheduler>();
    ASSERT_TRUE(sched_->Open(kChannels, &OnVideo, &OnAudio, this, 0));
    const int32_t all[kChannels] = {1, 1, 1, 1};
    sched_->SetChannelEnables(all, kChannels);
    sched_->Start();
  }

  void TearDown() override {
    // Stop releases a producer held in EnqueueVideo and refuses its next call, so the
    // producer is gone before the scheduler it calls.
    if (sched_) sched_->Stop();
    if (producer_.joinable()) producer_.join();
    sched_.reset();
  }

  static int32_t OnVideo(CFrameScheduler*, uint32_t channel, FrameTime time, const uint8_t* data,
                         int32_t length, const uint8_t*, int32_t, int32_t display, void* context) {
    auto* self = static_cast<FrameSchedulerTest*>(context);
    return self->Log(&self->video_, {channel, time, {data, data + length}, {}, display, 0.0});
  }

  static int32_t OnAudio(CFrameScheduler*, uint32_t channel, FrameTime time, const uint8_t* data,
                         int32_t length, const uint8_t*, int32_t, void* context) {
    auto* self = static_cast<FrameSchedulerTest*>(context);
    return self->Log(&self->audio_, {channel, time, {data, data + length}, {}, 1, 0.0});
  }

  int32_t Log(std::vector<Delivery>* list, Delivery d) {
    d.at = platform::PerfSeconds();
    platform::MutexLock lock(&mu_);
    list->push_back(std::move(d));
    cv_.SignalAll();
    return 1;
  }

  // Stores the frames from a producer thread of their own, as the playback thread does.
  void Feed(std::vector<Batch> batches, float rate = 1.0f) {
    if (producer_.joinable()) producer_.join();
    producer_ = std::thread([this, batches = std::move(batches), rate] {
      for (const Batch& f : batches) {
        const uint8_t data[2] = {f.tag, static_cast<uint8_t>(f.time)};
        for (int i = 0; i < f.n; ++i) {
          const int32_t r =
              sched_->EnqueueVideo(f.channel, CTime(f.time), data, 2, nullptr, 0, f.display, rate);
          lastResult_ = r;
          if (r == 0) return;
          ++stored_;
        }
      }
    });
  }

  bool WaitUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    platform::MutexLock lock(&mu_);
    while (!done()) {
      if (!cv_.WaitUntil(&mu_, deadline)) return done();
    }
    return true;
  }

  bool WaitVideo(size_t n) {
    return WaitUntil([&] { return video_.size() >= n; });
  }

  std::vector<Delivery> VideoCopy() {
    platform::MutexLock lock(&mu_);
    return video_;
  }

  // Channel, tag and display flag of every video frame delivered so far.
  using Shown = std::tuple<uint32_t, int, int32_t>;
  std::vector<Shown> Seen() {
    std::vector<Shown> seen;
    for (const Delivery& d : VideoCopy()) seen.emplace_back(d.channel, d.data[0], d.display);
    return seen;
  }

  ScopedTz tz_{"UTC"};
  std::unique_ptr<CFrameScheduler> sched_;
  std::thread producer_;
  std::atomic<int> stored_{0};
  std::atomic<int32_t> lastResult_{-1};
  platform::Mutex mu_;
  platform::CondVar cv_;
  std::vector<Delivery> video_;
  std::vector<Delivery> audio_;
};

TEST_F(FrameSchedulerTest, PauseDeliversNothingAndResumesWithoutBurst) {
  sched_->SetRate(0.0f);
  Feed({{kT0, 25}, {kT0 + 1, 25}, {kT0 + 2, 25}, {kT0 + 3}});
  ASSERT_TRUE(
      testsupport::WaitUntil([&] { return stored_.load() >= 51; }));  // held at two queued seconds
  EXPECT_FALSE(WaitUntil([&] { return !video_.empty(); }, std::chrono::milliseconds(300)));
  sched_->SetRate(1.0f);
  ASSERT_TRUE(WaitVideo(12));
  const auto got = VideoCopy();
  EXPECT_NEAR(Median(Spacings(got, 0, 12)), 0.040, 0.005);
  EXPECT_GT(got[11].at - got[0].at, 11 * 0.030);
}

double g_fakeNow = 0.0;
platform::Mutex g_fakeMu;

// A counter that moves 50 ms at every reading: the pacing thread runs in its own virtual
// time, however slowly the machine schedules it.
double SteppingClock() {
  platform::MutexLock lock(&g_fakeMu);
  g_fakeNow += 0.050;
  return g_fakeNow;
}

std::atomic<double> g_heldNow{100.0};

// A counter that stands still until the test moves it, so every due time and every sleep
// the pacing thread asks for is known exactly.
double HeldClock() { return g_heldNow.load(); }

// The scheduler with its pacing thread reading one of the counters above.
template <double (*kClock)()>
class FakeClockTest : public FrameSchedulerTest {
 protected:
  void SetUp() override {
    g_heldNow = 100.0;
    platform::SetPerfSecondsForTest(kClock);
    FrameSchedulerTest::SetUp();
  }
  void TearDown() override {
    FrameSchedulerTest::TearDown();
    platform::SetPerfSecondsForTest(nullptr);
  }
};

using FrameSchedulerStepTest = FakeClockTest<&SteppingClock>;

TEST_F(FrameSchedulerStepTest, SingleStepEndsAtTheFirstDisplayedFrame) {
  sched_->SetRate(100.0f);
  Feed({{kT0, 3, 1, /*display=*/0}, {kT0, 1, 2}, {kT0 + 1, 2, 3}, {kT0 + 2, 1, 4}}, 100.0f);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return sched_->GetRate() == 0.0f; }));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return stored_.load() == 7; }));
  // Give the thread many cycles: nothing more may come at rate 0.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Seen(), (std::vector<Shown>{{0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {0, 2, 1}}));
}

class FrameSchedulerHeldClockTest : public FakeClockTest<&HeldClock> {
 protected:
  // Waits until the pacing thread asks for a sleep of about `us` microseconds.
  bool SleepRequestedNear(uint32_t us) {
    return testsupport::WaitUntil([&] {
      const uint32_t got = sched_->LastPacingWaitUs();
      return got + 100 >= us && got <= us + 100;
    });
  }
};

TEST_F(FrameSchedulerHeldClockTest, SleepsUntilTheNextFrameIsDueButNoLongerThanThePoll) {
  // Queued while paused, so the second is closed before delivery starts (the first frame of
  // a second still open would go out at once).
  sched_->SetRate(0.0f);
  Feed({{kT0, 25}, {kT0 + 1}});  // 40 ms apart
  ASSERT_TRUE(testsupport::WaitUntil([&] { return stored_.load() == 26; }));
  sched_->SetRate(1.0f);
  // The base is taken at 100.0; the first frame is due once any time has passed, and a
  // clock standing still gets short naps rather than a spinning thread.
  ASSERT_TRUE(SleepRequestedNear(1000));
  EXPECT_TRUE(VideoCopy().empty());

  g_heldNow = 100.037;
  ASSERT_TRUE(WaitVideo(1));
  // The second frame is due at 100.040: the thread sleeps 3 ms, not a whole poll period.
  EXPECT_TRUE(SleepRequestedNear(3000)) << sched_->LastPacingWaitUs();
  EXPECT_EQ(VideoCopy().size(), 1u);

  g_heldNow = 100.0405;
  ASSERT_TRUE(WaitVideo(2));
  // The third is 39.5 ms away: the poll period caps the sleep.
  EXPECT_TRUE(SleepRequestedNear(20000)) << sched_->LastPacingWaitUs();

  g_heldNow = 100.0795;
  EXPECT_TRUE(SleepRequestedNear(500)) << sched_->LastPacingWaitUs();
  EXPECT_EQ(VideoCopy().size(), 2u);
  g_heldNow = 100.0801;
  ASSERT_TRUE(WaitVideo(3));
  const auto got = VideoCopy();
  // Each frame was delivered on the first cycle after the clock reached it.
  EXPECT_DOUBLE_EQ(got[0].at, 100.037);
  EXPECT_DOUBLE_EQ(got[1].at, 100.0405);
  EXPECT_DOUBLE_EQ(got[2].at, 100.0801);
}

struct StepCase {
  const char* name;
  float before;  // rate that sets the direction before the pause
  float step;
  bool flushed;
};

class FrameSchedulerStepDirectionTest : public FrameSchedulerStepTest,
                                        public ::testing::WithParamInterface<StepCase> {};

TEST_P(FrameSchedulerStepDirectionTest, StepAgainstTheDirectionDropsQueuedFrames) {
  const StepCase& c = GetParam();
  sched_->SetRate(c.before);
  sched_->SetRate(0.0f);  // keeps the direction
  Feed({{kT0, 2, /*tag=*/1}, {kT0 + 1, 1, 1}});
  ASSERT_TRUE(testsupport::WaitUntil([&] { return stored_.load() == 3; }));
  producer_.join();
  sched_->SetRate(c.step);
  Feed({{kT0 + 10, 2, /*tag=*/2}, {kT0 + 11, 1, 2}}, c.step);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return sched_->GetRate() == 0.0f; }));
  const auto got = VideoCopy();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data[0], c.flushed ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Directions, FrameSchedulerStepDirectionTest,
    ::testing::Values(StepCase{"ForwardAfterBackward", -1.0f, 100.0f, true},
                      StepCase{"ForwardAfterForward", 1.0f, 100.0f, false},
                      StepCase{"BackwardAfterForward", 2.0f, -100.0f, true},
                      StepCase{"BackwardAfterBackward", -1.0f, -100.0f, false}),
    [](const ::testing::TestParamInfo<StepCase>& info) { return info.param.name; });

TEST_F(FrameSchedulerTest, AudioNeedsMaskEnableAndNormalRate) {
  const int32_t enables[kChannels] = {1, 1, 0, 1};
  sched_->SetChannelEnables(enables, kChannels);
  sched_->SetAudioMask(0x6);  // channels 1 and 2
  const uint8_t pcm[4] = {9, 8, 7, 6};
  EXPECT_EQ(sched_->EnqueueAudio(0, CTime(kT0), pcm, 4, nullptr, 0, 1.0f), 0);  // mask clear
  EXPECT_EQ(sched_->EnqueueAudio(2, CTime(kT0), pcm, 4, nullptr, 0, 1.0f), 0);  // disabled
  EXPECT_EQ(sched_->EnqueueAudio(1, CTime(kT0), pcm, 4, nullptr, 0, 0.5f), 0);  // rate
  EXPECT_EQ(sched_->EnqueueAudio(1, CTime(kT0), pcm, 0, nullptr, 0, 1.0f), 0);  // empty

  // Any rate but 1.0 stops the audio queue; 1.0 starts it again.
  sched_->SetRate(2.0f);
  EXPECT_EQ(sched_->EnqueueAudio(1, CTime(kT0), pcm, 4, nullptr, 0, 1.0f), 0);
  sched_->SetRate(1.0f);
  ASSERT_EQ(sched_->EnqueueAudio(1, CTime(kT0), pcm, 4, nullptr, 0, 1.0f), 1);
  ASSERT_EQ(sched_->EnqueueAudio(1, CTime(kT0 + 1), pcm, 4, nullptr, 0, 1.0f), 1);
  ASSERT_TRUE(WaitUntil([&] { return !audio_.empty(); }));
  platform::MutexLock lock(&mu_);
  EXPECT_EQ(audio_[0].channel, 1u);
  EXPECT_EQ(audio_[0].data, std::vector<uint8_t>(pcm, pcm + 4));
  EXPECT_TRUE(video_.empty());
}

TEST_F(FrameSchedulerTest, DisabledChannelGetsOnlyUndisplayedFrames) {
  const int32_t onlyFirst[kChannels] = {1, 0, 0, 0};
  sched_->SetChannelEnables(onlyFirst, kChannels);
  EXPECT_EQ(sched_->IsChannelEnabled(99), 0);
  const uint8_t byte = 5;
  EXPECT_EQ(sched_->EnqueueVideo(1, CTime(kT0), &byte, 1, nullptr, 0, 1, 1.0f), 0);
  EXPECT_EQ(sched_->EnqueueVideo(kChannels, CTime(kT0), &byte, 1, nullptr, 0, 0, 1.0f), 0);
  EXPECT_EQ(sched_->EnqueueVideo(0, CTime(kT0), &byte, 0, nullptr, 0, 1, 1.0f), 0);

  sched_->SetRate(0.0f);
  Feed({{kT0, 1, 1, 0, 1}, {kT0, 1, 2, 1, 0}, {kT0, 1, 3, 0, 1}, {kT0 + 1, 1, 4, 1, 0}});
  ASSERT_TRUE(testsupport::WaitUntil([&] { return stored_.load() == 4; }));
  // Channel 0 goes off while its displayed frames are queued: they are dropped at delivery.
  const int32_t none[kChannels] = {0, 0, 0, 0};
  sched_->SetChannelEnables(none, kChannels);
  sched_->SetRate(1.0f);
  ASSERT_TRUE(WaitVideo(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Seen(), (std::vector<Shown>{{1, 1, 0}, {1, 3, 0}}));
  EXPECT_EQ(sched_->GetPlayTime(nullptr), 0);
}

TEST_F(FrameSchedulerTest, PlayTimeFollowsDisplayedFramesUntilStop) {
  CTime t;
  EXPECT_EQ(sched_->GetPlayTime(&t), 0);
  EXPECT_EQ(t, CTime::NoTime());
  Feed({{kT0, 2}, {kT0 + 1}});
  ASSERT_TRUE(WaitVideo(1));
  EXPECT_EQ(sched_->GetPlayTime(&t), 1);
  EXPECT_EQ(t, CTime(kT0));
  sched_->Stop();
  EXPECT_EQ(sched_->GetPlayTime(&t), 0);
}

TEST_F(FrameSchedulerTest, NonFiniteRatesAreIgnored) {
  sched_->SetRate(-3.0f);
  sched_->SetRate(std::numeric_limits<float>::quiet_NaN());
  sched_->SetRate(std::numeric_limits<float>::infinity());
  EXPECT_EQ(sched_->GetRate(), -3.0f);
}

TEST_F(FrameSchedulerTest, DestructionWithAHeldProducerIsPrompt) {
  sched_->SetRate(0.0f);
  std::vector<Batch> batches;
  for (int s = 0; s < 10; ++s) batches.push_back({kT0 + s});
  Feed(batches);
  // Held after two closed seconds; its next call is inside the queue.
  ASSERT_TRUE(testsupport::WaitUntil(
      [&] { return stored_.load() == 3 && sched_->VideoProducersWaiting() == 1; }));
  const auto start = Clock::now();
  sched_.reset();
  producer_.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(lastResult_.load(), 0);
  EXPECT_EQ(stored_.load(), 3);
}

std::atomic<bool> g_callbackEntered{false};
std::atomic<bool> g_callbackRelease{false};
std::atomic<bool> g_callbackLeft{false};

int32_t StuckVideo(CFrameScheduler*, uint32_t, FrameTime, const uint8_t*, int32_t, const uint8_t*,
                   int32_t, int32_t, void*) {
  g_callbackEntered = true;
  while (!g_callbackRelease.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  g_callbackLeft = true;
  return 1;
}

// A pacing thread that does not come back from a host callback is abandoned after the join
// bound; it finishes later on state it owns.
TEST(FrameSchedulerTeardownTest, AbandonsAPacingThreadStuckInACallback) {
  auto sched = std::make_unique<CFrameScheduler>();
  ASSERT_TRUE(sched->Open(1, &StuckVideo, nullptr, nullptr, 0));
  const int32_t on = 1;
  sched->SetChannelEnables(&on, 1);
  sched->Start();
  const uint8_t byte = 0;
  ASSERT_EQ(sched->EnqueueVideo(0, CTime(kT0), &byte, 1, nullptr, 0, 1, 1.0f), 1);
  ASSERT_EQ(sched->EnqueueVideo(0, CTime(kT0 + 1), &byte, 1, nullptr, 0, 1, 1.0f), 1);
  ASSERT_TRUE(testsupport::WaitUntil([] { return g_callbackEntered.load(); }));
  sched->SetJoinTimeoutMs(100);
  const auto start = Clock::now();
  sched.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  g_callbackRelease = true;
  EXPECT_TRUE(testsupport::WaitUntil([] { return g_callbackLeft.load(); }));
}

}  // namespace
}  // namespace scheduler
