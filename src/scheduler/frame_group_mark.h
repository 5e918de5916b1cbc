// One closed group of queued frames: the frames stored during one recorded second. A
// CFrameQueue creates a mark when the first displayed frame of the next second arrives and
// its Deliver takes the group's size, pace and position from it.
#pragma once

#include <cstdint>

#include "platform/local_time.h"

namespace scheduler {

struct FrameGroupMark {
  float rate = 0.0f;       // |rate| of the Enqueue that closed the group
  double interval = 0.0;   // 1.0 / frameCount
  int32_t frameCount = 0;  // frames stored in the group
  // Time stamp of the frame that closed the group: the next second, not the group's own.
  platform::CTime time;
};

}  // namespace scheduler
