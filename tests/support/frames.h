// Frame descriptors as a host fills them, with payloads whose bytes tell frames apart.
#pragma once

#include <cstdint>
#include <cstring>
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

// A video descriptor; the payload sits at dataStart of `buffer`.
inline FrameDescriptor VideoFrame(const std::vector<uint8_t>& buffer, uint32_t dataStart,
                                  uint32_t type = 1, bool key = true, uint32_t triggerA = 0,
                                  uint32_t triggerB = 0) {
  FrameDescriptor d;
  std::memset(&d, 0, sizeof(d));
  d.type = type;
  d.dataStart = dataStart;
  d.dataEnd = static_cast<uint32_t>(buffer.size());
  d.keyFlag = key ? 1 : 0;
  d.tag = 0xA0000000u | type;
  d.subTypeWord = 0x1234;
  d.statSize = static_cast<uint32_t>(buffer.size()) - dataStart;
  d.triggerA = triggerA;
  d.triggerB = triggerB;
  d.videoData = buffer.data();
  return d;
}

inline FrameDescriptor AudioFrame(const std::vector<uint8_t>& buffer, uint32_t type = 0) {
  FrameDescriptor d;
  std::memset(&d, 0, sizeof(d));
  d.type = type;
  d.dataEnd = static_cast<uint32_t>(buffer.size());
  d.subTypeWord = 0x56;
  d.audioData = buffer.data();
  return d;
}

}  // namespace testsupport
