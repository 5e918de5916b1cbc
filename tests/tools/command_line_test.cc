// dvrtool as a command-line tool: help and version, exit status 0 / 1 (failed or nothing
// found) / 2 (bad input) with the reason on standard error, refusal to overwrite, -o -,
// --json read back with jq, validated dates, refused inputs, the progress line only on a
// terminal, and recording directories given as ".", "./r" or with dots in them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "storage/formats.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

// One small recording shared by the rows: 2 channels, 2 s, with audio on channel 0.
class CommandLineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir;
    rec_ = dir_->Sub("rec");
    const RunResult r = Dvrtool({"record", "--dir", rec_, "--files", "3", "--channels", "2",
                                 "--seconds", "2", "--audio", "-q"});
    ASSERT_EQ(r.status, 0) << r.output;
    const storage::IndexSummary s = ReadSummary(rec_ + "dvr00.FIH");
    first_ = s.startTime;
    last_ = s.endTime;
  }
  static void TearDownTestSuite() { delete dir_; }

  // Runs dvrtool with standard output and standard error apart.
  struct Outcome {
    int status;
    std::string out, err;
  };
  static Outcome Run(const std::vector<std::string>& args) {
    const std::string errFile = *dir_ / "stderr";
    // RunShell folds the (empty) stderr of the group into out.
    const RunResult r =
        RunShell("{ " + DvrtoolCommand(args) + " 2>" + Quote(errFile) + " </dev/null; }");
    return {r.status, r.output, ScratchDir::ReadText(errFile)};
  }

  static inline ScratchDir* dir_ = nullptr;
  static inline std::string rec_;
  static inline time_t first_ = 0, last_ = 0;
};

// Arguments split at spaces ("~" stands for a space inside one): "@rec" is the recording,
// "@d/" the scratch directory, "@E" a record into an empty directory with three files.
struct Row {
  std::string args;
  int status;
  std::string out;  // expected in standard output ("" = anything)
  std::string err;  // expected in standard error; with status != 0 it is one line
};

