// Ending dvrtool from outside: SIGINT during `record` is a normal end (every frame the
// recorder took in is in the files), and a `play` killed with SIGKILL leaves no temporary
// file behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/process_state.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

TEST(InterruptTest, SigintDuringRecordStoresEveryAcceptedFrame) {
  ScratchDir dir;
  const std::string log = dir / "record.log";
  const pid_t child = SpawnDvrtool({"record", "--dir", dir.root(), "--files", "3", "--channels",
                                    "2", "--seconds", "120", "--audio"},
                                   log);
  // Let it record into a second written to disk, then interrupt it mid-way.
  ASSERT_TRUE(WaitUntil([&] { return ReadSummary(dir / "dvr00.FIH").dataBytes > 0; }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(child, SIGINT);
  ASSERT_EQ(WaitForExit(child), 0) << ScratchDir::ReadText(log);
  const std::string output = ScratchDir::ReadText(log);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      output, m, std::regex("recorded (\\d+) video frames \\(0 refused\\), (\\d+) audio")))
      << output;
  EXPECT_NE(output.find("stopped by SIGINT"), std::string::npos) << output;
  const uint64_t taken = std::stoull(m[1]) + std::stoull(m[2]);
  EXPECT_GT(taken, 0u);
  EXPECT_LT(std::stoull(m[1]), 2u * 120 * 25);  // it did stop early
  const RunResult verified = Dvrtool({"verify", dir.root(), "-q"});
  EXPECT_EQ(verified.status, 0) << verified.output;
  EXPECT_NE(verified.output.find(" " + std::to_string(taken) + " records, 0 problem(s)"),
            std::string::npos)
      << verified.output;
}

TEST(InterruptTest, PlayKilledWithSigkillLeavesNoTemporaryFile) {
  ScratchDir dir;
  const std::string rec = dir.Sub("rec");
  const std::string tmp = dir.Sub("tmp");
  const RunResult recorded =
      Dvrtool({"record", "--dir", rec, "--files", "2", "--seconds", "2", "--fast", "-q"});
  ASSERT_EQ(recorded.status, 0) << recorded.output;
  const time_t from = ReadSummary(rec + "dvr00.FIH").startTime;
  const pid_t child =
      SpawnDvrtool({"play", rec, "--from", LocalTime(from), "--seconds", "60", "--rate", "0.1"},
                   dir / "play.log", tmp);
  // The catalogue stands once the process holds files in its temporary directory.
  const std::string fds = "/proc/" + std::to_string(child) + "/fd";
  const auto heldTemporaryFiles = [&] {
    size_t held = 0;
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
      held += std::filesystem::read_symlink(fd.path(), error).string().rfind(tmp, 0) == 0;
    }
    return held;
  };
  ASSERT_TRUE(WaitUntil([&] { return heldTemporaryFiles() == 2; }, 30000))
      << ScratchDir::ReadText(dir / "play.log");
  EXPECT_EQ(CountEntries(tmp), 0u) << "the tables have names while in use";
  kill(child, SIGKILL);
  EXPECT_EQ(WaitForExit(child), 128 + SIGKILL);
  EXPECT_EQ(CountEntries(tmp), 0u);
}

}  // namespace
}  // namespace tooltest
