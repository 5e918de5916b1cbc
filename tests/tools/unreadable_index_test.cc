// dvrtool names each index file the search cannot read, with the cause the catalogue met, as a
// shell tool does: "dvrtool dates: DIR/b.FIH: Permission denied (skipped)" on standard error,
// and exits 1 with the cause when no index file could be read.
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <sstream>

#include "tool_runner.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

// A pair whose index file lists one recorded minute at `t`, with an empty data file.
void WritePair(const std::string& dir, const std::string& title, uint32_t t) {
  storage::IndexSummary s = storage::MakeEmptySummary();
  s.startTime = t;
  s.endTime = t + 30;
  s.dataBytes = 1000;
  s.lastEntry = 0;
  s.entries[0] = {t, 1000, 1, 0, 0, 0};
  WriteIndexFile(dir + title + ".FIH", {MakeRecord(title + ".VDB", s)});
  WriteBytes(dir + title + ".VDB");
}

TEST(UnreadableIndexTest, EachUnreadableIndexFileIsNamedWithItsCause) {
  ScratchDir scratch;
  const std::string d = scratch.path();
  const uint32_t t = static_cast<uint32_t>(time(nullptr)) / 86400 * 86400 + 43200;
  const std::string day = LocalTime(t).substr(0, 10);
  // "some": a readable pair beside a symbolic link to it, which the catalogue never follows,
  // one that its user may not read and a link to nothing (no index file); "none": only a link.
  for (const char* sub : {"some/", "none/"}) {
    fs::create_directory(d + sub);
    fs::create_symlink(d + "some/a.FIH", d + sub + "b.FIH");
    WriteBytes(d + sub + "b.VDB");
  }
  WritePair(d + "some/", "a", t);
  WritePair(d + "some/", "c", t);
  fs::permissions(d + "some/c.FIH", fs::perms::none);
  fs::create_symlink(d + "nowhere.FIH", d + "some/d.FIH");
  // Root reads every file whatever its mode: dvrtool then runs as nobody, in a directory it
  // may enter and with temporary files of its own.
  const std::string as = geteuid() == 0 && HaveProgram("setpriv")
                             ? "setpriv --reuid=65534 --regid=65534 --clear-groups "
                             : "";
  fs::permissions(scratch.root(),
                  fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
  fs::create_directory(d + "tmp");
  fs::permissions(d + "tmp", fs::perms::all);
  const std::string loop = "Too many levels of symbolic links";
  const std::tuple<std::string, int, std::string, std::vector<std::string>> rows[] = {
      {"some/",
       0,
       day,
       {"dvrtool dates: " + d + "some/b.FIH: " + loop + " (skipped)",
        "dvrtool dates: " + d + "some/c.FIH: Permission denied (skipped)"}},
      {"none/", 1, "", {"dvrtool dates: " + d + "none/b.FIH: " + loop}},
  };
  for (const auto& [sub, status, out, errLines] : rows) {
    SCOPED_TRACE(sub);
    const RunResult r =
        RunShell("{ TMPDIR=" + Quote(d + "tmp") + " " + as + DvrtoolCommand({"dates", d + sub}) +
                 " 2>" + Quote(d + "stderr") + " </dev/null; }");
    EXPECT_EQ(r.status, status) << r.output;
    EXPECT_THAT(r.output, HasSubstr(out));
    std::vector<std::string> lines;
    std::istringstream err(ScratchDir::ReadText(d + "stderr"));
    for (std::string line; std::getline(err, line);) lines.push_back(line);
    EXPECT_EQ(lines, errLines);
  }
}

}  // namespace
}  // namespace tooltest
