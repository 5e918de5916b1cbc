// The scheduler with its pacing thread: pause, single steps, its sleeps between frames,
// channel switches and audio, and teardown with a held producer or a stuck callback.
#include "scheduler/frame_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

namespace scheduler {
namespace {

using platform::CTime;
using testsupport::WaitUntil;
using Seen = std::tuple<uint32_t, int, int32_t>;  // channel, tag, display flag

constexpr int32_t kT0 = 1700000000;
std::atomic<double> g_now{100.0};
double HeldClock() { return g_now.load(); }
// Moves 50 ms at every reading: the pacing thread runs in virtual time.
double SteppingClock() { return g_now.fetch_add(0.050) + 0.050; }

class FrameSchedulerTest : public ::testing::Test {
 protected:
  void Begin(double (*clock)() = nullptr, VideoCallback video = &OnVideo) {
    platform::SetPerfSecondsForTest(clock);
    ASSERT_TRUE(s_->Open(4, video, &OnAudio, this, 0));
    const int32_t all[4] = {1, 1, 1, 1};
    s_->SetChannelEnables(all, 4);
    s_->Start();
  }
  // Destruction is prompt, and releases a producer held in EnqueueVideo with 0.
  void TearDown() override {
    const auto start = std::chrono::steady_clock::now();
    s_.reset();
    if (producer_.joinable()) producer_.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    platform::SetPerfSecondsForTest(nullptr);
  }
  static int32_t OnVideo(CFrameScheduler*, uint32_t ch, FrameTime, const uint8_t* data, int32_t,
                         const uint8_t*, int32_t, int32_t display, void* context) {
    auto* self = static_cast<FrameSchedulerTest*>(context);
    {
      platform::MutexLock hold(&self->mu_);
      self->video_.emplace_back(ch, data[0], display);
    }
    if (self->hook_) self->hook_();
    return 1;
  }
  static int32_t OnAudio(CFrameScheduler*, uint32_t ch, FrameTime, const uint8_t* data, int32_t,
                         const uint8_t*, int32_t, void* context) {
    auto* self = static_cast<FrameSchedulerTest*>(context);
    platform::MutexLock hold(&self->mu_);
    self->audio_.emplace_back(ch, data[0], 1);
    return 1;
  }
  // From a producer thread, as the playback thread does: n frames per {time, n, tag, display}.
  void Feed(std::vector<std::tuple<int32_t, int, uint8_t, int32_t>> batches, float rate = 1.0f) {
    if (producer_.joinable()) producer_.join();
    stored_ = 0;
    producer_ = std::thread([this, batches, rate] {
      for (const auto& [time, n, tag, display] : batches) {
        for (int i = 0; i < n && last_ != 0; ++i) {
          stored_ += last_ = s_->EnqueueVideo(0, CTime(time), &tag, 1, nullptr, 0, display, rate);
        }
      }
    });
  }
  std::vector<Seen> Video() {
    platform::MutexLock hold(&mu_);
    return video_;
  }
  bool SleepAsked(uint32_t us) {
    return WaitUntil([&] { return std::abs(int64_t(s_->LastPacingWaitUs()) - us) <= 100; });
  }

