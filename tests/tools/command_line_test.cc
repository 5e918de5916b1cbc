// dvrtool as a command-line tool on one small recording: exit status 0 / 1 (failed or nothing
// found) / 2 (bad input) with the reason on standard error, refusal to overwrite, exports (-o -,
// MP4 and Matroska too) that give back the frames handed in, --json read back with jq, validated
// dates, refused inputs, no temporary file left by a killed play, and verify naming each kind of
// damage where it is. Also the H.264 splitting the recording relies on, the progress line only on a
// terminal, and recording directories given as ".", "./r" or with dots in them.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <tuple>

#include "h264_splitter.h"
#include "tool_runner.h"

namespace {

using namespace tooltest;

namespace fs = std::filesystem;

TEST(CommandLineTest, EveryCommandOnOneRecording) {
  ScratchDir scratch;
  const std::string d = scratch.path(), rec = scratch.Sub("rec");
  // A small recording: 2 channels, 2 s, with audio on channel 0.
  const RunResult recorded = Dvrtool(
      {"record", "--dir", rec, "--files", "3", "--channels", "2", "--seconds", "2", "--audio"});
  ASSERT_EQ(recorded.status, 0) << recorded.output;
  const storage::IndexSummary s = ReadSummary(rec + "dvr00.FIH");
  // The sample splits into its 250 pictures, a key one with its parameter sets (starting with
  // the SPS) every second, that join back into it; a channel's export of the 2 s gives back
  // the first 50.
  const std::string sample = ScratchDir::ReadText(DVRTOOL_SAMPLE_FILE);
  const dvrtool::SplitResult split = dvrtool::SplitAccessUnits(ReadBytes(DVRTOOL_SAMPLE_FILE));
  ASSERT_EQ(split.units.size(), 250u) << split.error;
  size_t at = 0;
  for (size_t i = 0; i < 250; at += split.units[i++].size)
    EXPECT_EQ(std::pair(split.units[i].offset, split.units[i].key), std::pair(at, i % 25 == 0));
  EXPECT_EQ(at, sample.size());
  EXPECT_EQ(sample[split.units[25].offset + 4] & 0x1F, 7);
  const std::string exported = sample.substr(0, split.units[50].offset);
  fs::create_directories(d + "empty");
  for (const auto& [name, text] : std::map<std::string, std::string>{
           {"notes", "this is not video\n"},
           // H.265 parameter sets without a picture.
           {"hevc", std::string("\0\0\0\1\x40\1\x0C\1\0\0\0\1\x42\1\1\1", 16)},
           // Pictures without parameter sets or an IDR picture, and an empty file.
           {"nosps", std::string("\0\0\0\1\x41\x9A\0\0\0\1\x41\x9B", 12)},
           {"void", ""},
           // The sample cut 12 bytes short: its last picture does not decode.
           {"cut.h264", sample.substr(0, sample.size() - 12)},
           {"exists.h264", "keep me"}})
    ScratchDir::WriteText(d + name, text);
  // An index file's size of bytes that are none, under a name that is no UTF-8.
  fs::create_directory(d + "garbage");
  ScratchDir::WriteText(d + "garbage/x\xfe.FIH", std::string(storage::kIndexFileSize, '\xA5'));
  // The recording's files (second names of them: a symbolic link is never followed) and an
  // index file too short to read.
  fs::create_directory(d + "partial");
  for (const auto& f : fs::directory_iterator(rec))
    fs::create_hard_link(f.path(), d + "partial/" + f.path().filename().string());
  ScratchDir::WriteText(d + "partial/zz.FIH", "short");
  const std::string from = LocalTime(s.startTime), day = from.substr(0, 10);
  const std::string later = LocalTime(s.endTime + 120);  // same day unless run at 23:58

  // Arguments as the shell reads them: "@rec" is the recording, "@d/" the scratch directory,
  // "@E" a record into an empty directory with three files;
  // then the exit status, what standard output holds and what standard error holds (one line
  // when the status is not 0).
  const std::tuple<std::string, int, std::string, std::string> rows[] = {
      // Bad input: exit 2, the reason on standard error, nothing done.
      {"record --dir @d/missing --files 3", 2, "", "No such file or directory"},
      {"record --dir @d/empty", 2, "", "needs --files"},
      {"@E --channels 33", 2, "", "--channels"},
      {"@E --input @d/no.h264", 2, "", "no.h264: No such file or directory"},
      {"@E --input @d/notes", 2, "", "not an H.264 or H.265 elementary stream"},
      {"@E --input @d/hevc", 2, "", "needs an IRAP picture with its VPS, SPS and PPS"},
      {"@E --input @d/cut.h264", 2, "", "truncated"},
      {"@E --input @d/nosps", 2, "", "needs an IDR picture with its SPS and PPS"},
      {"@E --input @d/void", 2, "", "void: empty file"},
      {"timeline @rec --date 2024-02-30", 2, "", "bad date"},
      {"timeline @rec --date " + day + " --dst 13/1/2-10/30/3", 2, "", "bad --dst"},
      {"play @rec --from '2024-03-10 25:00:00'", 2, "", "bad time"},
      {"export @rec --channel 0 -o @d/exists.h264", 2, "", "add -y"},
      {"export @rec --channel 0 -o @d/x.avi", 2, "", "(known: h264, mp4, mkv, ts;"},
      // Nothing found: exit 1, the reason on standard error, no output file left.
      {"verify @d/empty", 1, "0 file pair(s)", "no recording files"},
      {"dates @d/empty", 1, "", "no index files"},
      {"dates @d/garbage", 1, "", "x\\xfe.FIH: not an index file"},
      {"timeline @rec --date 2024-03-10", 1, "", "nothing recorded on 2024-03-10"},
      {"export @rec --channel 9 -o @d/none.h264", 1, "", "no video of channel 9"},
      {"play @rec --from '2020-01-01 10:00:00'", 1, "", "next " + day},
      {"play @rec --from '" + later + "'", 1, "",
       later.substr(0, 10) == day ? "last before it " + LocalTime(s.endTime) : ""},
      // Done, with what was skipped named on standard error.
      {"dates @d/partial", 0, day, "zz.FIH: shorter than an index file"},
      {"export @rec --channel 0 -y -o @d/exists.h264", 0, "exported 50", ""},
      {"verify -q @rec", 0, "(s), 150 records, 0 problem(s)", ""},
      // The played range is that of the shown frames, not of the decode-only ones before them.
      {"play @rec --seconds 2 --from '" + LocalTime(s.startTime + 1) + "'", 0,
       "shown from " + LocalTime(s.startTime + 1), ""},
      // -o - writes the export to standard output and the count to standard error.
      {"export @rec --channel 1 -o -", 0, exported, "exported 50 frames"},
  };
  // Without libavcodec (the 32-bit and cross builds) a cut stream cannot be decoded to tell.
  const bool decodes = Dvrtool({"--version"}).output.find("MP4/MKV") != std::string::npos;
  for (const auto& [args, status, out, wantErr] : rows) {
    if (!decodes && wantErr == "truncated") continue;
    SCOPED_TRACE(args);
    std::string command =
        std::regex_replace(args, std::regex("@E"), "record --dir @d/empty --files 3");
    command = std::regex_replace(command, std::regex("@rec"), Quote(rec));
    command = std::regex_replace(command, std::regex("@d/"), Quote(d));
    // Standard error apart: RunShell folds the (empty) one of the group into the output.
    const RunResult r = RunShell("{ " + DvrtoolCommand({}) + " " + command + " 2>" +
                                 Quote(d + "stderr") + " </dev/null; }");
    const std::string err = ScratchDir::ReadText(d + "stderr");
    EXPECT_EQ(r.status, status) << r.output << err;
    EXPECT_THAT(r.output, HasSubstr(out));
    // A failure with nothing to show shows nothing: the reason is the one line.
    if (status != 0 && out.empty()) {
      EXPECT_EQ(r.output, "");
    }
    EXPECT_THAT(err, HasSubstr(wantErr));
    EXPECT_TRUE(status == 0 || std::regex_match(err, std::regex("dvrtool[^\n]*\n"))) << err;
  }
  EXPECT_FALSE(fs::exists(d + "empty/dvr00.VDB"));
  EXPECT_TRUE(ScratchDir::ReadText(d + "exists.h264") == exported);
  EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 11)
      << "an output file was left behind";
  // A play killed with SIGKILL leaves no temporary file: its tables have no names even while
  // it holds them (once it holds two, the catalogue stands).
  const std::string tmp = scratch.Sub("tmp");
  const pid_t player =
      Spawn("TMPDIR=" + Quote(tmp) + " exec " +
            DvrtoolCommand({"play", rec, "--from", from, "--seconds", "60", "--rate", "0.1"}) +
            " >/dev/null 2>&1");
  const std::string held =
      "find /proc/" + std::to_string(player) + "/fd -lname " + Quote(tmp + "*") + " | wc -l";
  ASSERT_TRUE(WaitUntil([&] { return RunShell(held).output == "2\n"; }, 30000));
  EXPECT_TRUE(fs::is_empty(tmp));
  kill(player, SIGKILL);
  EXPECT_EQ(WaitForExit(player), 128 + SIGKILL);
  EXPECT_TRUE(fs::is_empty(tmp));
  // Damage, one kind at a time: verify names the file and the offset where it is and counts
  // each record the parser rejects once. A row: the record of dvr00.VDB (-1: dvr00.FIH, whose
  // summary is patched), where from the record's start (>= 0) or end (< 0), what is added to
  // the 4 bytes there (0: the file is cut there), the line and the count.
  const std::string data = rec + "dvr00.VDB", index = rec + "dvr00.FIH";
  const std::vector<uint8_t> clean[] = {ReadBytes(data), ReadBytes(index)};
  std::vector<uint64_t> starts;
  for (const auto& r : ParseRecords(ReadBytes(data, 0, s.dataBytes))) starts.push_back(r.offset);
  ASSERT_EQ(starts.size(), 150u);  // 2 s at 25 fps on 2 channels, and channel 0's audio
  const std::tuple<int, int64_t, uint32_t, const char*, int> damages[] = {
      {37, 0, 1, "no record starts here", 1},
      {37, storage::kRecordChannelOffset, 0x80, "record has", 0},
      {37, storage::kRecordBodySizeOffset, 0xFF000000u, "body size", 1},
      {37, -8, 1, "the trailer's body size differs", 1},
      {37, -4, 1, "bad end marker", 1},
      {100, 20, 0, "record cut short", 1},
      {-1, 108, 4096, "dataBytes", 1},
      {-1, 120, 1, "entry 0 bytes", 0},
      {-1, 128, 0x80, "entry 0", 0}};
  for (const auto& [record, from, value, what, damaged] : damages) {
    SCOPED_TRACE(what);
    const std::string& path = record < 0 ? index : data;
    std::vector<uint8_t> bytes = clean[record < 0];
    const uint64_t start = record < 0 ? 0 : starts[record];
    const uint64_t at = from >= 0 ? start + from : starts[record + 1] + from;
    storage::StoreU32(&bytes[at], storage::LoadU32(&bytes[at]) + value);
    WriteBytes(path, bytes, value != 0 ? bytes.size() : at);
    const RunResult text = Dvrtool({"verify", rec});
    EXPECT_EQ(text.status, 1);
    const std::string line = ": offset " + std::to_string(record < 0 ? at : start) + ": ";
    EXPECT_THAT(text.output, HasSubstr(path + line + what));
    EXPECT_THAT(Dvrtool({"verify", "--json", rec}).output,
                HasSubstr("\"damaged_records\": " + std::to_string(damaged)));
    WriteBytes(path, clean[record < 0]);
  }
  if (HaveProgram("jq")) {  // --json read back
    const std::string json = " --json " + Quote(rec) + " | jq -r ";
    EXPECT_EQ(RunShell(DvrtoolCommand({"dates"}) + json +
                       "'.dates[0] | \"\\(.date) \\(.channels)\"' && " +
                       DvrtoolCommand({"verify"}) + json + "'\"\\(.records) \\(.problems)\"' && " +
                       DvrtoolCommand({"timeline", "--date", day}) + json +
                       "'[.minutes[] | \"\\(.any)/\\(.audio)\"] | unique | join(\",\")' && " +
                       DvrtoolCommand({"dates", "--utc"}) + json +
                       "'.dates[0] | \"\\(.first) \\(.channel_minutes | length)\"'")
                  .output,
              day + " 2\n150 0\n3/1\n" + UtcTime(s.startTime) + " 2\n");
    // verify names a file that is no index file; bytes of its name that are no UTF-8 leave
    // the JSON valid.
    EXPECT_EQ(RunShell(DvrtoolCommand({"verify", "--json", d + "garbage"}) +
                       " | iconv -f UTF-8 -t UTF-8 | jq -r "
                       "'.problem_list[] | select(.what == \"not an index file\") | .file'")
                  .output,
              d + "garbage/x\\xfe.FIH\n");
  }
  // MP4 and Matroska exports: every frame there, decoding to the sample's pictures, and a
  // duration that spans the recorded seconds. Without libavformat dvrtool has none.
  if (!decodes || !HaveProgram("ffprobe")) return;
  // The md5 column only: the timestamps of a raw stream and a container differ. -vsync 0:
  // every decoded frame as it is, however close its time is to the last one's.
  const auto md5s = [](const std::string& input) {
    return RunShell("ffmpeg -v error -i " + Quote(input) +
                    " -vsync 0 -f framemd5 - | grep -v '^#' | cut -d, -f6")
        .output;
  };
  const std::string want = md5s(d + "exists.h264");
  for (const std::string name : {"out.mp4", "out.mkv"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(Dvrtool({"export", rec, "--channel", "0", "-o", d + name}).status, 0);
    const RunResult probe = RunShell(
        "ffprobe -v error -count_frames -show_entries format=duration:stream=nb_read_frames,"
        "codec_name -of default=nw=1 " +
        Quote(d + name));
    EXPECT_THAT(probe.output, HasSubstr("codec_name=h264\nnb_read_frames=50\n"));
    // From the first second's start to the last second's end (its frames fill the second).
    const double duration = std::stod(probe.output.substr(probe.output.find("duration=") + 9));
    EXPECT_NEAR(duration, s.endTime - s.startTime + 0.525, 0.525) << probe.output;
    EXPECT_EQ(md5s(d + name), want);
  }
}

// Recording into ".", "./r" and a dotted directory keeps each index beside its data file; the
// progress line (after a second) shows on a terminal only (script(1) gives dvrtool one), and -q
// hides it.
TEST(CommandLineTest, DirectoriesAndProgressLine) {
  if (!HaveProgram("script")) GTEST_SKIP() << "script(1) is not installed";
  ScratchDir scratch;
  for (const char* sub : {"cwd/r", "rec.1"}) fs::create_directories(scratch / sub);
  const std::string record = DvrtoolCommand({"record", "--files", "2", "--seconds", "2", "--dir"});
  // The directory, the recording on a terminal or not, whether the progress line shows.
  const std::tuple<std::string, std::string, bool> rows[] = {
      {".", "script -qec " + Quote(record + " .") + " /dev/null", true},
      {"./r", "script -qec " + Quote(record + " ./r -q") + " /dev/null", false},
      {scratch / "rec.1", record + " " + Quote(scratch / "rec.1"), false}};
  for (const auto& [dir, run, progress] : rows) {
    SCOPED_TRACE(dir);
    const RunResult r = RunShell("cd " + Quote(scratch / "cwd") + " && " + run + " && " +
                                 DvrtoolCommand({"verify", dir, "-q"}));
    EXPECT_THAT(r.output, HasSubstr("2 file pair(s), 200 records, 0 problem(s)"));
    EXPECT_EQ(r.output.find("s elapsed") != std::string::npos, progress) << r.output;
  }
}

}  // namespace