TEST_F(CommandLineTest, ExitStatusAndMessagesPerCase) {
  const std::string d = dir_->path();
  fs::create_directory(d + "empty");
  ScratchDir::WriteText(d + "notes", "this is not video\n");
  // H.265 parameter sets: a start code, but not H.264.
  ScratchDir::WriteText(d + "hevc", std::string("\0\0\0\1\x40\1\x0C\1\0\0\0\1\x42\1\1\1", 16));
  // Pictures without parameter sets or an IDR picture, and an empty file.
  ScratchDir::WriteText(d + "nosps", std::string("\0\0\0\1\x41\x9A\0\0\0\1\x41\x9B", 12));
  ScratchDir::WriteText(d + "void", "");
  // The bundled sample cut 12 bytes short: its last picture does not decode.
  const std::string sample = ScratchDir::ReadText(DVRTOOL_SAMPLE_FILE);
  ScratchDir::WriteText(d + "cut.h264", sample.substr(0, sample.size() - 12));
  ScratchDir::WriteText(d + "exists.h264", "keep me");
  // A directory with the recording's files and an index file too short to read.
  fs::create_directory(d + "partial");
  for (const char* name : {"dvr00.VDB", "dvr00.FIH", "dvr01.VDB", "dvr01.FIH"}) {
    if (fs::exists(rec_ + name)) fs::create_symlink(rec_ + name, d + "partial/" + name);
  }
  ScratchDir::WriteText(d + "partial/zz.FIH", "short");
  const std::string from = LocalTime(first_);
  std::string later = LocalTime(last_ + 120);  // same day unless run at 23:58
  const std::string day = from.substr(0, 10), fromArg = day + "~" + from.substr(11);
  const bool laterSameDay = later.substr(0, 10) == day;
  later[10] = '~';

  const std::vector<Row> rows = {
      // Help, version, unknown commands.
      {"help record", 0, "--channels N", ""},
      {"record --help", 0, "(default 4)", ""},
      {"export -h", 0, "--format F", ""},
      {"--version", 0, "dvrtool 1.0.0", ""},
      {"fly", 2, "", "unknown command 'fly'"},
      {"help fly", 2, "", "unknown command 'fly'"},
      // Bad input: exit 2, the reason on standard error, nothing done.
      {"record --dir @d/missing --files 3", 2, "", "No such file or directory"},
      {"record --dir @d/notes --files 3", 2, "", "not a directory"},
      {"record --dir @d/empty", 2, "", "needs --files"},
      {"record --dir @d/empty --files 0", 2, "", "--files must be"},
      {"@E --channels 33", 2, "", "--channels"},
      {"@E --seconds ten", 2, "", "'ten'"},
      {"@E --input @d/no.h264", 2, "", "no.h264: No such file or directory"},
      {"@E --input @d/notes", 2, "", "not an H.264 elementary stream"},
      {"@E --input @d/hevc", 2, "", "NAL header"},
      {"@E --input @d/cut.h264", 2, "", "truncated"},
      {"@E --input @d/nosps", 2, "", "needs an IDR picture with its SPS and PPS"},
      {"@E --input @d/void", 2, "", "void: empty file"},
      {"@E --loud", 2, "", "unknown option"},
      {"@E -x", 2, "", "unknown option '-x'"},
      {"dates @rec extra", 2, "", "unexpected argument"},
      {"verify @rec --deep", 2, "", "unknown option"},
      {"timeline @rec --date 2024-02-30", 2, "", "bad date"},
      {"timeline @rec --date 2024-1-1", 2, "", "bad date"},
      {"timeline @rec --date " + day + " --dst 13/1/2-10/30/3", 2, "", "bad --dst"},
      {"timeline @rec --date " + day + " --dst 2/30/2-10/27/3", 2, "", "bad --dst"},
      {"timeline @rec --date " + day + " --dst 3/31/25-10/27/3", 2, "", "bad --dst"},
      {"play @rec --from 2024-03-10~25:00:00", 2, "", "bad time"},
      {"play @rec --from 2023-02-29~10:00:00", 2, "", "bad time"},
      {"play @rec --from " + fromArg + " --rate fast", 2, "", "--rate"},
      {"play @rec --from " + fromArg + " --channel 32", 2, "", "--channel"},
      {"export @rec --channel 1 --from 2024-03-10~10:00 -o @d/x", 2, "", "bad time"},
      {"export @rec --channel 0 --format avi -o @d/x", 2, "", "--format"},
      {"export @rec --channel 0 -o @d/exists.h264", 2, "", "add -y"},
      {"demo --channels 33", 2, "", "--channels"},
      // Nothing found: exit 1, the reason on standard error, no output file left.
      {"verify @d/empty", 1, "0 file pair(s)", "no recording files"},
      {"dates @d/empty", 1, "", "no index files"},
      {"timeline @rec --date 2024-03-10", 1, "", "nothing recorded on 2024-03-10"},
      {"export @rec --channel 9 -o @d/none.h264", 1, "", "no video of channel 9"},
      {"play @rec --from 2020-01-01~10:00:00", 1, "", "next " + day},
      {"play @rec --from " + later, 1, "",
       laterSameDay ? "last before it " + LocalTime(last_) : ""},
      // Done, with what was skipped named on standard error.
      {"dates @d/partial", 0, day, "zz.FIH: shorter than an index file"},
      {"export @rec --channel 0 -y -o @d/exists.h264", 0, "exported 50", ""},
      {"verify -q @rec", 0, "(s), 150 records, 0 problem(s)", ""},
  };
  // Without libavcodec (the 32-bit and cross builds) a cut stream cannot be decoded to tell.
  const bool decodes = Run({"--version"}).out.find("MP4/MKV") != std::string::npos;
  for (const Row& row : rows) {
    if (!decodes && row.err == "truncated") continue;
    std::vector<std::string> args;
    std::istringstream words(
        std::regex_replace(row.args, std::regex("@E"), "record --dir @d/empty --files 3"));
    for (std::string a; words >> a;) {
      std::replace(a.begin(), a.end(), '~', ' ');
      args.push_back(a == "@rec" ? rec_ : a.rfind("@d/", 0) == 0 ? d + a.substr(3) : a);
    }
    SCOPED_TRACE(row.args);
    const Outcome r = Run(args);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    if (row.status != 0) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(r.err.rfind("dvrtool", 0), 0u) << r.err;
    }
  }
  EXPECT_FALSE(fs::exists(d + "empty/dvr00.VDB"));
  EXPECT_FALSE(fs::exists(d + "none.h264"));
  EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 10)
      << "a temporary output file was left behind";
  // -o - writes the export to standard output and the count to standard error.
  const Outcome piped = Run({"export", rec_, "--channel", "0", "-o", "-"});
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_TRUE(piped.out == ScratchDir::ReadText(d + "exists.h264")) << piped.out.size();
  EXPECT_NE(piped.err.find("exported 50 frames"), std::string::npos) << piped.err;
}

