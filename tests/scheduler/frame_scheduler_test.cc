// The scheduler with its pacing thread: pause, single steps, its sleeps between frames,
// channel switches and audio, and teardown with a held producer or a stuck callback. The
// play-rate modes and the pacing rule, as pure functions: tables of rates and of queued
// seconds played on a clock that jumps to each due time, so every due time is exact.
#include "scheduler/frame_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "scheduler/pacing.h"
#include "scheduler/play_mode.h"
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
  s_->SetRate(0.0f);
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

TEST(PlayModeTest, EachRateMeansOneMode) {
  constexpr PlayKind P = PlayKind::kPause, N = PlayKind::kNormal, K = PlayKind::kKeyFramesOnly,
                     S = PlayKind::kSingleStep;
  using Mode = std::tuple<float, PlayKind, int32_t, float, int32_t, int32_t, bool>;
  struct R : Mode {  // rate, kind, direction, speed, frame cycle, key cycle, audio
    using Mode::Mode;
  };
  for (const R& r :
       {R{1.0f, N, 1, 1.0f, 1, 1, true}, R{0.5f, N, 1, 0.5f, 1, 1, false},
        R{2.0f, N, 1, 2.0f, 2, 1, false}, R{2.5f, N, 1, 2.5f, 3, 1, false},
        R{-4.0f, N, -1, 4.0f, 4, 1, false}, R{-1.0f, N, -1, 1.0f, 1, 1, false},
        R{0.0f, P, 0, 0.0f, 1, 1, false}, R{NAN, P, 0, 0.0f, 1, 1, false},
        R{100.0f, S, 1, 1.0f, 1, 1, false}, R{-100.0f, S, -1, 1.0f, 1, 1, false},
        R{27.0f, N, 1, 27.0f, 27, 1, false}, R{27.5f, K, 1, 27.5f, 1, 2, false},
        R{28.0f, K, 1, 28.0f, 1, 2, false}, R{28.5f, K, 1, 28.5f, 1, 3, false},
        R{30.0f, K, 1, 30.0f, 1, 4, false}, R{30.5f, N, 1, 30.5f, 31, 1, false},
        R{-28.0f, N, -1, 28.0f, 28, 1, false}, R{1e30f, N, 1, 1e30f, INT32_MAX, 1, false}}) {
    const PlayMode m = PlayModeOf(std::get<0>(r));
    Mode want = r;  // the rate itself is not compared (NaN is unequal to itself)
    std::get<0>(want) = 0.0f;
    EXPECT_EQ(Mode(0.0f, m.kind, m.direction, m.speed, m.frameCycle, m.keyCycle, m.audio), want)
        << std::get<0>(r);
    EXPECT_EQ(m.Pace(), float(std::get<2>(r)) * std::get<3>(r)) << std::get<0>(r);
  }
}

constexpr double kStart = 100.0;

// A queue reduced to what the pacing rule sees: group marks made as CFrameQueue makes them
// and a count of stored displayed frames. Play runs the rule as Deliver does, the clock
// jumping to each due time, and logs when (seconds after kStart) and with which millisecond
// each frame goes out.
struct Sim {
  std::deque<FrameGroupMark> marks;
  int32_t frames = 0, counter = 0, last = 0;
  PacingState state;
  double now = kStart;
  std::vector<double> at;
  std::vector<int64_t> ms;

  void Second(int32_t t, int n, float rate = 1.0f) {
    if (t != last && counter != 0) {
      marks.push_back({std::fabs(rate), 1.0 / counter, counter, platform::CTime(t)});
      counter = 0;
    }
    last = t, counter += n, frames += n;
  }
  std::vector<PacingStep> Play(float rate, size_t wanted, double until = 1e9) {
    std::vector<PacingStep> steps;
    for (int i = 0; i < 5000 && at.size() < wanted && now < kStart + until; ++i) {
      const PacingInput in{now, PlayModeOf(rate), marks.empty() ? nullptr : &marks.front(),
                           frames > 0, true};
      const PacingDecision d = DecidePacing(state, in);
      steps.push_back(d.step);
      if (d.tookMark) marks.pop_front();
      if (d.step == PacingStep::kDeliver || d.step == PacingStep::kFirstPicture) {
        at.push_back(now - kStart), ms.push_back(d.millisecond), --frames;
        CountHandedOut(state, d.step, now);
      } else if (d.step == PacingStep::kWait || d.step == PacingStep::kNewBase) {
        EXPECT_GE(d.due, now);
        now = d.due + 1e-9;
      } else {
        state.resync = true;  // as Deliver does after nothing
        now += 0.001;
      }
    }
    return steps;
  }
};

