// Pictures of one recorded day from the file search's day table: a terminal timeline (hours
// by minutes, or channels by hours) and an SVG of channels by minutes coloured by why each
// minute was recorded. Used by `timeline` and the demo.
#pragma once

#include <ctime>
#include <string>

#include "file_search_session.h"

namespace dvrtool {

// Colours of the SVG, also what the picture test looks for.
inline constexpr const char* kColourRecorded = "#2ca02c";  // reason 1 only
inline constexpr const char* kColourTriggerA = "#ff7f0e";
inline constexpr const char* kColourTriggerB = "#d62728";
inline constexpr const char* kColourAudio = "#1f77b4";

// Geometry of the SVG: minute slot s of channel c is the cell x = kSvgLeft + s,
// y = kSvgTop + c * kSvgRowHeight + [kSvgCellTop, kSvgCellTop + kSvgCellHeight); the audio
// strip of the row lies below the cell at [kSvgAudioTop, kSvgAudioTop + kSvgAudioHeight).
inline constexpr int kSvgLeft = 60;
inline constexpr int kSvgTop = 40;
inline constexpr int kSvgRowHeight = 12;
inline constexpr int kSvgCellTop = 1;
inline constexpr int kSvgCellHeight = 7;
inline constexpr int kSvgAudioTop = 8;
inline constexpr int kSvgAudioHeight = 3;
inline constexpr int kSvgChannels = 32;
// A run of recorded minutes shorter than this is drawn this many pixels wide, into the blank
// minutes after it, so that a recording of a few seconds is still seen.
inline constexpr int kSvgMinRunWidth = 3;
// The legend: one swatch per colour in a row below the channels, starting at this height.
inline constexpr int kSvgLegendTop = kSvgTop + kSvgChannels * kSvgRowHeight + 10;

std::string DayKindName(int dayKind);
std::string HoursByMinutes(const DayTable& day);
std::string ChannelsByHours(const DayTable& day);
std::string DaySvg(const DayTable& day, time_t date);

}  // namespace dvrtool
