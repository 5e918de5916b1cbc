// The scheduler with its pacing thread: pause, single steps, its sleeps between frames,
// channel switches and audio, and teardown with a held producer or a stuck callback.
#include "scheduler/frame_scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

namespace scheduler {
namespace {

using platform::CTime;
using testsupport::WaitUntil;

constexpr int32_t kT0 = 1700000000;
constexpr int32_t kChannels = 4;

struct Seen {
  uint32_t channel;
  int tag;
  int32_t display;
  double at;
  bool operator==(const Seen& o) const {
    return channel == o.channel && tag == o.tag && display == o.display;
  }
};

std::atomic<double> g_heldNow{100.0};
double HeldClock() { return g_heldNow.load(); }
std::atomic<double> g_steppingNow{0.0};
// Moves 50 ms at every reading: the pacing thread runs in virtual time, however slowly the
// machine schedules it.
double SteppingClock() { return g_steppingNow.fetch_add(0.050) + 0.050; }

class FrameSchedulerTest : public ::testing::Test {
 protected:
  void Begin(double (*clock)() = nullptr) {
    g_heldNow = 100.0;
    platform::SetPerfSecondsForTest(clock);
    sched_ = std::make_unique<CFrameScheduler>();
    ASSERT_TRUE(sched_->Open(kChannels, &OnVideo, &OnAudio, this, 0));
    const int32_t all[kChannels] = {1, 1, 1, 1};
    sched_->SetChannelEnables(all, kChannels);
    sched_->Start();
  }
  void TearDown() override {
    // Stop releases a producer held in EnqueueVideo, so it is gone before the scheduler.
    if (sched_) sched_->Stop();
    if (producer_.joinable()) producer_.join();
    sched_.reset();
    platform::SetPerfSecondsForTest(nullptr);
  }
  static int32_t OnVideo(CFrameScheduler*, uint32_t channel, FrameTime, const uint8_t* data,
                         int32_t, const uint8_t*, int32_t, int32_t display, void* context) {
    auto* self = static_cast<FrameSchedulerTest*>(context);
    std::lock_guard<std::mutex> hold(self->mu_);
    self->video_.push_back({channel, data[0], display, platform::PerfSeconds()});
    return 1;
  }
  static int32_t OnAudio(CFrameScheduler*, uint32_t channel, FrameTime, const uint8_t* data,
                         int32_t, const uint8_t*, int32_t, void* context) {
    auto* self = static_cast<FrameSchedulerTest*>(context);
    std::lock_guard<std::mutex> hold(self->mu_);
    self->audio_.push_back({channel, data[0], 1, 0.0});
    return 1;
  }
  // Stores n frames stamped `time` and tagged `tag` per batch, from a producer thread as the
  // playback thread does.
  struct Batch {
    int32_t time;
    int n = 1;
    uint8_t tag = 0;
    int32_t display = 1;
    uint32_t channel = 0;
  };
  void Feed(std::vector<Batch> batches, float rate = 1.0f) {
    if (producer_.joinable()) producer_.join();
    producer_ = std::thread([this, batches = std::move(batches), rate] {
      for (const Batch& b : batches) {
        for (int i = 0; i < b.n; ++i) {
          last_ = sched_->EnqueueVideo(b.channel, CTime(b.time), &b.tag, 1, nullptr, 0, b.display,
                                       rate);
          if (last_ == 0) return;
          ++stored_;
        }
      }
    });
  }
  std::vector<Seen> Video() {
    std::lock_guard<std::mutex> hold(mu_);
    return video_;
  }
  bool SleepAsked(uint32_t us) {
    return WaitUntil([&] {
      return std::max(sched_->LastPacingWaitUs(), us) - std::min(sched_->LastPacingWaitUs(), us) <=
             100;
    });
  }

