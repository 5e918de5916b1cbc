// The bundled sample through the whole library and back out: recorded on four channels,
// each channel exported, and the exports decoded by ffmpeg must give the sample's frames.
// Also the H.264 splitting the recording relies on.
#include <gtest/gtest.h>

#include "h264_splitter.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

std::string FrameMd5(const std::string& h264) {
  // Only the frame lines: the header names the input.
  const RunResult r = RunShell("ffmpeg -hide_banner -loglevel error -f h264 -i " + Quote(h264) +
                               " -f framemd5 - | grep -v '^#'");
  EXPECT_EQ(r.status, 0) << r.output;
  return r.output;
}

TEST(RoundTripTest, FfmpegDecodesEveryExportedChannelLikeTheSample) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed: round trip not checked";
  ScratchDir dir;
  const RunResult recorded = Dvrtool({"record", "--dir", dir.root(), "--files", "3", "--channels",
                                      "4", "--seconds", "10", "--fast", "--quiet"});
  ASSERT_EQ(recorded.status, 0) << recorded.output;
  const std::string expected = FrameMd5(DVRTOOL_SAMPLE_FILE);
  ASSERT_EQ(std::count(expected.begin(), expected.end(), '\n'), 250) << expected;
  const std::vector<uint8_t> sample = ReadBytes(DVRTOOL_SAMPLE_FILE);
  for (int channel = 0; channel < 4; ++channel) {
    SCOPED_TRACE(channel);
    const std::string out = dir / ("channel" + std::to_string(channel) + ".h264");
    const RunResult exported =
        Dvrtool({"export", dir.root(), "--channel", std::to_string(channel), "--out", out});
    ASSERT_EQ(exported.status, 0) << exported.output;
    EXPECT_EQ(ReadBytes(out), sample);
    EXPECT_EQ(FrameMd5(out), expected);
  }
}

// MP4 and Matroska exports of a real-time recording: every frame there, decoding to the
// sample's pictures, and a duration that spans the recorded seconds.
TEST(RoundTripTest, ContainerExportsKeepEveryFrameAndItsTime) {
  if (!HaveProgram("ffprobe")) GTEST_SKIP() << "ffmpeg is not installed: exports not checked";
  if (Dvrtool({"--version"}).output.find("MP4/MKV") == std::string::npos) {
    GTEST_SKIP() << "dvrtool was built without libavformat: MP4/MKV export not checked";
  }
  ScratchDir dir;
  const RunResult recorded = Dvrtool(
      {"record", "--dir", dir.root(), "--files", "2", "--channels", "1", "--seconds", "3", "-q"});
  ASSERT_EQ(recorded.status, 0) << recorded.output;
  const storage::IndexSummary s = ReadSummary(dir / "dvr00.FIH");
  // The md5 column only: the timestamps of a raw stream and a container differ.
  const std::string md5s = " | grep -v '^#' | cut -d, -f6";
  const RunResult sample = RunShell("ffmpeg -v error -f h264 -i " + Quote(DVRTOOL_SAMPLE_FILE) +
                                    " -frames:v 75 -f framemd5 -" + md5s);
  for (const std::string name : {"out.mp4", "out.mkv"}) {
    SCOPED_TRACE(name);
    const RunResult exported = Dvrtool({"export", dir.root(), "--channel", "0", "-o", dir / name});
    ASSERT_EQ(exported.status, 0) << exported.output;
    const RunResult probe = RunShell(
        "ffprobe -v error -count_frames -show_entries format=duration:stream=nb_read_frames,"
        "codec_name -of default=nw=1 " +
        Quote(dir / name));
    EXPECT_NE(probe.output.find("codec_name=h264\nnb_read_frames=75\n"), std::string::npos)
        << probe.output;
    const double duration = std::stod(probe.output.substr(probe.output.find("duration=") + 9));
    EXPECT_GE(duration, s.endTime - s.startTime) << probe.output;
    EXPECT_LE(duration, s.endTime - s.startTime + 1.05) << probe.output;
    // -vsync 0: every decoded frame as it is, however close its time is to the last one's.
    EXPECT_EQ(RunShell("ffmpeg -v error -i " + Quote(dir / name) + " -vsync 0 -f framemd5 -" + md5s)
                  .output,
              sample.output);
  }
}

TEST(H264SplitterTest, SampleSplitsIntoItsPicturesAndJoinsBackUnchanged) {
  const std::vector<uint8_t> sample = ReadBytes(DVRTOOL_SAMPLE_FILE);
  const dvrtool::SplitResult split = dvrtool::SplitAccessUnits(sample);
  ASSERT_TRUE(split.error.empty()) << split.error;
  ASSERT_EQ(split.units.size(), 250u);
  size_t at = 0;
  for (size_t i = 0; i < split.units.size(); ++i) {
    EXPECT_EQ(split.units[i].offset, at);
    EXPECT_EQ(split.units[i].key, i % 25 == 0) << i;
    at += split.units[i].size;
  }
  EXPECT_EQ(at, sample.size());
  // A key unit carries its parameter sets: it starts with the SPS.
  EXPECT_EQ(sample[split.units[25].offset + 4] & 0x1F, 7);
}

}  // namespace
}  // namespace tooltest
