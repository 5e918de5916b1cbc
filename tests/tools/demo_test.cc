// `dvrtool demo` leaves no data file behind when it passes, twice in a row; keeps its files
// when asked to, and when it fails, naming where they are.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "tool_runner.h"

namespace {

using namespace tooltest;

namespace fs = std::filesystem;

// Every regular file under `dir`, relative to it, sorted.
std::vector<std::string> FilesUnder(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), dir).string());
  std::sort(files.begin(), files.end());
  return files;
}

TEST(DemoTest, APassingRunRemovesItsFilesAndAFailingOneKeepsThemAndSaysWhere) {
  ScratchDir scratch;
  const std::string tmp = scratch.Sub("tmp"), broken = scratch.Sub("broken");
  // A directory where the export should go: the demo fails after recording.
  fs::create_directory(broken + "channel0.h264");
  const std::string kept = "dvrdemo_";
  // Extra arguments, exit status, what the output says, the files left under $TMPDIR
  // afterwards (a path ending in '*' stands for any name with that start).
  const std::tuple<std::vector<std::string>, int, std::string, std::vector<std::string>> rows[] = {
      {{}, 0, "data files removed", {}},
      {{}, 0, "data files removed", {}},  // twice in a row: still nothing
      {{"--keep"}, 0, "files kept in " + tmp, {"channel0.h264", "dvr00.FIH", "dvr00.VDB"}},
      {{"--dir", broken}, 1, "files kept in " + scratch / "broken", {}},
  };
  for (const auto& [extra, status, says, left] : rows) {
    SCOPED_TRACE(extra.empty() ? "no options" : extra[0]);
    std::vector<std::string> args = {"demo", "--seconds", "2", "--channels", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = RunShell("TMPDIR=" + Quote(tmp) + " " + DvrtoolCommand(args));
    EXPECT_EQ(r.status, status) << r.output;
    EXPECT_THAT(r.output, HasSubstr(says));
    const std::vector<std::string> files = FilesUnder(tmp);
    if (left.empty()) {
      EXPECT_TRUE(files.empty()) << files.front();
      continue;
    }
    // The kept run's own directory holds the set, its picture and the export.
    for (const std::string& name : left) {
      EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const std::string& f) {
        return f.rfind(kept, 0) == 0 && f.ends_with("/" + name);
      })) << name;
    }
    fs::remove_all(tmp);
    fs::create_directory(tmp);
  }
  EXPECT_TRUE(fs::is_regular_file(broken + "dvr00.VDB"));
  EXPECT_TRUE(fs::is_directory(broken + "channel0.h264"));
}

}  // namespace
