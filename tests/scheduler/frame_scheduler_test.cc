// The scheduler with its pacing thread: pause, single steps, its sleeps between frames,
// channel switches and audio, and teardown with a held producer or a stuck callback. The
// play-rate modes and the pacing rule, as pure functions: tables of rates and of queued
// seconds played on a clock that jumps to each due time, so every due time is exact.
#include "scheduler/frame_scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

namespace scheduler {
namespace {

using platform::CTime;
using testsupport::WaitUntil;
using Event = std::tuple<uint32_t, int, int32_t>;  // channel, tag, display flag (-1: audio)

constexpr int32_t kT0 = 1700000000;
std::atomic<double> g_now{100.0}, g_step{0.0};
// Stands still, or moves g_step at every reading: the pacing thread runs in virtual time.
double Clock() { return g_now.fetch_add(g_step) + g_step; }

class FrameSchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 100.0, g_step = 0.0;
    platform::SetPerfSecondsForTest(&Clock);
    ASSERT_TRUE(s_->Open(4, &OnVideo, &OnAudio, this, 0));
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
      self->seen_.emplace_back(ch, data[0], display);
    }
    if (self->hook_ && display >= 0) self->hook_();
    return 1;
  }
  static int32_t OnAudio(CFrameScheduler*, uint32_t ch, FrameTime t, const uint8_t* data, int32_t,
                         const uint8_t*, int32_t, void* context) {
    return OnVideo(nullptr, ch, t, data, 0, nullptr, 0, -1, context);
  }
  // From a producer thread, as the playback thread does: n frames per {time, n, tag, display}.
  void Feed(std::vector<std::tuple<int32_t, int, uint8_t, int32_t>> batches, float rate = 1.0f) {
    if (producer_.joinable()) producer_.join();
    stored_ = 0;
    producer_ = std::thread([this, batches, rate] {
      for (const auto& [time, n, tag, display] : batches) {
        for (int i = 0; i < n && last_ != 0; ++i)
          stored_ += last_ = s_->EnqueueVideo(0, CTime(time), &tag, 1, nullptr, 0, display, rate);
      }
    });
  }
  // What reached the callbacks so far; `clear` starts a new log.
  std::vector<Event> Log(bool clear = false) {
    platform::MutexLock hold(&mu_);
    return clear ? std::exchange(seen_, {}) : seen_;
  }

  testsupport::ScopedTimeZone tz_{"UTC"};
  std::unique_ptr<CFrameScheduler> s_ = std::make_unique<CFrameScheduler>();
  std::thread producer_;
  std::atomic<int> stored_{0}, last_{-1};
  platform::Mutex mu_;
  std::vector<Event> seen_;
  std::function<void()> hook_;
};

