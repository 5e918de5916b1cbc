// Fast forward through `dvrtool play` on real H.264 from ffmpeg's test source (IPPP, and with
// B-frames): at 2x, 4x and 8x every picture reaches the decoder in order (those left out of the
// picture as decode-only), so the played stream decodes without an error to the source's
// pictures; at 16x the stream is the key frames alone.
#include "tool_runner.h"

namespace tooltest {
namespace {

// The md5 of each decoded picture, one a line.
std::string Pictures(const std::string& stream) {
  return RunShell("ffmpeg -v error -i " + Quote(stream) +
                  " -vsync 0 -f framemd5 - | grep -v '^#' | cut -d, -f6")
      .output;
}

class FastForwardTest : public ::testing::TestWithParam<int> {};

TEST_P(FastForwardTest, PlayedStreamsDecodeToTheSourcesPictures) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  ScratchDir scratch;
  const std::string d = scratch.path(), source = d + "source.h264", rec = scratch.Sub("rec");
  const RunResult made = RunShell(
      "ffmpeg -v error -f lavfi -i testsrc2=size=160x120:rate=25 -t 4 -c:v libx264 -g 25 -bf " +
      std::to_string(GetParam()) + " -pix_fmt yuv420p " + Quote(source));
  if (made.status != 0) GTEST_SKIP() << "ffmpeg cannot encode H.264: " << made.output;
  const time_t start = time(nullptr);
  ASSERT_EQ(Dvrtool({"record", "--dir", rec, "--files", "2", "--channels", "1", "--seconds", "4",
                     "--input", source, "-q"})
                .status,
            0);
  const std::string pictures = Pictures(source);
  ASSERT_EQ(std::count(pictures.begin(), pictures.end(), '\n'), 100);
  const std::string twice = pictures + pictures;  // play may wrap to the start
  const size_t width = pictures.find('\n') + 1;   // of a line
  for (const int rate : {2, 4, 8, 16}) {
    SCOPED_TRACE(testing::Message() << "rate " << rate);
    const std::string out = d + "played" + std::to_string(rate) + ".h264";
    ASSERT_EQ(Dvrtool({"play", rec, "--from", LocalTime(start - 1), "--rate", std::to_string(rate),
                       "--seconds", "1", "-o", out})
                  .status,
              0);
    EXPECT_EQ(RunShell("ffmpeg -v error -i " + Quote(out) + " -f null - 2>&1").output, "");
    const std::string played = Pictures(out);
    ASSERT_GT(played.size(), 0u);
    if (rate <= 8) {
      // Play ends at a time limit, maybe ahead of B-frames it already handed out a picture
      // they reference: the last few pictures out of the decoder are not compared.
      const size_t whole = played.size() > 3 * width ? played.size() - 3 * width : 0;
      EXPECT_EQ(twice.substr(0, whole), played.substr(0, whole));
    } else {
      // The key frames: the first picture of each second.
      for (size_t at = 0, n = 0; at < played.size(); at = played.find('\n', at) + 1, ++n) {
        const std::string line = played.substr(at, played.find('\n', at) - at);
        EXPECT_EQ(twice.find(line + "\n"), width * ((25 * n) % 100)) << n;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BFrames, FastForwardTest, ::testing::Values(0, 2));

}  // namespace
}  // namespace tooltest