// The frames of a second are spread evenly at the pace (the play speed, or a group's own
// faster rate); a stretch without recordings is waited out for at most two seconds of wall
// time. A group sits at the time of the second that closes it, so the wait comes before the
// last recorded second ahead of the stretch.
TEST(PacingTest, FramesAreSpreadAtThePaceAndGapsCutToTwoSeconds) {
  struct Row {
    float markRate, playRate;
    double spacing;
  };
  for (const Row& r : {Row{1.0f, 1.0f, 0.040}, Row{1.0f, 2.0f, 0.020}, Row{1.0f, -1.0f, 0.040},
                       Row{1.0f, 100.0f, 0.040}, Row{1.0f, -100.0f, 0.040}, Row{4.0f, 1.0f, 0.010},
                       Row{0.5f, 1.0f, 0.040}, Row{0.5f, 0.25f, 0.080}}) {
    SCOPED_TRACE(testing::Message() << r.markRate << " at " << r.playRate);
    const int32_t dir = r.playRate < 0 ? -1 : 1;
    Sim sim;
    for (int32_t s : {0, 1}) sim.Second(kT0 + s * dir, 25, r.markRate);
    sim.Second(kT0 + 2 * dir, 1, r.markRate);
    sim.Play(r.playRate, 50);
    ASSERT_EQ(sim.at.size(), 50u);
    for (size_t k = 0; k < 50; ++k) {
      EXPECT_EQ(sim.ms[k], int64_t(k % 25) * 40) << k;
      EXPECT_NEAR(sim.at[k], double(k) * r.spacing, 1e-6) << k;
    }
  }
  struct Gap {
    int32_t gap;
    float rate;
    double wait;
  };
  for (const Gap& r : {Gap{1, 1.0f, 1.0}, Gap{1, 0.25f, 4.0}, Gap{3, 1.0f, 3.0},
                       Gap{7200, 1.0f, 3.0}, Gap{7200, 0.5f, 4.0}, Gap{60, 4.0f, 2.25}}) {
    Sim sim;
    for (int32_t t : {0, 1, 1 + r.gap, 2 + r.gap}) sim.Second(kT0 + t, 1, r.rate);
    sim.Play(r.rate, 3);
    ASSERT_EQ(sim.at.size(), 3u);
    EXPECT_NEAR(sim.at[1] - sim.at[0], r.wait, 1e-6) << r.gap << " s at " << r.rate;
  }
}

// Frames handed out past a group's count while the next mark was missing count towards the
// next group once its mark arrives; a group never closed is starved, not guessed. Pause and
// a change of pace take a new base: play resumes on the next frame, without a burst of the
// frames that fell due meanwhile. A clock that runs backwards delivers nothing.
TEST(PacingTest, LateMarksPauseNewPaceAndABackwardClock) {
  Sim sim;
  sim.Second(kT0, 4);
  sim.Second(kT0 + 1, 3);
  sim.Play(1.0f, 6);
  EXPECT_EQ(sim.ms, (std::vector<int64_t>{0, 250, 500, 750, 1000, 1250}));
  sim.Second(kT0 + 2, 1);
  sim.Play(1.0f, 7);
  ASSERT_EQ(sim.ms.size(), 7u);
  EXPECT_EQ(sim.ms[6], 666);
  Sim open;
  open.Second(kT0, 3);
  EXPECT_EQ(open.Play(1.0f, 3, 5.0).front(), PacingStep::kFirstPicture);
  EXPECT_EQ(open.at.size(), 1u);
  EXPECT_EQ(open.Play(1.0f, 3, 6.0).back(), PacingStep::kStarved);

  Sim run;
  for (int32_t s = 0; s < 4; ++s) run.Second(kT0 + s, 25);
  run.Play(1.0f, 5);
  EXPECT_EQ(run.Play(0.0f, 6, run.now - kStart + 10.0).back(), PacingStep::kIdle);
  const double resumed = run.now - kStart;
  EXPECT_EQ(run.Play(1.0f, 8).front(), PacingStep::kNewBase);
  EXPECT_NEAR(run.at[5], resumed, 1e-6);
  EXPECT_NEAR(run.at[7] - run.at[5], 0.080, 1e-6);
  EXPECT_EQ(run.Play(2.0f, 10).front(), PacingStep::kNewBase);
  EXPECT_NEAR(run.at[9] - run.at[8], 0.020, 1e-6);
  run.now -= 1.0;
  EXPECT_EQ(run.Play(2.0f, 11, run.now - kStart + 0.0005).front(), PacingStep::kIdle);
}

}  // namespace
}  // namespace scheduler
