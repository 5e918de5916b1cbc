// The day's picture: an index file written with known minutes, channels and reasons, shown by
// `dvrtool timeline` through the library's day table, rendered by rsvg-convert, turned into a
// plain PPM by ffmpeg and read back pixel by pixel: recorded minutes are coloured where the
// table says, all else is blank.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>

#include "support/scoped_env.h"
#include "timeline_view.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

// Colours as 0xRRGGBB; near when each component is within 40.
uint32_t Colour(const char* hex) { return std::strtoul(hex + 1, nullptr, 16); }
bool Near(uint32_t a, uint32_t b) {
  for (int shift : {0, 8, 16}) {
    if (std::abs(int(a >> shift & 255) - int(b >> shift & 255)) >= 40) return false;
  }
  return true;
}

TEST(TimelinePictureTest, RecordedMinutesAreColouredWhereTheDayTableSays) {
  if (!HaveProgram("rsvg-convert") || !HaveProgram("ffmpeg")) {
    GTEST_SKIP() << "rsvg-convert or ffmpeg is not installed: the picture is not checked";
  }
  ScopedTimeZone zone("UTC");
  ScratchDir dir;
  const auto at = [](int hour, int minute) {
    return 1710028800 + hour * 3600 + minute * 60;  // 2024-03-10 00:00:00 UTC
  };
  // One data/index pair whose summary holds these minute entries.
  const std::vector<storage::IndexEntry> entries = {
      {at(10, 15), 100, 1u << 0, 0, 0, 0},          // channel 0 recorded
      {at(12, 30), 100, 0x0000FFFFu, 0, 0, 0},      // channels 0..15
      {at(13, 0), 100, 1u << 5, 1u << 5, 0, 0},     // trigger A on 5
      {at(13, 1), 100, 1u << 5, 0, 0, 1u << 5},     // 5 with audio
      {at(23, 59), 100, 1u << 31, 0, 1u << 31, 0},  // trigger B on 31
  };
  storage::IndexRecord record = storage::MakeIndexRecord("dvr00.VDB");
  storage::IndexSummary& summary = record.summary;
  std::tie(summary.startTime, summary.endTime, summary.lastEntry, summary.dataBytes) =
      std::tuple(at(10, 15), at(23, 59) + 30, 4, 500);
  std::copy(entries.begin(), entries.end(), summary.entries);
  WriteIndexFile(dir / "dvr00.FIH", {record});
  WriteBytes(dir / "dvr00.VDB", std::vector<uint8_t>(4096, 0));
  // (channel, minute) -> colour of the cell; one cell with audio.
  std::map<std::pair<int, int>, const char*> cells = {{{0, 615}, dvrtool::kColourRecorded},
                                                      {{5, 780}, dvrtool::kColourTriggerA},
                                                      {{5, 781}, dvrtool::kColourRecorded},
                                                      {{31, 1439}, dvrtool::kColourTriggerB}};
  for (int c = 0; c < 16; ++c) cells[{c, 750}] = dvrtool::kColourRecorded;
  const std::pair<int, int> audio{5, 781};

  const std::string svg = dir / "day.svg", png = dir / "day.png", ppm = dir / "day.ppm";
  const RunResult r = Dvrtool({"timeline", dir.root(), "--date", "2024-03-10", "--svg", svg});
  ASSERT_EQ(r.status, 0) << r.output;
  // The terminal view says the same: hour rows of 60 minute marks.
  auto row = [&](const std::string& hour) {
    const size_t at = r.output.find(" " + hour + "h ");
    EXPECT_NE(at, std::string::npos) << r.output;
    return r.output.substr(r.output.find('\n', at) - 60, 60);
  };
  EXPECT_EQ(std::vector<std::string>({row("10").substr(15, 1), row("12").substr(30, 1),
                                      row("13").substr(0, 3), row("23").substr(59), row("00")}),
            std::vector<std::string>({"#", "#", "A@.", "B", std::string(60, '.')}));

  const RunResult rendered =
      RunShell("rsvg-convert " + Quote(svg) + " -o " + Quote(png) + " && ffmpeg -v error -i " +
               Quote(png) + " -pix_fmt rgb24 " + Quote(ppm));
  ASSERT_EQ(rendered.status, 0) << rendered.output;
  // A binary PPM as ffmpeg writes it: "P6 <width> <height> 255" and one whitespace byte.
  const std::vector<uint8_t> image = ReadBytes(ppm);
  int width = 0, height = 0, start = 0;
  ASSERT_EQ(std::sscanf(reinterpret_cast<const char*>(image.data()), "P6 %d %d 255%n", &width,
                        &height, &start),
            2);
  ASSERT_GE(width, dvrtool::kSvgLeft + 1440);
  ASSERT_GE(height, dvrtool::kSvgTop + 32 * dvrtool::kSvgRowHeight);
  ASSERT_GE(image.size(), static_cast<size_t>(start + 1 + width * height * 3));
  auto pixel = [&](int x, int y) {
    const uint8_t* p = &image[static_cast<size_t>(start + 1 + (y * width + x) * 3)];
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  };
  for (int c = 0; c < 32; ++c) {
    const int top = dvrtool::kSvgTop + c * dvrtool::kSvgRowHeight;
    for (int s = 0; s < 1440; ++s) {
      const int x = dvrtool::kSvgLeft + s;
      const auto cell = cells.find({c, s});
      const uint32_t got = pixel(x, top + dvrtool::kSvgCellTop + dvrtool::kSvgCellHeight / 2);
      ASSERT_TRUE(Near(got, cell == cells.end() ? 0xFFFFFF : Colour(cell->second)))
          << "channel " << c << " minute " << s << ": got " << std::hex << got;
      const uint32_t wantAudio =
          std::pair(c, s) == audio ? Colour(dvrtool::kColourAudio) : 0xFFFFFF;
      ASSERT_TRUE(Near(pixel(x, top + dvrtool::kSvgAudioTop + 1), wantAudio))
          << "audio of channel " << c << " minute " << s;
    }
  }
}

}  // namespace
}  // namespace tooltest