  testsupport::ScopedTimeZone tz_{"UTC"};
  std::unique_ptr<CFrameScheduler> sched_;
  std::thread producer_;
  std::atomic<int> stored_{0}, last_{-1};
  std::mutex mu_;
  std::vector<Seen> video_, audio_;
};

// Paused, the producer is held at two queued seconds and nothing is delivered; at 1.0 the
// frames come 40 ms apart, not in a burst.
TEST_F(FrameSchedulerTest, PauseHoldsTheProducerAndPlayResumesAtThePace) {
  Begin();
  sched_->SetRate(0.0f);
  Feed({{kT0, 25}, {kT0 + 1, 25}, {kT0 + 2, 25}, {kT0 + 3}});
  ASSERT_TRUE(WaitUntil([&] { return stored_.load() >= 51; }));
  platform::SleepMs(300);
  EXPECT_TRUE(Video().empty());
  EXPECT_LT(stored_.load(), 76);
  sched_->SetRate(1.0f);
  ASSERT_TRUE(WaitUntil([&] { return Video().size() >= 12; }));
  const std::vector<Seen> got = Video();
  std::vector<double> gaps;
  for (size_t i = 1; i < 12; ++i) gaps.push_back(got[i].at - got[i - 1].at);
  std::nth_element(gaps.begin(), gaps.begin() + 5, gaps.end());
  EXPECT_NEAR(gaps[5], 0.040, 0.005);
}

// A single step delivers the decode-only frames before it and one displayed frame, then the
// rate reads 0; a step against the direction first drops the frames queued for the other.
TEST_F(FrameSchedulerTest, SingleStepShowsOneFrameAndDropsFramesOfTheOtherDirection) {
  Begin(&SteppingClock);
  struct Row {
    float before, step;
    int shownTag;
  };
  for (const Row& r : {Row{1.0f, 100.0f, 1}, Row{-1.0f, 100.0f, 2}, Row{2.0f, -100.0f, 2},
                       Row{-1.0f, -100.0f, 1}}) {
    SCOPED_TRACE(testing::Message() << r.before << " then " << r.step);
    sched_->Flush();
    {
      std::lock_guard<std::mutex> hold(mu_);
      video_.clear();
    }
    sched_->SetRate(r.before);
    sched_->SetRate(0.0f);  // keeps the direction
    stored_ = 0;
    Feed({{kT0, 2, 0, 0}, {kT0, 1, 1}, {kT0 + 1, 1, 1}});
    ASSERT_TRUE(WaitUntil([&] { return stored_.load() == 4; }));
    producer_.join();
    sched_->SetRate(r.step);
    Feed({{kT0 + 10, 1, 2}, {kT0 + 11, 1, 2}}, r.step);
    ASSERT_TRUE(WaitUntil([&] { return sched_->GetRate() == 0.0f; }));
    platform::SleepMs(100);  // the clock moves 50 ms a reading: nothing more may come
    std::vector<Seen> want{{0, 2, 1, 0}};
    if (r.shownTag == 1) want = {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 1, 1, 0}};
    EXPECT_EQ(Video(), want);
  }
}

// The pacing thread sleeps until the next frame is due, at most a 20 ms poll, and naps
// rather than spins on a clock that stands still; each frame goes out on the first cycle
// after its due time.
TEST_F(FrameSchedulerTest, SleepsUntilTheNextFrameIsDue) {
  Begin(&HeldClock);
  sched_->SetRate(0.0f);
  Feed({{kT0, 25}, {kT0 + 1}});
  ASSERT_TRUE(WaitUntil([&] { return stored_.load() == 26; }));
  sched_->SetRate(1.0f);
  // The base is taken at 100.0 and the first frame is due once any time has passed: a
  // clock standing still gets short naps, not a spinning thread.
  ASSERT_TRUE(SleepAsked(1000)) << sched_->LastPacingWaitUs();
  EXPECT_TRUE(Video().empty());
  g_heldNow = 100.037;
  ASSERT_TRUE(WaitUntil([&] { return Video().size() == 1; }));
  // The second frame is due at 100.040: a sleep of 3 ms, not a whole poll period.
  EXPECT_TRUE(SleepAsked(3000)) << sched_->LastPacingWaitUs();
  g_heldNow = 100.0405;
  ASSERT_TRUE(WaitUntil([&] { return Video().size() == 2; }));
  EXPECT_TRUE(SleepAsked(20000)) << sched_->LastPacingWaitUs();
  g_heldNow = 100.0795;
  EXPECT_TRUE(SleepAsked(500)) << sched_->LastPacingWaitUs();
  EXPECT_EQ(Video().size(), 2u);
  g_heldNow = 100.0801;
  ASSERT_TRUE(WaitUntil([&] { return Video().size() == 3; }));
  EXPECT_DOUBLE_EQ(Video()[2].at, 100.0801);
}

// Audio needs an enabled channel in the mask at exactly 1.0; a displayed frame needs an
// enabled channel, also when it is delivered; a decode-only frame does not.
TEST_F(FrameSchedulerTest, ChannelSwitchesAudioMaskAndRateDecideWhatIsStored) {
  Begin();
  const int32_t enables[kChannels] = {1, 1, 0, 1};
  sched_->SetChannelEnables(enables, kChannels);
  sched_->SetAudioMask(0x6);
  const uint8_t b = 7;
  const auto audio = [&](uint32_t ch, int32_t len, float rate) {
    return sched_->EnqueueAudio(ch, CTime(kT0), &b, len, nullptr, 0, rate);
  };
  const auto video = [&](uint32_t ch, int32_t len, int32_t display) {
    return sched_->EnqueueVideo(ch, CTime(kT0), &b, len, nullptr, 0, display, 1.0f);
  };
  EXPECT_EQ((std::vector<int32_t>{audio(0, 1, 1.0f), audio(2, 1, 1.0f), audio(1, 1, 0.5f),
                                  audio(1, 0, 1.0f), video(2, 1, 1), video(kChannels, 1, 0),
                                  video(0, 0, 1), video(0, kMaxFrameDataLength + 1, 1)}),
            (std::vector<int32_t>(8, 0)));
  sched_->SetRate(2.0f);  // any rate but 1.0 stops the audio queue
  EXPECT_EQ(audio(1, 1, 1.0f), 0);
  sched_->SetRate(1.0f);
  EXPECT_EQ((std::vector<int32_t>{audio(1, 1, 1.0f), video(2, 1, 0), video(0, 1, 1)}),
            (std::vector<int32_t>{1, 1, 1}));
  ASSERT_TRUE(WaitUntil([&] { return Video().size() == 2; }));
  // Channel 0 goes off while its displayed frame is queued: it is dropped at delivery.
  sched_->SetRate(0.0f);
  ASSERT_EQ(video(0, 1, 1), 1);
  ASSERT_EQ(sched_->EnqueueVideo(0, CTime(kT0 + 1), &b, 1, nullptr, 0, 1, 1.0f), 1);
  const int32_t none[kChannels] = {};
  sched_->SetChannelEnables(none, kChannels);
  sched_->SetRate(1.0f);
  platform::SleepMs(300);
  EXPECT_EQ(Video(), (std::vector<Seen>{{2, 7, 0, 0}, {0, 7, 1, 0}}));
  std::lock_guard<std::mutex> hold(mu_);
  EXPECT_EQ(audio_, (std::vector<Seen>{{1, 7, 1, 0}}));
}

// Destroying the scheduler releases a producer held by back-pressure at once.
TEST_F(FrameSchedulerTest, DestructionWithAHeldProducerIsPrompt) {
  Begin();
  sched_->SetRate(0.0f);
  std::vector<Batch> batches;
  for (int s = 0; s < 10; ++s) batches.push_back({kT0 + s});
  Feed(batches);
  ASSERT_TRUE(WaitUntil([&] { return stored_ == 3 && sched_->VideoProducersWaiting() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  sched_.reset();
  producer_.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ((std::vector<int>{last_, stored_}), (std::vector<int>{0, 3}));
}

std::atomic<bool> g_entered{false}, g_release{false}, g_left{false};

// A pacing thread that does not come back from a host callback is abandoned after the join
// bound; it finishes later on state it owns.
TEST(FrameSchedulerTeardownTest, AbandonsAPacingThreadStuckInACallback) {
  auto sched = std::make_unique<CFrameScheduler>();
  const auto stuck = [](CFrameScheduler*, uint32_t, FrameTime, const uint8_t*, int32_t,
                        const uint8_t*, int32_t, int32_t, void*) -> int32_t {
    g_entered = true;
    while (!g_release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_left = true;
    return 1;
  };
  ASSERT_TRUE(sched->Open(1, stuck, nullptr, nullptr, 0));
  const int32_t on = 1;
  sched->SetChannelEnables(&on, 1);
  sched->Start();
  const uint8_t byte = 0;
  ASSERT_EQ(sched->EnqueueVideo(0, CTime(kT0), &byte, 1, nullptr, 0, 1, 1.0f), 1);
  ASSERT_TRUE(WaitUntil([] { return g_entered.load(); }));
  sched->SetJoinTimeoutMs(100);
  const auto start = std::chrono::steady_clock::now();
  sched.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  g_release = true;
  EXPECT_TRUE(WaitUntil([] { return g_left.load(); }));
}

}  // namespace
}  // namespace scheduler
