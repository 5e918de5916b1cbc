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

#include "support/scoped_env.h"
#include "timeline_view.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

struct Rgb {
  int r = 255, g = 255, b = 255;
};

Rgb FromHex(const char* hex) {
  const unsigned long v = std::strtoul(hex + 1, nullptr, 16);
  return {static_cast<int>(v >> 16), static_cast<int>((v >> 8) & 255), static_cast<int>(v & 255)};
}

bool Near(const Rgb& a, const Rgb& b) {
  return std::abs(a.r - b.r) < 40 && std::abs(a.g - b.g) < 40 && std::abs(a.b - b.b) < 40;
}

class TimelinePictureTest : public ::testing::Test {
 protected:
  static int32_t At(int hour, int minute) {
    return 1710028800 + hour * 3600 + minute * 60;  // 2024-03-10 00:00:00 UTC
  }

  // One data/index pair whose summary holds the given minute entries.
  void WritePair(const std::vector<storage::IndexEntry>& entries) {
    storage::IndexRecord record = storage::MakeIndexRecord("dvr00.VDB");
    record.summary.startTime = entries.front().time;
    record.summary.endTime = entries.back().time + 30;
    record.summary.lastEntry = static_cast<int32_t>(entries.size()) - 1;
    for (size_t i = 0; i < entries.size(); ++i) {
      record.summary.entries[i] = entries[i];
      record.summary.dataBytes += entries[i].bytes;
    }
    testsupport::WriteIndexFile(dir_ / "dvr00.FIH", {record});
    testsupport::WriteBytes(dir_ / "dvr00.VDB", std::vector<uint8_t>(4096, 0));
  }

  testsupport::ScopedTimeZone zone_{"UTC"};
  ScratchDir dir_;
};

TEST_F(TimelinePictureTest, RecordedMinutesAreColouredWhereTheDayTableSays) {
  if (!HaveProgram("rsvg-convert") || !HaveProgram("ffmpeg")) {
    GTEST_SKIP() << "rsvg-convert or ffmpeg is not installed: the picture is not checked";
  }
  using storage::IndexEntry;
  WritePair({
      IndexEntry{At(10, 15), 100, 1u << 0, 0, 0, 0},          // channel 0 recorded
      IndexEntry{At(12, 30), 100, 0x0000FFFFu, 0, 0, 0},      // channels 0..15
      IndexEntry{At(13, 0), 100, 1u << 5, 1u << 5, 0, 0},     // trigger A on 5
      IndexEntry{At(13, 1), 100, 1u << 5, 0, 0, 1u << 5},     // 5 with audio
      IndexEntry{At(23, 59), 100, 1u << 31, 0, 1u << 31, 0},  // trigger B on 31
  });
  // channel -> slot -> colour of the cell, and the slots with audio.
  std::map<std::pair<int, int>, const char*> cells;
  cells[{0, 615}] = dvrtool::kColourRecorded;
  for (int c = 0; c < 16; ++c) cells[{c, 750}] = dvrtool::kColourRecorded;
  cells[{5, 780}] = dvrtool::kColourTriggerA;
  cells[{5, 781}] = dvrtool::kColourRecorded;
  cells[{31, 1439}] = dvrtool::kColourTriggerB;
  const std::pair<int, int> audio{5, 781};

  const std::string svg = dir_ / "day.svg";
  const RunResult r = Dvrtool({"timeline", dir_.root(), "--date", "2024-03-10", "--svg", svg});
  ASSERT_EQ(r.status, 0) << r.output;
  // The terminal view says the same: hour rows of 60 minute marks.
  auto row = [&](const std::string& hour) {
    const size_t at = r.output.find(" " + hour + "h ");
    EXPECT_NE(at, std::string::npos) << r.output;
    return r.output.substr(r.output.find('\n', at) - 60, 60);
  };
  EXPECT_EQ(row("10")[15], '#');
  EXPECT_EQ(row("12")[30], '#');
  EXPECT_EQ(row("13").substr(0, 3), "A@.");
  EXPECT_EQ(row("23")[59], 'B');
  EXPECT_EQ(row("00"), std::string(60, '.'));

  const std::string png = dir_ / "day.png";
  const std::string ppm = dir_ / "day.ppm";
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
    return Rgb{p[0], p[1], p[2]};
  };

  int coloured = 0;
  for (int c = 0; c < 32; ++c) {
    const int rowTop = dvrtool::kSvgTop + c * dvrtool::kSvgRowHeight;
    for (int s = 0; s < 1440; ++s) {
      const int x = dvrtool::kSvgLeft + s;
      const auto cell = cells.find({c, s});
      const Rgb want = cell == cells.end() ? Rgb{} : FromHex(cell->second);
      const Rgb got = pixel(x, rowTop + dvrtool::kSvgCellTop + dvrtool::kSvgCellHeight / 2);
      ASSERT_TRUE(Near(got, want)) << "channel " << c << " minute " << s << ": got " << got.r << ","
                                   << got.g << "," << got.b;
      const Rgb wantAudio = std::make_pair(c, s) == audio ? FromHex(dvrtool::kColourAudio) : Rgb{};
      const Rgb gotAudio = pixel(x, rowTop + dvrtool::kSvgAudioTop + 1);
      ASSERT_TRUE(Near(gotAudio, wantAudio)) << "audio of channel " << c << " minute " << s;
      coloured += cell != cells.end() ? 1 : 0;
    }
  }
  EXPECT_EQ(coloured, 20);
}

}  // namespace
}  // namespace tooltest
