#include "scheduler/pacing.h"

#include <cmath>

namespace scheduler {
namespace {

// The pace of a group: the play speed, or the group's own rate when it is faster than 1,
// or slower than 1 but still above the play speed.
float PaceOf(float speed, float groupRate) {
  if (groupRate > 1.0f) return groupRate;
  if (groupRate > 0.0f && groupRate > speed) return groupRate;
  return speed;
}

// Takes the next group once the current one is used up. Frames handed out past the group's
// count (while its successor's mark was missing) belong to the new group.
void TakeMark(PacingState& s, const FrameGroupMark& mark, float speed, int32_t direction) {
  const bool following = s.groupFrameCount > 0;
  const double step = double(mark.time.seconds()) - double(s.groupTime);
  const double jump = std::fabs(step);
  s.gapJump = following && jump > 1.0 ? jump : 0.0;
  if (following && !s.resync && s.lastPace > 0.0f && direction != 0 && step * direction < 0.0) {
    // The stream went back against the play direction (the wrap from the end of the
    // recording to its start): the new group gets the second after the one before it, as if
    // it followed on, and the clock base moves to it.
    const double expected = double(s.groupTime) + direction;
    s.wallBase += std::fabs(expected - s.streamBase) / s.lastPace;
    s.streamBase = double(mark.time.seconds());
    s.gapJump = 0.0;
  }
  s.deliveredCounter -= s.groupFrameCount;
  s.groupTime = mark.time.seconds();
  s.groupFrameCount = mark.frameCount;
  s.frameInterval = mark.interval;
  s.groupRate = mark.rate;
  if (s.earlyBase) {
    // The group's first frame went out early: the clock base is where it went out.
    s.earlyBase = false;
    s.streamBase = double(s.groupTime);
    s.wallBase = s.earlyWall;
    s.resync = false;
    s.lastPace = PaceOf(speed, s.groupRate);
  }
}

}  // namespace

PacingDecision DecidePacing(PacingState& s, const PacingInput& in) {
  PacingDecision d;
  if (in.mode.kind == PlayKind::kPause) return d;
  if (s.deliveredCounter >= s.groupFrameCount && in.nextMark != nullptr) {
    TakeMark(s, *in.nextMark, in.mode.speed, in.mode.direction);
    d.tookMark = true;
  }
  if (s.groupFrameCount == 0 && s.deliveredCounter == 0 && s.startEarly && in.shownSinceReset &&
      in.hasFrames) {
    // The first displayed frame since the reset does not wait for its second's mark.
    s.startEarly = false;
    d.step = PacingStep::kFirstPicture;
    d.due = in.now;
    return d;
  }
  const float pace = PaceOf(in.mode.speed, s.groupRate);
  if (pace != s.lastPace) {
    s.lastPace = pace;
    s.resync = true;
  }
  if (s.groupFrameCount == 0 || !in.hasFrames) {
    d.step = PacingStep::kStarved;
    return d;
  }
  // Backward play walks each recorded second downwards.
  const double offset = s.deliveredCounter * s.frameInterval;
  const double position = double(s.groupTime) + (in.mode.direction < 0 ? -offset : offset);
  if (s.resync) {
    s.streamBase = position;
    s.wallBase = in.now;
    s.resync = false;
    s.gapJump = 0.0;
    d.step = PacingStep::kNewBase;
    d.due = in.now;
    return d;
  }
  if (s.gapJump > 0.0) {
    // A stretch without recordings: one second of it is paced as usual, the rest waited
    // out for at most kMaxGapWaitSeconds. Moving the wall base keeps later frames on their
    // grid.
    const double excess = (s.gapJump - 1.0) / pace - kMaxGapWaitSeconds;
    if (excess > 0.0) s.wallBase -= excess;
    s.gapJump = 0.0;
  }
  const double stream = std::fabs(position - s.streamBase);
  const double wall = (in.now - s.wallBase) * pace;
  if (wall < 0.0) return d;
  d.due = s.wallBase + stream / pace;
  if (!(wall > stream)) {
    d.step = PacingStep::kWait;
    return d;
  }
  d.step = PacingStep::kDeliver;
  d.millisecond = int64_t{s.deliveredCounter} * 1000 / s.groupFrameCount;
  return d;
}

void CountHandedOut(PacingState& s, PacingStep step, double now) {
  if (step == PacingStep::kFirstPicture) {
    s.deliveredCounter = 1;
    s.earlyBase = true;
    s.earlyWall = now;
  } else {
    ++s.deliveredCounter;
  }
}

}  // namespace scheduler
