// The ring capacity the frame reader sizes its largest frame by, under the name it reads it
// by until it takes it from the recording side directly.
#pragma once

#include <cstdint>

#include "recording/intake.h"

struct CRecorderBase {
  static constexpr uint32_t kVideoRingCapacity = Intake::kVideoRingCapacity;
};
