// Frame descriptors as a host fills them, with payloads whose bytes tell frames apart.
#pragma once

#include <cstdint>
#include <vector>

#include "recorder.h"

namespace testsupport {

inline std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

// Descriptors name only the fields a host fills; all others are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// A video descriptor; the payload sits at dataStart of `buffer`.
inline FrameDescriptor VideoFrame(const std::vector<uint8_t>& buffer, uint32_t dataStart,
                                  uint32_t type = 1, bool key = true, uint32_t triggerA = 0,
                                  uint32_t triggerB = 0) {
  const uint32_t end = static_cast<uint32_t>(buffer.size());
  return {.statSize = end - dataStart,
          .type = type,
          .dataStart = dataStart,
          .dataEnd = end,
          .keyFlag = key ? 1u : 0u,
          .tag = 0xA0000000u | type,
          .subTypeWord = 0x1234,
          .triggerA = triggerA,
          .triggerB = triggerB,
          .videoData = buffer.data()};
}

inline FrameDescriptor AudioFrame(const std::vector<uint8_t>& buffer, uint32_t type = 0) {
  return {.type = type,
          .dataEnd = static_cast<uint32_t>(buffer.size()),
          .subTypeWord = 0x56,
          .audioData = buffer.data()};
}

#pragma GCC diagnostic pop

}  // namespace testsupport
