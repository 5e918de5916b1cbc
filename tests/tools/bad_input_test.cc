// Every command refuses bad input with exit status 2 and one line on the terminal: missing
// or dotted directories, unreadable or non-H.264 input, impossible dates and times, numbers
// out of range, unknown options and commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tool_runner.h"

namespace tooltest {
namespace {

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.root().empty());
    std::filesystem::create_directory(dir_ / "with.dot");
    std::ofstream(dir_ / "notes") << "this is not video\n";
    // H.265 parameter sets: a start code, but not H.264.
    const uint8_t hevc[] = {0, 0, 0, 1, 0x40, 1, 0x0C, 1, 0, 0, 0, 1, 0x42, 1, 1, 1};
    std::ofstream(dir_ / "hevc", std::ios::binary)
        .write(reinterpret_cast<const char*>(hevc), sizeof(hevc));
  }

  void ExpectRefused(const std::vector<std::string>& args) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    const RunResult r = Dvrtool(args);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    EXPECT_EQ(r.output.rfind("dvrtool", 0), 0u) << r.output;
  }

  ScratchDir dir_;
};

TEST_F(BadInputTest, RecordRefusesBadDirectoriesInputsAndOptions) {
  const std::string d = dir_.root();
  ExpectRefused({"record", "--dir", d + "/missing", "--files", "3"});
  ExpectRefused({"record", "--dir", dir_ / "with.dot", "--files", "3"});
  ExpectRefused({"record", "--dir", d});
  ExpectRefused({"record", "--dir", d, "--files", "0"});
  ExpectRefused({"record", "--dir", d, "--files", "3", "--channels", "33"});
  ExpectRefused({"record", "--dir", d, "--files", "3", "--seconds", "ten"});
  ExpectRefused({"record", "--dir", d, "--files", "3", "--input", d + "/missing.h264"});
  ExpectRefused({"record", "--dir", d, "--files", "3", "--input", dir_ / "notes"});
  ExpectRefused({"record", "--dir", d, "--files", "3", "--input", dir_ / "hevc"});
  ExpectRefused({"record", "--dir", d, "--files", "3", "--loud"});
  ExpectRefused({"record", "--dir", d, "--files", "3", "-x"});
  // Nothing was recorded by any of them.
  EXPECT_FALSE(std::filesystem::exists(dir_ / "dvr00.VDB"));
}

TEST_F(BadInputTest, ReadingCommandsRefuseBadDirectoriesDatesAndTimes) {
  const std::string d = dir_.root();
  ExpectRefused({"dates", d + "/missing"});
  ExpectRefused({"dates", d, "extra"});
  ExpectRefused({"dates"});
  ExpectRefused({"verify", dir_ / "with.dot"});
  ExpectRefused({"verify", d, "--deep"});
  ExpectRefused({"timeline", d, "--date", "2024-02-30"});
  ExpectRefused({"timeline", d, "--date", "2024-1-1"});
  ExpectRefused({"timeline", d});
  ExpectRefused({"timeline", d, "--date", "2024-03-10", "--dst", "13/1/2-10/30/3"});
  ExpectRefused({"play", d, "--from", "2024-13-01 00:00:00"});
  ExpectRefused({"play", d, "--from", "2024-03-10 24:00:00"});
  ExpectRefused({"play", d, "--from", "yesterday"});
  ExpectRefused({"play", d, "--from", "2024-03-10 10:00:00", "--rate", "fast"});
  ExpectRefused({"play", d, "--from", "2024-03-10 10:00:00", "--channel", "32"});
  ExpectRefused({"play", d + "/missing", "--from", "2024-03-10 10:00:00"});
  ExpectRefused({"export", d, "--channel", "40", "--out", dir_ / "x"});
  ExpectRefused({"export", d, "--out", dir_ / "x"});
  ExpectRefused({"export", d, "--channel", "1", "--from", "2024-03-10 10:00", "--out", "x"});
  ExpectRefused({"export", d, "--channel", "1", "--from", "2024-03-10 10:00:00", "--to",
                 "2024-03-10 09:00:00", "--out", dir_ / "x"});
  ExpectRefused({"demo", "--seconds", "0"});
  ExpectRefused({"demo", "--channels", "33"});
  ExpectRefused({"demo", "--dir", dir_ / "with.dot"});
  ExpectRefused({"fly"});
}

}  // namespace
}  // namespace tooltest
