// What the host side of a playback measured: frames by kind, the played range, and how late
// each shown frame arrived against the recorded pace scaled by the rate. Used by `play` and
// the demo.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "file_search_session.h"

namespace dvrtool {

// "1 key frame", "2 key frames": a count with its noun in the right number.
std::string Counted(uint64_t count, const std::string& noun);

// What came back, shown and decode-only apart: a frame handed over only to be decoded is
// neither shown nor part of the played range.
struct PlaySummary {
  size_t shown = 0, shownKeys = 0, decodeOnly = 0, audio = 0;
  time_t firstShown = 0, lastShown = 0;  // valid when shown > 0
};
PlaySummary SummarizePlay(const std::vector<PlayedFrame>& frames);
// "N video frames shown (K key frames), D decode-only, A audio frames", and on a second line
// the range of the shown frames when there is one; the second line starts with `indent`.
std::string DescribePlay(const PlaySummary& summary, const std::string& indent = "");

struct Lateness {
  size_t frames = 0;
  double medianMs = 0, p95Ms = 0, maxMs = 0;
};

// Frames up to the first time playback wrapped round to an earlier recording (forward play
// goes on from the first recorded day when the last one ends).
std::vector<PlayedFrame> FirstPass(const std::vector<PlayedFrame>& frames, float rate);
Lateness MeasureLateness(const std::vector<PlayedFrame>& frames, float rate);
std::string DescribeLateness(const Lateness& lateness);

}  // namespace dvrtool