  testsupport::ScopedTimeZone tz_{"UTC"};
  std::unique_ptr<CFrameScheduler> s_ = std::make_unique<CFrameScheduler>();
  std::thread producer_;
  std::atomic<int> stored_{0}, last_{-1};
  platform::Mutex mu_;
  std::vector<Seen> video_, audio_;
  std::function<void()> hook_;
};

// A single step delivers the decode-only frames before it and one displayed frame, then the
// rate reads 0; a step against the direction first drops the frames queued for the other.
TEST_F(FrameSchedulerTest, SingleStepShowsOneFrameAndDropsFramesOfTheOtherDirection) {
  Begin(&SteppingClock);
  for (const auto& [before, step, flushed] : {std::tuple{1.0f, 100.0f, false},
                                              {-1.0f, 100.0f, true},
                                              {2.0f, -100.0f, true},
                                              {-1.0f, -100.0f, false}}) {
    SCOPED_TRACE(testing::Message() << before << " then " << step);
    s_->Flush();
    s_->SetRate(before);
    s_->SetRate(0.0f);  // keeps the direction
    Feed({{kT0, 2, 0, 0}, {kT0, 1, 1, 1}, {kT0 + 1, 1, 1, 1}});
    ASSERT_TRUE(WaitUntil([&] { return stored_ == 4; }));
    s_->SetRate(step);
    Feed({{kT0 + 10, 1, 2, 1}, {kT0 + 11, 1, 2, 1}}, step);
    ASSERT_TRUE(WaitUntil([&] { return s_->GetRate() == 0.0f; }));
    platform::SleepMs(100);  // many readings of the clock: nothing more may come
    platform::MutexLock hold(&mu_);
    const std::vector<Seen> shown{{0, 2, 1}}, decoded{{0, 0, 0}, {0, 0, 0}, {0, 1, 1}};
    EXPECT_EQ(video_, flushed ? shown : decoded);
    video_.clear();
  }
  // A second step asked for while the first one's frame is being shown is not lost.
  s_->Flush();
  s_->SetRate(1.0f);
  s_->SetRate(0.0f);
  Feed({{kT0, 1, 3, 1}, {kT0 + 1, 1, 3, 1}, {kT0 + 2, 1, 3, 1}});
  ASSERT_TRUE(WaitUntil([&] { return stored_ == 3; }));
  std::atomic<bool> inside{false}, go{false};
  hook_ = [&] {
    if (!inside.exchange(true)) WaitUntil([&] { return go.load(); });
  };
  s_->SetRate(100.0f);
  ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
  s_->SetRate(100.0f);
  go = true;
  EXPECT_TRUE(WaitUntil([&] { return Video().size() == 2 && s_->GetRate() == 0.0f; }, 5000));
}

// Paused, nothing is delivered. The pacing thread sleeps until the next frame is due, at
// most a 20 ms poll, and naps rather than spins on a clock that stands still. Destruction
// releases the producer held by the queue's limit with 0.
TEST_F(FrameSchedulerTest, PausedThenSleepsUntilTheNextFrameIsDue) {
  g_now = 100.0;
  Begin(&HeldClock);
  s_->SetRate(0.0f);
  Feed({{kT0, 25, 0, 1}, {kT0 + 1, 1, 0, 1}, {kT0 + 2, 1, 0, 1}, {kT0 + 3, 3, 0, 1}});
  ASSERT_TRUE(WaitUntil([&] { return stored_ == 27 && s_->VideoProducersWaiting() == 1; }));
  platform::SleepMs(200);
  EXPECT_TRUE(Video().empty());
  s_->SetRate(1.0f);  // the base is taken at 100.0
  ASSERT_TRUE(SleepAsked(1000)) << s_->LastPacingWaitUs();
  for (const auto& [now, shown, us] :
       {std::tuple{100.037, 1u, 3000u}, {100.0405, 2u, 20000u}, {100.0795, 2u, 500u}}) {
    g_now = now;
    const size_t want = shown;  // a structured binding cannot be captured before C++20's fix
    EXPECT_TRUE(WaitUntil([&] { return Video().size() == want; }));
    EXPECT_TRUE(SleepAsked(us)) << now << ": " << s_->LastPacingWaitUs();
  }
  TearDown();
  EXPECT_EQ(last_, 0);
}

// Audio needs an enabled channel in the mask at exactly 1.0; a displayed frame needs an
// enabled channel, also when it is delivered; a decode-only frame does not.
TEST_F(FrameSchedulerTest, ChannelSwitchesAudioMaskAndRateDecideWhatIsStored) {
  Begin();
  const int32_t enables[4] = {1, 1, 0, 1}, none[4] = {};
  s_->SetChannelEnables(enables, 4);
  s_->SetAudioMask(0x6);
  const uint8_t b = 7;
  const auto audio = [&](uint32_t ch, int32_t len, float rate) {
    return s_->EnqueueAudio(ch, CTime(kT0), &b, len, nullptr, 0, rate);
  };
  const auto video = [&](uint32_t ch, int32_t len, int32_t display, int32_t t = kT0) {
    return s_->EnqueueVideo(ch, CTime(t), &b, len, nullptr, 0, display, 1.0f);
  };
  EXPECT_EQ((std::vector<int32_t>{audio(0, 1, 1.0f), audio(2, 1, 1.0f), audio(1, 1, 0.5f),
                                  audio(1, 0, 1.0f), video(2, 1, 1), video(4, 1, 0), video(0, 0, 1),
                                  video(0, kMaxFrameDataLength + 1, 1)}),
            (std::vector<int32_t>(8, 0)));
  s_->SetRate(2.0f);  // any rate but 1.0 stops the audio queue
  EXPECT_EQ(audio(1, 1, 1.0f), 0);
  s_->SetRate(1.0f);
  EXPECT_EQ((std::vector<int32_t>{audio(1, 1, 1.0f), video(2, 1, 0), video(0, 1, 1)}),
            (std::vector<int32_t>{1, 1, 1}));
  ASSERT_TRUE(WaitUntil([&] { return Video().size() == 2; }));
  // Channel 0 goes off while its displayed frames are queued: they are dropped at delivery.
  s_->SetRate(0.0f);
  ASSERT_EQ(video(0, 1, 1) + video(0, 1, 1, kT0 + 1), 2);
  s_->SetChannelEnables(none, 4);
  s_->SetRate(1.0f);
  platform::SleepMs(300);
  EXPECT_EQ(Video(), (std::vector<Seen>{{2, 7, 0}, {0, 7, 1}}));
  platform::MutexLock hold(&mu_);
  EXPECT_EQ(audio_, (std::vector<Seen>{{1, 7, 1}}));
}

std::atomic<bool> g_entered{false}, g_release{false}, g_left{false};

// A pacing thread that does not come back from a host callback is abandoned after the join
// bound; it finishes later on state it owns.
TEST_F(FrameSchedulerTest, AbandonsAPacingThreadStuckInACallback) {
  Begin(nullptr,
        [](CFrameScheduler*, uint32_t, FrameTime, const uint8_t*, int32_t, const uint8_t*, int32_t,
           int32_t, void*) -> int32_t {
          g_entered = true;
          while (!g_release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          return g_left = true;
        });
  const uint8_t b = 0;
  ASSERT_EQ(s_->EnqueueVideo(0, CTime(kT0), &b, 1, nullptr, 0, 1, 1.0f), 1);
  ASSERT_TRUE(WaitUntil([] { return g_entered.load(); }));
  s_->SetJoinTimeoutMs(100);
  TearDown();
  g_release = true;
  EXPECT_TRUE(WaitUntil([] { return g_left.load(); }));
}

}  // namespace
}  // namespace scheduler
