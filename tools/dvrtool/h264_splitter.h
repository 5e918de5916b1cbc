// Splits an H.264 or H.265 Annex-B elementary stream into access units, the unit a camera's
// encoder hands a recorder: one picture with the parameter sets and SEI that precede it. `record`
// and the demo feed the recorder one access unit per frame; the round-trip checks compare what
// comes back with these units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dvrtool {

enum class VideoCodec { kH264, kH265 };

struct AccessUnit {
  size_t offset = 0;  // into the stream; the unit keeps its start codes
  size_t size = 0;
  bool key = false;            // holds an IDR slice (H.264 NAL type 5; H.265: an IRAP picture)
  bool parameterSets = false;  // carries the SPS and PPS (H.265: and the VPS)
};

struct SplitResult {
  VideoCodec codec = VideoCodec::kH264;
  std::vector<AccessUnit> units;
  std::string error;  // empty when the stream is usable
};

// Concatenating the units gives back the stream byte for byte. The codec is H.265 when the
// first unit starts with an H.265 parameter set, delimiter or SEI, else H.264. A stream that
// does not start with a start code, holds NAL types the codec does not define, or (when
// `whole`) has no key picture with its parameter sets is refused with a one-line reason. A part of
// a stream that is still arriving is split with `whole` false: its last unit may be incomplete.
// `codec` is given for the rest of a stream whose start told it.
SplitResult SplitAccessUnits(std::span<const uint8_t> stream, bool whole = true,
                             std::optional<VideoCodec> codec = std::nullopt);
const char* CodecName(VideoCodec codec);  // "H.264", "H.265"

}  // namespace dvrtool
