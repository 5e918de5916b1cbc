// The play-rate modes and the pacing rule, as pure functions: tables of rates and of queued
// seconds played on a clock that jumps to each due time, so every due time is exact.
#include "scheduler/pacing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "scheduler/play_mode.h"

namespace scheduler {
namespace {

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
