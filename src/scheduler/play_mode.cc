#include "scheduler/play_mode.h"

#include <cmath>
#include <cstdint>

namespace scheduler {
namespace {

constexpr float kStepForward = 100.0f;
constexpr float kStepBackward = -100.0f;
// The key-frame-only band: kKeyOnlyLow < rate <= kKeyOnlyHigh.
constexpr float kKeyOnlyLow = 27.0f;
constexpr float kKeyOnlyHigh = 30.0f;

// The smallest whole cycle not below x (at least 1, at most what the counters hold).
int32_t CycleOf(float x) {
  if (!(x > 1.0f)) return 1;
  const double cycle = std::ceil(static_cast<double>(x));
  return cycle >= double(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(cycle);
}

}  // namespace

PlayMode PlayModeOf(float rate) {
  PlayMode mode;
  if (rate == 0.0f || std::isnan(rate)) {
    mode.kind = PlayKind::kPause;
    mode.direction = 0;
    mode.speed = 0.0f;
    mode.audio = false;
    return mode;
  }
  mode.direction = rate > 0.0f ? 1 : -1;
  mode.audio = rate == 1.0f;
  if (rate == kStepForward || rate == kStepBackward) {
    mode.kind = PlayKind::kSingleStep;
    mode.speed = 1.0f;
    return mode;
  }
  mode.speed = std::fabs(rate);
  if (rate > kKeyOnlyLow && rate <= kKeyOnlyHigh) {
    mode.kind = PlayKind::kKeyFramesOnly;
    // One key frame in two for 27 < rate <= 28, in three up to 29, in four up to 30.
    mode.keyCycle = CycleOf(rate - kKeyOnlyLow) + 1;
    return mode;
  }
  // Rate 2 sends every second frame, 2.5 every third.
  mode.frameCycle = CycleOf(mode.speed);
  return mode;
}

}  // namespace scheduler
