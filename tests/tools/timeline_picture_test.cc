// The day's picture: an index file written with known minutes, channels and reasons, shown by
// `dvrtool timeline` through the library's day table, rendered by rsvg-convert, turned into a
// plain PPM by ffmpeg and read back pixel by pixel: recorded minutes are coloured where the
// table says, a short run a few pixels wide, all else blank; a legend shows every colour.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "support/scoped_env.h"
#include "timeline_view.h"
#include "tool_runner.h"

namespace {

using namespace dvrtool;
using namespace tooltest;

TEST(TimelinePictureTest, RecordedMinutesAreColouredWhereTheDayTableSays) {
  if (!HaveProgram("rsvg-convert") || !HaveProgram("ffmpeg"))
    GTEST_SKIP() << "rsvg-convert or ffmpeg is not installed: the picture is not checked";
  ScopedTimeZone zone("UTC");
  ScratchDir dir;
  const int32_t day = 1710028800;  // 2024-03-10 00:00:00 UTC
  // One data/index pair whose summary holds these minute entries: time, bytes, then the
  // channels recorded, on trigger A, on trigger B and with audio.
  const storage::IndexEntry entries[] = {
      {day + 615 * 60, 100, 1u << 0, 0, 0, 0},          // 10:15 channel 0
      {day + 750 * 60, 100, 0x0000FFFFu, 0, 0, 0},      // 12:30 channels 0..15
      {day + 780 * 60, 100, 1u << 5, 1u << 5, 0, 0},    // 13:00 trigger A on 5
      {day + 781 * 60, 100, 1u << 5, 0, 0, 1u << 5},    // 13:01 5 with audio
      {day + 1439 * 60, 100, 1u << 31, 0, 1u << 31, 0}  // 23:59 trigger B on 31
  };
  storage::IndexRecord record = storage::MakeIndexRecord("dvr00.VDB");
  storage::IndexSummary& summary = record.summary;
  std::tie(summary.startTime, summary.endTime, summary.lastEntry, summary.dataBytes) =
      std::tuple(entries[0].time, entries[4].time + 30, 4, 500);
  std::copy(std::begin(entries), std::end(entries), summary.entries);
  WriteIndexFile(dir / "dvr00.FIH", {record});
  WriteBytes(dir / "dvr00.VDB", std::vector<uint8_t>(4096, 0));

  const std::string svg = dir / "day.svg", png = dir / "day.png", ppm = dir / "day.ppm";
  const RunResult r = Dvrtool({"timeline", dir.root(), "--date", "2024-03-10", "--svg", svg});
  ASSERT_EQ(r.status, 0) << r.output;
  // The terminal view says the same: hour rows of 60 minute marks (10h, 13h and 23h here).
  for (const std::string& marks : {std::string(15, '.') + "#" + std::string(44, '.'),
                                   "A@" + std::string(58, '.'), std::string(59, '.') + "B"})
    EXPECT_NE(r.output.find(marks + "\n"), std::string::npos) << marks << "\n" << r.output;

  ASSERT_EQ(RunShell("rsvg-convert " + Quote(svg) + " -o " + Quote(png) +
                     " && ffmpeg -v error -i " + Quote(png) + " -pix_fmt rgb24 " + Quote(ppm))
                .status,
            0);
  // A binary PPM as ffmpeg writes it: "P6 <width> <height> 255" and one whitespace byte.
  const std::vector<uint8_t> image = ReadBytes(ppm);
  int width = 0, height = 0, start = 0;  // pixels read with at(): none past the end
  ASSERT_EQ(std::sscanf(reinterpret_cast<const char*>(image.data()), "P6 %d %d 255%n", &width,
                        &height, &start),
            2);
  // Near: each component of 0xRRGGBB of the pixel of minute s within 40 of the colour's.
  const auto near = [&](int s, int y, const char* colour) {
    const uint8_t* p = &image.at(static_cast<size_t>(start + 1 + (y * width + kSvgLeft + s) * 3));
    const uint32_t want = std::strtoul(colour + 1, nullptr, 16);
    const auto off = [](int got, uint32_t wanted) { return std::abs(got - int(wanted & 255)); };
    return off(p[0], want >> 16) < 40 && off(p[1], want >> 8) < 40 && off(p[2], want) < 40;
  };
  // Every run here is one minute long, so it is widened into the blank minutes after it (the
  // day's last one into the margin), unless another run follows at once.
  const auto colourAt = [&](int c, int s, bool audio) -> const char* {
    for (const storage::IndexEntry& e : entries) {
      if ((int64_t{e.time} - day) / 60 != s || (e.reason1Mask >> c & 1) == 0) continue;
      if (audio) return e.audioMask >> c & 1 ? kColourAudio : nullptr;
      return e.reason4Mask >> c & 1   ? kColourTriggerB
             : e.reason2Mask >> c & 1 ? kColourTriggerA
                                      : kColourRecorded;
    }
    return nullptr;
  };
  for (int c = 0; c < 32; ++c) {
    const int top = kSvgTop + c * kSvgRowHeight;
    const int cellY = top + kSvgCellTop + kSvgCellHeight / 2, audioY = top + kSvgAudioTop + 1;
    for (int s = 0; s < 1440 + kSvgMinRunWidth; ++s) {
      for (const bool audio : {false, true}) {
        const char* want = colourAt(c, s, audio);
        for (int back = 1; want == nullptr && back < kSvgMinRunWidth; ++back) {
          if (colourAt(c, s - back, audio) != nullptr) want = colourAt(c, s - back, audio);
        }
        ASSERT_TRUE(near(s, audio ? audioY : cellY, want != nullptr ? want : "#ffffff"))
            << (audio ? "audio of " : "") << "channel " << c << " minute " << s;
      }
    }
  }
  // The legend below the channels holds a swatch of each colour.
  for (const char* colour : {kColourRecorded, kColourTriggerA, kColourTriggerB, kColourAudio}) {
    bool found = false;
    for (int x = -kSvgLeft; x < 600 && !found; ++x) found = near(x, kSvgLegendTop + 4, colour);
    EXPECT_TRUE(found) << colour;
  }
}

}  // namespace
