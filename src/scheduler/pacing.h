// The pacing rule of a frame queue, as a pure decision: given where delivery stands, the
// head of the queue and the clock, what to do next (hand a frame out now, wait until a due
// time, take a new clock base, or nothing). CFrameQueue::Deliver holds its lock around it
// and does what it says; the rule itself touches no lock, no thread and no clock.
//
// Frames are paced per recorded second: the k-th of a group of n frames stamped second G
// is due once (now - wall base) x pace exceeds the stream distance from the base to
// G + k / n (G - k / n backwards). A group's size comes from its mark, made when the first
// displayed frame of the next second was stored.
#pragma once

#include <cstdint>

#include "scheduler/frame_group_mark.h"
#include "scheduler/play_mode.h"

namespace scheduler {

// Where delivery of one queue stands.
struct PacingState {
  bool resync = true;      // the next frame found takes a new clock base
  bool startEarly = true;  // the first displayed frame since a reset goes out at once...
  bool earlyBase = false;  // ...and did: its group's mark puts the base where it went out
  double earlyWall = 0.0;
  // Stream seconds between the group being delivered and the one before it, when that is
  // more than one second (a stretch without recordings); 0 otherwise.
  double gapJump = 0.0;
  uint32_t groupTime = 0;  // seconds of the group's mark
  int32_t deliveredCounter = 0;
  int32_t groupFrameCount = 0;
  float groupRate = 0.0f;
  double frameInterval = 0.0;
  double streamBase = 0.0;
  double wallBase = 0.0;
  float lastPace = 0.0f;
};

// What the queue holds and the clock says, as the decision sees it.
struct PacingInput {
  double now = 0.0;  // performance-counter seconds
  PlayMode mode;
  const FrameGroupMark* nextMark = nullptr;  // head of the marks queue, if any
  bool hasFrames = false;                    // a stored frame waits
  bool shownSinceReset = false;              // a displayed frame was stored since the reset
};

enum class PacingStep {
  kIdle,          // nothing now (paused, or the clock ran backwards): resynchronise
  kStarved,       // no closed group or no frame: let the producer on and resynchronise
  kNewBase,       // a new clock base was taken; the head frame is due at `due`
  kWait,          // the head frame is due at `due`
  kFirstPicture,  // hand out the first displayed frame since the reset, at once
  kDeliver,       // hand out the head frame with `millisecond`: it is due (since `due`)
};

struct PacingDecision {
  PacingStep step = PacingStep::kIdle;
  bool tookMark = false;  // the head mark was taken into the state: pop and free it
  double due = 0.0;
  int64_t millisecond = 0;
};

// Decides, updating the state as the step requires.
PacingDecision DecidePacing(PacingState& state, const PacingInput& input);
// Counts a frame handed out by kFirstPicture or kDeliver at `now`.
void CountHandedOut(PacingState& state, PacingStep step, double now);

// Longest wall time a stretch without recorded frames is waited out, whatever its length and
// the rate; the frames keep their times.
inline constexpr double kMaxGapWaitSeconds = 2.0;

}  // namespace scheduler
