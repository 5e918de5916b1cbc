// Splits an H.264 Annex-B elementary stream into access units, the unit a camera's encoder
// hands a recorder: one picture with the parameter sets and SEI that precede it. `record` and
// the demo feed the recorder one access unit per frame; the round-trip checks compare what
// comes back with these units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dvrtool {

struct AccessUnit {
  size_t offset = 0;  // into the stream; the unit keeps its start codes
  size_t size = 0;
  bool key = false;  // holds an IDR slice (NAL type 5)
};

struct SplitResult {
  std::vector<AccessUnit> units;
  std::string error;  // empty when the stream is usable
};

// Concatenating the units gives back the stream byte for byte. A stream that does not start
// with a start code, holds NAL types H.264 does not define, or (when `whole`) has no IDR
// picture with its SPS and PPS is refused with a one-line reason. A part of a stream that
// is still arriving is split with `whole` false: its last unit may be incomplete.
SplitResult SplitAccessUnits(std::span<const uint8_t> stream, bool whole = true);

}  // namespace dvrtool