// One scheduler through its life. Audio needs an enabled channel in the mask at exactly
// 1.0; a displayed frame needs an enabled channel, also when it is delivered; a decode-only
// frame does not. A single step delivers the decode-only frames before it and one displayed
// frame, then the rate reads 0; a step against the direction first drops the frames queued
// for the other; a second step asked for while the first one's frame is being shown is not
// lost. Paused, nothing is delivered; playing, the pacing thread sleeps until the next frame
// is due, at most a 20 ms poll, and naps rather than spins on a clock that stands still.
// Destruction abandons a pacing thread stuck in a host callback after the join bound (it
// finishes later on state it owns) and releases the producer held by the queue's limit.
TEST_F(FrameSchedulerTest, ChannelsAudioStepsPauseSleepsAndTeardown) {
  g_step = 0.050;
  const int32_t enables[4] = {1, 1, 0, 1}, none[4] = {}, all[4] = {1, 1, 1, 1};
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
  s_->Stop();  // a stopped scheduler takes nothing, though 1.0 starts the audio queue again
  const double stoppedAt = g_now;
  s_->CloseGroups(1.0f);  // its pacing thread polls (a clock reading a turn), never spins
  platform::SleepMs(200);
  EXPECT_LT(g_now - stoppedAt, 100 * g_step);
  s_->SetRate(1.0f);
  EXPECT_EQ(audio(1, 1, 1.0f), 0);
  s_->Start();
  EXPECT_EQ((std::vector<int32_t>{audio(1, 1, 1.0f), video(2, 1, 0), video(0, 1, 1)}),
            (std::vector<int32_t>{1, 1, 1}));
  ASSERT_TRUE(WaitUntil([&] { return Log().size() == 3; }));
  // Channel 0 goes off while its displayed frames are queued: they are dropped at delivery.
  s_->SetRate(0.0f);
  ASSERT_EQ(video(0, 1, 1) + video(0, 1, 1, kT0 + 1), 2);
  s_->SetChannelEnables(none, 4);
  s_->SetRate(1.0f);
  platform::SleepMs(300);
  std::vector<Event> seen = Log();
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<Event>{{0, 7, 1}, {1, 7, -1}, {2, 7, 0}}));
  s_->SetChannelEnables(all, 4);

  for (const auto& [before, step, flushed] : {std::tuple{-1.0f, 100.0f, true},
                                              {2.0f, -100.0f, true},
                                              {-1.0f, -100.0f, false},
                                              {1.0f, 100.0f, false}}) {
    SCOPED_TRACE(testing::Message() << before << " then " << step);
    s_->Flush();
    s_->SetRate(before);
    s_->SetRate(0.0f);  // keeps the direction
    Log(/*clear=*/true);
    Feed({{kT0, 2, 0, 0}, {kT0, 1, 1, 1}, {kT0 + 1, 1, 1, 1}});
    ASSERT_TRUE(WaitUntil([&] { return stored_ == 4; }));
    s_->SetRate(step);
    Feed({{kT0 + 10, 1, 2, 1}, {kT0 + 11, 1, 2, 1}}, step);
    ASSERT_TRUE(WaitUntil([&] { return s_->GetRate() == 0.0f; }));
    platform::SleepMs(100);  // many readings of the clock: nothing more may come
    const std::vector<Event> shown{{0, 2, 1}}, decoded{{0, 0, 0}, {0, 0, 0}, {0, 1, 1}};
    EXPECT_EQ(Log(), flushed ? shown : decoded);
  }
  s_->Flush();  // the last step was forward and left the rate at 0
  Feed({{kT0, 1, 3, 1}, {kT0 + 1, 1, 3, 1}, {kT0 + 2, 1, 3, 1}});
  ASSERT_TRUE(WaitUntil([&] { return stored_ == 3; }));
  std::atomic<int> stage{0};  // 1: in the callback, 2: released, 3: returned
  hook_ = [&] {
    if (stage.exchange(1) == 0) WaitUntil([&] { return stage.load() == 2; }), stage = 3;
  };
  s_->SetRate(100.0f);
  ASSERT_TRUE(WaitUntil([&] { return stage.load() == 1; }));
  s_->SetRate(100.0f);
  stage = 2;
  EXPECT_TRUE(WaitUntil([&] { return Log().size() == 5 && s_->GetRate() == 0.0f; }, 5000));

  s_->Flush();
  g_now = 100.0, g_step = 0.0;
  Feed({{kT0, 25, 0, 1}, {kT0 + 1, 1, 0, 1}, {kT0 + 2, 1, 0, 1}, {kT0 + 3, 3, 0, 1}});
  ASSERT_TRUE(WaitUntil([&] { return stored_ == 27 && s_->VideoProducersWaiting() == 1; }));
  Log(/*clear=*/true);
  s_->SetRate(1.0f);  // the base is taken at 100.0
  for (const auto& [now, shown, us] : {std::tuple{100.0, 0u, 1000u},
                                       {100.037, 1u, 3000u},
                                       {100.0405, 2u, 20000u},
                                       {100.0795, 2u, 500u}}) {
    g_now = now;
    // Copies: a structured binding cannot be captured before C++20's fix.
    EXPECT_TRUE(WaitUntil([&, want = size_t(shown), wait = int64_t(us)] {
      return Log().size() == want && std::abs(int64_t(s_->LastPacingWaitUs()) - wait) <= 100;
    })) << now
        << ": " << s_->LastPacingWaitUs();
  }
  stage = 0;
  g_now = 101.0;
  ASSERT_TRUE(WaitUntil([&] { return stage.load() == 1; }));
  s_->SetJoinTimeoutMs(100);
  TearDown();
  EXPECT_EQ(last_, 0);
  stage = 2;
  EXPECT_TRUE(WaitUntil([&] { return stage.load() == 3; }));
}

// rate, kind, direction, speed, frame cycle, key cycle, audio
TEST(PlayModeTest, EachRateMeansOneMode) {
  constexpr PlayKind P = PlayKind::kPause, N = PlayKind::kNormal, K = PlayKind::kKeyFramesOnly,
                     S = PlayKind::kSingleStep;
  using Mode = std::tuple<float, PlayKind, int32_t, float, int32_t, int32_t, bool>;
  for (const Mode& r :
       {Mode{1.0f, N, 1, 1.0f, 1, 1, true}, Mode{2.5f, N, 1, 2.5f, 3, 1, false},
        Mode{-4.0f, N, -1, 4.0f, 4, 1, false}, Mode{NAN, P, 0, 0.0f, 1, 1, false},
        Mode{-100.0f, S, -1, 1.0f, 1, 1, false}, Mode{27.0f, N, 1, 27.0f, 27, 1, false},
        Mode{27.5f, K, 1, 27.5f, 1, 2, false}, Mode{30.0f, K, 1, 30.0f, 1, 4, false},
        Mode{30.5f, N, 1, 30.5f, 31, 1, false}, Mode{1e30f, N, 1, 1e30f, INT32_MAX, 1, false}}) {
    const PlayMode m = PlayModeOf(std::get<0>(r));
    Mode want = r;  // the rate itself is not compared: NaN is unequal to itself
    std::get<0>(want) = 0.0f;
    EXPECT_EQ(Mode(0.0f, m.kind, m.direction, m.speed, m.frameCycle, m.keyCycle, m.audio), want)
        << std::get<0>(r);
  }
}

}  // namespace
}  // namespace scheduler
