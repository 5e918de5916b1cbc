// What the host side of a playback measured: frames by kind, the played range, and how late
// each shown frame arrived against the recorded pace scaled by the rate. Used by `play` and
// the demo.
#pragma once

#include <string>
#include <vector>

#include "file_search_session.h"

namespace dvrtool {

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
