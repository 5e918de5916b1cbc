// dvrtool with clips made by ffmpeg (H.264 with and without B-frames, at 30 fps, and H.265), as
// a user's camera pipeline hands them over: recorded from a pipe or a FIFO as they arrive, then
// exported to MP4, Matroska and MPEG-TS, each of which must decode to every picture of the source
// at the source's frame rate, with the recorded start as creation_time. A range starts at the key
// frame before it and shows exactly the recorded seconds asked for; backward play keeps every group
// of pictures.
#include <gtest/gtest.h>

#include <sstream>

#include "h264_splitter.h"
#include "support/recording_host.h"
#include "tool_runner.h"

namespace {

using namespace tooltest;

bool HaveMediaTools() {
  return HaveProgram("ffmpeg") && HaveProgram("ffprobe") && HaveProgram("jq") &&
         Dvrtool({"--version"}).output.find("MP4/MKV") != std::string::npos;
}

void MakeClip(const std::string& path, int fps, double seconds, const std::string& x264) {
  const RunResult made = RunShell(
      "ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=" + std::to_string(fps) + " -t " +
      std::to_string(seconds) + " -c:v libx264 " + x264 + " -f h264 " + Quote(path));
  ASSERT_EQ(made.status, 0) << made.output;
}

// The md5 of every decoded picture, in the order shown, as a player with ffmpeg's default
// frame-rate handling gets them.
std::vector<std::string> Pictures(const std::string& input) {
  std::istringstream lines(
      RunShell("ffmpeg -v error -i " + Quote(input) + " -f framemd5 - | grep -v '^#' | cut -d, -f6")
          .output);
  std::vector<std::string> md5s;
  for (std::string line; std::getline(lines, line);) md5s.push_back(line);
  return md5s;
}

std::string IsoUtc(time_t t) {
  std::tm fields{};
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S.000000Z", gmtime_r(&t, &fields));
  return text;
}

std::string Jq(const std::vector<std::string>& dvrtool, const std::string& filter) {
  return RunShell(DvrtoolCommand(dvrtool) + " 2>/dev/null | jq -r " + Quote(filter)).output;
}

TEST(PipedClipTest, EveryContainerDecodesToTheSourceAtItsRateAndPlaysAtItsPace) {
  if (!HaveMediaTools()) GTEST_SKIP() << "needs ffmpeg, ffprobe, jq and dvrtool with libavformat";
  ScratchDir scratch;
  // The clip, its rate and length, its encoder, and how it reaches `record`.
  const std::tuple<std::string, int, int, std::string, bool> clips[] = {
      {"ippp", 25, 2, "-c:v libx264 -bf 0 -g 25 -f h264", false},
      {"bframes", 25, 2, "-c:v libx264 -bf 3 -g 25 -f h264", true},
      {"fps30", 30, 3, "-c:v libx264 -bf 0 -g 30 -f h264", false},
      {"hevc", 25, 2, "-c:v libx265 -x265-params log-level=error:keyint=25 -f hevc", false}};
  std::vector<pid_t> recorders;
  for (const auto& [name, fps, seconds, codec, fifo] : clips) {
    MakeClip(scratch / (name + ".h264"), fps, seconds, codec);
    const std::string dir = scratch.Sub(name), input = fifo ? dir + "feed" : "-";
    const std::string feed = "ffmpeg -v error -i " + Quote(scratch / (name + ".h264")) +
                             " -c copy " + codec.substr(codec.find("-f ")) + " ";
    const std::string record = DvrtoolCommand({"record", "--input", input, "--dir", dir, "--files",
                                               "2", "--channels", "1", "-q"}) +
                               " >" + Quote(dir + "log") + " 2>&1";
    recorders.push_back(Spawn(fifo ? "mkfifo " + Quote(input) + " && { " + feed + "-y " +
                                         Quote(input) + " & } && " + record
                                   : feed + "- | " + record));
  }
  for (size_t i = 0; i < recorders.size(); ++i) {
    const auto& [name, fps, seconds, codec, fifo] = clips[i];
    SCOPED_TRACE(name);
    const std::string dir = scratch / (name + "/");
    ASSERT_EQ(WaitForExit(recorders[i]), 0) << ScratchDir::ReadText(dir + "log");
    EXPECT_THAT(ScratchDir::ReadText(dir + "log"),
                HasSubstr("recorded " + std::to_string(fps * seconds) + " video frames"));
    const std::vector<std::string> source = Pictures(scratch / (name + ".h264"));
    ASSERT_EQ(source.size(), static_cast<size_t>(fps * seconds));
    const storage::IndexSummary s = ReadSummary(dir + "dvr00.FIH");
    for (const std::string container : {"mp4", "mkv", "ts"}) {
      SCOPED_TRACE(container);
      const std::string out = dir + "out." + container;
      ASSERT_EQ(Dvrtool({"export", dir, "--channel", "0", "-q", "-o", out}).status, 0);
      EXPECT_EQ(Pictures(out), source);
      const RunResult probe = RunShell(
          "ffprobe -v error -show_entries stream=r_frame_rate:format_tags=creation_time -of "
          "default=nw=1 " +
          Quote(out));
      EXPECT_THAT(probe.output, HasSubstr("r_frame_rate=" + std::to_string(fps) + "/1"));
      if (container != "ts") {
        EXPECT_THAT(probe.output, HasSubstr("creation_time=" + IsoUtc(s.startTime)));
      }
      // Matroska stores no decode times of pictures shown later than decoded (N/A): left out.
      const RunResult dts = RunShell(
          "ffprobe -v error -select_streams v -show_entries packet=dts "
          "-of csv=p=0 " +
          Quote(out) + " | grep -oE '^-?[0-9]+' | sort -n -c -u && echo increasing");
      EXPECT_EQ(dts.output, "increasing\n");
      if (container == "mp4") {  // ready to play before it is all read
        const std::string bytes = ScratchDir::ReadText(out);
        EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
      }
    }
  }
  // The 30 fps clip plays back at its pace: every picture shown, at 1x.
  const std::string fps30 = scratch / "fps30/";
  const std::string start = LocalTime(ReadSummary(fps30 + "dvr00.FIH").startTime);
  const std::string played = Jq({"play", fps30, "--from", start, "--seconds", "8", "--json"},
                                "\"\\(.shown_frames) \\(.speed > 0.9 and .speed < 1.1)\"");
  EXPECT_EQ(played, "90 true\n");
  // Backward play from the end of the 2 s clip shows both its groups of pictures.
  const std::string ippp = scratch / "ippp/";
  const storage::IndexSummary s = ReadSummary(ippp + "dvr00.FIH");
  EXPECT_EQ(
      Jq({"play", ippp, "--from", LocalTime(s.endTime), "--rate", "-1", "--seconds", "5", "--json"},
         ".shown_frames"),
      "50\n");
  // Recording into a directory that holds a recording goes on after it, unless -y.
  const std::string again =
      DvrtoolCommand({"record", "--input", scratch / "ippp.h264", "--dir", ippp, "--files", "2",
                      "--seconds", "2", "--channels", "1", "--fast"});
  EXPECT_THAT(RunShell(again).output, HasSubstr("continuing the recording in"));
  EXPECT_THAT(Dvrtool({"verify", ippp, "-q"}).output, HasSubstr("100 records, 0 problem(s)"));
  EXPECT_THAT(RunShell(again + " -y").output, HasSubstr("replacing the recording"));
  EXPECT_THAT(Dvrtool({"verify", ippp, "-q"}).output, HasSubstr("50 records, 0 problem(s)"));
}

// With B-frames (in a fixed pattern) a reference picture recorded before the range is shown
// inside it: the range still shows as many pictures as were recorded in it, in display order.
TEST(RangeExportTest, ARangeBetweenKeyFramesDecodesToExactlyItsRecordedSeconds) {
  if (!HaveMediaTools()) GTEST_SKIP() << "needs ffmpeg, ffprobe, jq and dvrtool with libavformat";
  for (const std::string pictures : {"-bf 0", "-bf 2 -x264-params b-adapt=0"}) {
    SCOPED_TRACE(pictures);
    RecordingHost host;
    const std::string clip = host.dir / "clip.h264";
    MakeClip(clip, 25, 22, "-c:v libx264 -g 250 -f h264 " + pictures);  // keys at 0, 10, 20 s
    const std::vector<uint8_t> stream = ReadBytes(clip);
    const dvrtool::SplitResult split = dvrtool::SplitAccessUnits(stream);
    ASSERT_EQ(split.units.size(), 550u) << split.error;
    host.AddFiles(2, 1);
    ASSERT_EQ(_RECORDER_START(host.handle), 1);
    const int64_t t0 = g_testNow;
    for (size_t i = 0; i < split.units.size(); ++i) {
      host.SetTime(t0 + static_cast<int64_t>(i / 25));
      const dvrtool::AccessUnit& u = split.units[i];
      const std::vector<uint8_t> bytes(stream.begin() + u.offset,
                                       stream.begin() + u.offset + u.size);
      FrameDescriptor frame = VideoFrame(bytes, 0, u.key ? 1 : 3, u.key);
      ASSERT_EQ(_RECORDER_WRITEVIDEO(host.handle, 0, &frame), 1);
    }
    host.End();
    const std::vector<std::string> source = Pictures(clip);
    const std::string out = host.dir / "range.mp4";
    const RunResult exported =
        Dvrtool({"export", host.dir.root(), "--channel", "0", "--from", LocalTime(t0 + 13), "--to",
                 LocalTime(t0 + 16), "-o", out, "--json"});
    ASSERT_EQ(exported.status, 0) << exported.output;
    EXPECT_THAT(exported.output, HasSubstr("\"frames\": 100,"));          // 13 s to 16 s inclusive
    EXPECT_THAT(exported.output, HasSubstr("\"pre_roll_frames\": 75,"));  // from the key at 10 s
    EXPECT_EQ(Pictures(out),
              std::vector<std::string>(source.begin() + 13 * 25, source.begin() + 17 * 25));
    EXPECT_THAT(RunShell("ffprobe -v error -show_entries format_tags=creation_time -of csv=p=0 " +
                         Quote(out))
                    .output,
                HasSubstr(IsoUtc(t0 + 13)));
  }
}

}  // namespace
