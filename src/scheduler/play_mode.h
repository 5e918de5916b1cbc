// What a play rate asks of playback, worked out once where the rate comes in: the file
// search thins frames by it, the scheduler paces, steps and plays sound by it. Rates: 1.0
// normal speed (the only rate with sound), other positive values faster or slower, negative
// values backwards, 0 pause, 100.0 and -100.0 one displayed frame forward or back, and
// 27 < rate <= 30 fast forward on key frames only.
#pragma once

#include <cstdint>

namespace scheduler {

enum class PlayKind {
  kPause,          // nothing is delivered
  kNormal,         // every frame, thinned at fast rates
  kKeyFramesOnly,  // key frames only, thinned by the rate
  kSingleStep,     // paced at 1.0 until one displayed frame was shown, then paused
};

struct PlayMode {
  PlayKind kind = PlayKind::kNormal;
  int32_t direction = 1;  // +1 forwards, -1 backwards, 0 paused
  float speed = 1.0f;     // recorded seconds per wall second; 1 for a step, 0 paused
  // Of the first-class video frames one in frameCycle is sent; in the key-frame-only band
  // one key frame in keyCycle.
  int32_t frameCycle = 1;
  int32_t keyCycle = 1;
  bool audio = true;  // sound is played only at exactly 1.0

  // The signed pace: speed in the play direction.
  float Pace() const { return static_cast<float>(direction) * speed; }
};

// The mode of a play rate. A rate that is not a number counts as a pause (the file search
// refuses such rates before they get here).
PlayMode PlayModeOf(float rate);

}  // namespace scheduler
