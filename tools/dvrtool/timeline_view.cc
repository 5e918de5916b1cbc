#include "timeline_view.h"

#include <cstdio>
#include <sstream>
#include <utility>

#include "command_line.h"

namespace dvrtool {
namespace {

int Rows(const DayTable& day) { return day.hourCount == 25 ? 25 : 24; }

char MinuteMark(const DayTable& day, int slot) {
  if (day.reason4[slot] != 0) return 'B';
  if (day.reason2[slot] != 0) return 'A';
  if (day.any[slot] != 0) return day.audio[slot] != 0 ? '@' : '#';
  return day.audio[slot] != 0 ? '~' : '.';
}

const char* CellColour(const DayTable& day, int slot, uint32_t bit) {
  if (day.reason4[slot] & bit) return kColourTriggerB;
  if (day.reason2[slot] & bit) return kColourTriggerA;
  if (day.reason1[slot] & bit) return kColourRecorded;
  return nullptr;
}

// Rectangles for one strip of a channel row: one per run of equally coloured minutes (which
// keeps the file small), a short run widened into the blank minutes after it.
template <typename ColourOf>
void DrawRuns(std::ostringstream& svg, int slots, int y, int height, ColourOf colourOf) {
  for (int s = 0; s < slots;) {
    const char* colour = colourOf(s);
    int end = s + 1;
    while (end < slots && colourOf(end) == colour) ++end;
    if (colour != nullptr) {
      int blankEnd = end;
      // Past the last minute lies the picture's margin: the day's last minute widens into it.
      while (blankEnd < s + kSvgMinRunWidth && (blankEnd >= slots || colourOf(blankEnd) == nullptr))
        ++blankEnd;
      svg << "<rect x=\"" << kSvgLeft + s << "\" y=\"" << y << "\" width=\"" << blankEnd - s
          << "\" height=\"" << height << "\" fill=\"" << colour << "\"/>\n";
    }
    s = end;
  }
}

}  // namespace

std::string DayKindName(int dayKind) {
  switch (dayKind) {
    case 1:
      return "inside the daylight-saving range";
    case 2:
      return "first day of the daylight-saving range";
    case 3:
      return "last day of the daylight-saving range";
    default:
      return "ordinary day";
  }
}

std::string HoursByMinutes(const DayTable& day) {
  std::ostringstream out;
  out << "       minute 0         1         2         3         4         5\n";
  out << "              012345678901234567890123456789012345678901234567890123456789\n";
  for (int row = 0; row < Rows(day); ++row) {
    char label[32];
    std::snprintf(label, sizeof(label), "  %s %02dh     ", day.dstHours[row] ? "*" : " ", row);
    out << label;
    for (int minute = 0; minute < 60; ++minute) out << MinuteMark(day, row * 60 + minute);
    out << "\n";
  }
  out << "  # recorded  @ recorded with audio  A trigger A  B trigger B  . nothing";
  if (day.hourCount == 25 || day.dayKind != 0) out << "  * daylight-saving hour";
  out << "\n";
  return out.str();
}

std::string ChannelsByHours(const DayTable& day) {
  std::ostringstream out;
  out << "  channel  hour 0 . . . . . 6 . . . . . 12. . . . . 18. . . . . "
      << "\n";
  for (int c = 0; c < kSvgChannels; ++c) {
    const uint32_t bit = 1u << c;
    char label[32];
    std::snprintf(label, sizeof(label), "  %5d         ", c);
    out << label;
    for (int row = 0; row < Rows(day); ++row) {
      int minutes = 0;
      bool a = false, b = false;
      for (int m = 0; m < 60; ++m) {
        const int slot = row * 60 + m;
        if ((day.any[slot] | day.audio[slot]) & bit) ++minutes;
        a |= (day.reason2[slot] & bit) != 0;
        b |= (day.reason4[slot] & bit) != 0;
      }
      out << (b ? 'B' : a ? 'A' : minutes == 60 ? '#' : minutes > 0 ? ':' : '.') << ' ';
    }
    out << "\n";
  }
  out << "  # whole hour recorded  : part of the hour  A/B with trigger A/B  . nothing\n";
  return out.str();
}

std::string DaySvg(const DayTable& day, time_t date) {
  const int slots = Rows(day) * 60;
  const int width = kSvgLeft + slots + 20;
  const int height = kSvgLegendTop + 20;
  std::ostringstream svg;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << " " << height << "\" shape-rendering=\"crispEdges\">\n"
      << "<rect x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height
      << "\" fill=\"#ffffff\"/>\n"
      << "<text x=\"" << kSvgLeft << "\" y=\"16\" font-family=\"sans-serif\" font-size=\"13\">"
      << "Recorded minutes of " << FormatLocalDate(date) << " (" << DayKindName(day.dayKind)
      << ")</text>\n";
  for (int row = 0; row <= Rows(day); row += 2) {
    const int x = kSvgLeft + row * 60;
    svg << "<line x1=\"" << x << "\" y1=\"24\" x2=\"" << x << "\" y2=\"" << kSvgTop - 2
        << "\" stroke=\"#888888\"/>\n";
    if (row < Rows(day)) {
      svg << "<text x=\"" << x + 2 << "\" y=\"33\" font-family=\"sans-serif\" font-size=\"9\">"
          << row << (day.dstHours[row] ? "*" : "") << "</text>\n";
    }
  }
  for (int c = 0; c < kSvgChannels; ++c) {
    const int y = kSvgTop + c * kSvgRowHeight;
    const uint32_t bit = 1u << c;
    svg << "<text x=\"4\" y=\"" << y + 9 << "\" font-family=\"sans-serif\" font-size=\"9\">ch " << c
        << "</text>\n";
    DrawRuns(svg, slots, y + kSvgCellTop, kSvgCellHeight,
             [&](int s) { return CellColour(day, s, bit); });
    DrawRuns(svg, slots, y + kSvgAudioTop, kSvgAudioHeight,
             [&](int s) { return (day.audio[s] & bit) != 0 ? kColourAudio : nullptr; });
  }
  const std::pair<const char*, const char*> legend[] = {{kColourRecorded, "recorded"},
                                                        {kColourTriggerA, "trigger A"},
                                                        {kColourTriggerB, "trigger B"},
                                                        {kColourAudio, "audio"}};
  int x = kSvgLeft;
  for (const auto& [colour, label] : legend) {
    svg << "<rect x=\"" << x << "\" y=\"" << kSvgLegendTop << "\" width=\"12\" height=\"8\" fill=\""
        << colour << "\"/>\n<text x=\"" << x + 16 << "\" y=\"" << kSvgLegendTop + 8
        << "\" font-family=\"sans-serif\" font-size=\"10\">" << label << "</text>\n";
    x += 90;
  }
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace dvrtool