TEST_F(CommandLineTest, JsonReadsBackWithJq) {
  if (!HaveProgram("jq")) GTEST_SKIP() << "jq is not installed: --json not read back";
  const std::string tool = DvrtoolCommand({});
  const std::string day = LocalTime(first_).substr(0, 10);
  const struct {
    std::string command, want;
  } rows[] = {
      {" dates --json " + Quote(rec_) + " | jq -r '.dates[0] | \"\\(.date) \\(.channels)\"'",
       day + " 2\n"},
      {" verify --json " + Quote(rec_) + " | jq -r '\"\\(.records) \\(.problems)\"'", "150 0\n"},
      {" timeline --json " + Quote(rec_) + " --date " + day +
           " | jq -r '[.minutes[] | \"\\(.any)/\\(.audio)\"] | unique | join(\",\")'",
       "3/1\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command);
    const RunResult r = RunShell(tool + row.command);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, row.want);
  }
}

// The progress line shows on a terminal only (script(1) gives dvrtool one), and -q hides it.
TEST_F(CommandLineTest, ProgressLineOnlyOnATerminal) {
  if (!HaveProgram("script")) GTEST_SKIP() << "script(1) is not installed";
  ScratchDir scratch;
  const std::string record = DvrtoolCommand(
      {"record", "--dir", scratch.root(), "--files", "2", "--channels", "1", "--seconds", "2"});
  const RunResult tty = RunShell("script -qec " + Quote(record) + " /dev/null");
  EXPECT_EQ(tty.status, 0) << tty.output;
  EXPECT_NE(tty.output.find("s elapsed"), std::string::npos) << tty.output;
  const RunResult quiet = RunShell("script -qec " + Quote(record + " -q") + " /dev/null");
  EXPECT_EQ(quiet.output.find("s elapsed"), std::string::npos) << quiet.output;
  const RunResult pipe = RunShell(record);
  EXPECT_EQ(pipe.output.find("s elapsed"), std::string::npos) << pipe.output;
}

// Recording into ".", "./r" and a dotted directory keeps each index beside its data file.
TEST_F(CommandLineTest, DotAndDottedDirectories) {
  ScratchDir scratch;
  fs::create_directories(scratch / "cwd/r");
  fs::create_directories(scratch / "rec.1");
  const struct {
    std::string dir, files;
  } rows[] = {{".", "cwd/"}, {"./r", "cwd/r/"}, {scratch / "rec.1", "rec.1/"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.dir);
    const RunResult r = RunShell("cd " + Quote(scratch / "cwd") + " && " +
                                 DvrtoolCommand({"record", "--dir", row.dir, "--files", "2",
                                                 "--seconds", "1", "--fast", "-q"}) +
                                 " && " + DvrtoolCommand({"verify", row.dir, "-q"}));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("(s), 100 records, 0 problem(s)"), std::string::npos) << r.output;
    EXPECT_TRUE(fs::exists(scratch / (row.files + "dvr00.FIH")));
  }
}

}  // namespace
}  // namespace tooltest
