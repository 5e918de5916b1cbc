// The H.264 sample bundled into dvrtool: 10 s of 640x360 video at 25 fps with a key frame
// every 25 frames. The demo and `record` without --input record it.
#pragma once

#include <cstdint>
#include <span>

namespace dvrtool {

std::span<const uint8_t> BundledSample();

}  // namespace dvrtool
