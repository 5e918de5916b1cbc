// The play-rate modes and the pacing rule, as pure functions: tables of rates and of queued
// seconds played on a clock that jumps to each due time, so every due time is exact.
#include "scheduler/pacing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <vector>

#include "scheduler/play_mode.h"

namespace scheduler {
namespace {

TEST(PlayModeTest, EachRateMeansOneMode) {
  struct Row {
    float rate;
    PlayKind kind;
    int32_t direction;
    float speed;
    int32_t frameCycle, keyCycle;
    bool audio;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const Row& r : std::vector<Row>{
           {1.0f, PlayKind::kNormal, 1, 1.0f, 1, 1, true},
           {0.5f, PlayKind::kNormal, 1, 0.5f, 1, 1, false},
           {2.0f, PlayKind::kNormal, 1, 2.0f, 2, 1, false},
           {2.5f, PlayKind::kNormal, 1, 2.5f, 3, 1, false},
           {-4.0f, PlayKind::kNormal, -1, 4.0f, 4, 1, false},
           {-1.0f, PlayKind::kNormal, -1, 1.0f, 1, 1, false},
           {0.0f, PlayKind::kPause, 0, 0.0f, 1, 1, false},
           {nan, PlayKind::kPause, 0, 0.0f, 1, 1, false},
           {100.0f, PlayKind::kSingleStep, 1, 1.0f, 1, 1, false},
           {-100.0f, PlayKind::kSingleStep, -1, 1.0f, 1, 1, false},
           {27.0f, PlayKind::kNormal, 1, 27.0f, 27, 1, false},
           {27.5f, PlayKind::kKeyFramesOnly, 1, 27.5f, 1, 2, false},
           {28.0f, PlayKind::kKeyFramesOnly, 1, 28.0f, 1, 2, false},
           {28.5f, PlayKind::kKeyFramesOnly, 1, 28.5f, 1, 3, false},
           {30.0f, PlayKind::kKeyFramesOnly, 1, 30.0f, 1, 4, false},
           {30.5f, PlayKind::kNormal, 1, 30.5f, 31, 1, false},
           {-28.0f, PlayKind::kNormal, -1, 28.0f, 28, 1, false},
           {1e30f, PlayKind::kNormal, 1, 1e30f, INT32_MAX, 1, false},
       }) {
    SCOPED_TRACE(r.rate);
    const PlayMode m = PlayModeOf(r.rate);
    EXPECT_EQ(m.kind, r.kind);
    EXPECT_EQ((std::vector<int32_t>{m.direction, m.frameCycle, m.keyCycle, m.audio}),
              (std::vector<int32_t>{r.direction, r.frameCycle, r.keyCycle, r.audio}));
    EXPECT_EQ(m.speed, r.speed);
    EXPECT_EQ(m.Pace(), r.direction * r.speed);
  }
}

constexpr int32_t kT0 = 1700000000;
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
    last = t;
    counter += n;
    frames += n;
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

TEST(PacingTest, FramesOfASecondAreSpreadEvenlyAtThePace) {
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
}

// A stretch without recordings is waited out for at most two seconds of wall time; a group
// sits at the time of the second that closes it, so the wait comes before the last recorded
// second ahead of the stretch.
TEST(PacingTest, GapsAreWaitedOutForAtMostTwoSeconds) {
  struct Row {
    int32_t gap;
    float rate;
    double wait;
  };
  for (const Row& r : {Row{1, 1.0f, 1.0}, Row{1, 0.25f, 4.0}, Row{3, 1.0f, 3.0},
                       Row{7200, 1.0f, 3.0}, Row{7200, 0.5f, 4.0}, Row{60, 4.0f, 2.25}}) {
    SCOPED_TRACE(testing::Message() << r.gap << " s at " << r.rate);
    Sim sim;
    for (int32_t t : {0, 1, 1 + r.gap, 2 + r.gap}) sim.Second(kT0 + t, 1, r.rate);
    sim.Play(r.rate, 3);
    ASSERT_EQ(sim.at.size(), 3u);
    EXPECT_NEAR(sim.at[1] - sim.at[0], r.wait, 1e-6);
  }
}

// Frames handed out past a group's count while the next mark was missing count towards the
// next group once its mark arrives; a group never closed is starved, not guessed.
TEST(PacingTest, LateMarkTakesOverFramesAlreadyDelivered) {
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
}

// Pause and a change of pace take a new base: play resumes on the next frame, without a
// burst of the frames that fell due meanwhile. A clock that runs backwards delivers nothing.
TEST(PacingTest, PauseAndNewPaceResumeWithoutBurst) {
  Sim sim;
  for (int32_t s = 0; s < 4; ++s) sim.Second(kT0 + s, 25);
  sim.Play(1.0f, 5);
  EXPECT_EQ(sim.Play(0.0f, 6, sim.now - kStart + 10.0).back(), PacingStep::kIdle);
  const double resumed = sim.now - kStart;
  const std::vector<PacingStep> steps = sim.Play(1.0f, 8);
  EXPECT_EQ(steps.front(), PacingStep::kNewBase);
  EXPECT_NEAR(sim.at[5], resumed, 1e-6);
  EXPECT_NEAR(sim.at[7] - sim.at[5], 0.080, 1e-6);
  EXPECT_EQ(sim.Play(2.0f, 10).front(), PacingStep::kNewBase);
  EXPECT_NEAR(sim.at[9] - sim.at[8], 0.020, 1e-6);
  sim.now -= 1.0;
  EXPECT_EQ(sim.Play(2.0f, 11, sim.now - kStart + 0.0005).front(), PacingStep::kIdle);
}

}  // namespace
}  // namespace scheduler
