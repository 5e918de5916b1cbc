#include "play_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <tuple>

#include "command_line.h"

namespace dvrtool {
namespace {

double FrameInstant(const PlayedFrame& f) {
  return static_cast<double>(f.time) + f.millisecond / 1000.0;
}

}  // namespace

std::string Counted(uint64_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

PlaySummary SummarizePlay(const std::vector<PlayedFrame>& frames) {
  PlaySummary s;
  for (const PlayedFrame& f : frames) {
    if (f.audio) {
      ++s.audio;
    } else if (f.decodeOnly) {
      ++s.decodeOnly;
    } else {
      if (s.shown++ == 0) s.firstShown = f.time;
      s.lastShown = f.time;
      s.shownKeys += f.key ? 1 : 0;
    }
  }
  return s;
}

std::string DescribePlay(const PlaySummary& s, const std::string& indent) {
  std::string text = Counted(s.shown, "video frame") + " shown (" +
                     Counted(s.shownKeys, "key frame") + "), " + std::to_string(s.decodeOnly) +
                     " decode-only, " + Counted(s.audio, "audio frame") + "\n";
  if (s.shown > 0) {
    text += indent + "shown from " + FormatLocalDateTime(s.firstShown) + " to " +
            FormatLocalDateTime(s.lastShown) + "\n";
  }
  return text;
}

std::vector<PlayedFrame> FirstPass(const std::vector<PlayedFrame>& frames, float rate) {
  (void)rate;  // the wrap is told the same way in both directions
  std::vector<PlayedFrame> pass;
  // A pass shows each recorded frame once, in whatever order the rate gives (backward play
  // shows a group newest first after decoding it forward): the first shown frame that was
  // shown before is the wrap, however short the recording.
  std::set<std::tuple<time_t, uint16_t, uint32_t, size_t>> shown;
  size_t end = 0;  // just after the last shown frame of the pass
  for (const PlayedFrame& f : frames) {
    if (!f.audio && !f.decodeOnly &&
        !shown.emplace(f.time, f.millisecond, f.tag, f.payload.size()).second) {
      break;
    }
    pass.push_back(f);
    if (!f.audio && !f.decodeOnly) end = pass.size();
  }
  // Frames decoded for the group after the wrap are not part of the pass.
  if (pass.size() != frames.size()) {
    pass.erase(std::remove_if(pass.begin() + static_cast<ptrdiff_t>(end), pass.end(),
                              [](const PlayedFrame& f) { return !f.audio; }),
               pass.end());
  }
  return pass;
}

Lateness MeasureLateness(const std::vector<PlayedFrame>& frames, float rate) {
  Lateness result;
  const double speed = std::fabs(static_cast<double>(rate));
  if (speed == 0 || speed >= 100) return result;  // paused or single steps have no pace
  std::vector<double> late;
  const PlayedFrame* first = nullptr;
  for (const PlayedFrame& f : frames) {
    if (f.audio || f.decodeOnly) continue;
    if (first == nullptr) {
      first = &f;
      late.push_back(0);
      continue;
    }
    const double recorded = std::fabs(FrameInstant(f) - FrameInstant(*first));
    const double arrived = std::chrono::duration<double>(f.arrival - first->arrival).count();
    late.push_back((arrived - recorded / speed) * 1000.0);
  }
  if (late.empty()) return result;
  std::sort(late.begin(), late.end());
  result.frames = late.size();
  result.medianMs = late[late.size() / 2];
  result.p95Ms = late[std::min(late.size() - 1, late.size() * 95 / 100)];
  result.maxMs = late.back();
  return result;
}

std::string DescribeLateness(const Lateness& l) {
  if (l.frames == 0) return "pacing lateness: no shown frames to measure";
  char text[160];
  std::snprintf(text, sizeof(text),
                "pacing lateness over %zu shown frames: median %.1f ms, 95th percentile %.1f ms, "
                "max %.1f ms",
                l.frames, l.medianMs, l.p95Ms, l.maxMs);
  return text;
}

}  // namespace dvrtool
