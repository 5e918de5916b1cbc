// dvrtool verify on recordings that ended or went on in ways a user's do: a `record` ended
// with SIGINT (a normal end: every frame the recorder took in is in the files), and a set
// recorded through the exports across midnight, with a STOP and a START in the same second
// before and after it (as the restarting settings do) and records of the two rings stored out
// of order: every file of the set is consistent, and the recording went on in the file after
// the one just stopped.
#include <gtest/gtest.h>

#include <regex>

#include "support/recording_host.h"
#include "tool_runner.h"

namespace {

using namespace tooltest;

// A signal ends `record` and `play` as a normal end would, with the shell's status for it.
TEST(InterruptTest, ASignalEndsRecordAndPlayWithItsStatusAndEveryAcceptedFrameStored) {
  ScratchDir dir;
  const std::string log = dir / "log";
  const pid_t recorder = Spawn("exec " +
                               DvrtoolCommand({"record", "--dir", dir.root(), "--files", "3",
                                               "--channels", "2", "--seconds", "120", "--audio"}) +
                               " >" + Quote(log) + " 2>&1");
  // Let it record into a second written to disk, then interrupt it mid-way.
  ASSERT_TRUE(WaitUntil([&] { return ReadSummary(dir / "dvr00.FIH").dataBytes > 0; }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(recorder, SIGINT);
  ASSERT_EQ(WaitForExit(recorder), 130) << ScratchDir::ReadText(log);
  std::smatch m;
  const std::string output = ScratchDir::ReadText(log);
  ASSERT_TRUE(std::regex_search(
      output, m,
      std::regex("SIGINT.*\nrecorded (\\d+) video frames \\(0 refused\\), (\\d+) audio")))
      << output;
  EXPECT_LT(std::stoull(m[1]), 2u * 120 * 25);  // it did stop early
  const std::string records = std::to_string(std::stoull(m[1]) + std::stoull(m[2]));
  const std::string verified = " " + records + " records, 0 problem(s)";
  EXPECT_THAT(Dvrtool({"verify", dir.root(), "-q"}).output, HasSubstr(verified));
  // Play, stopped by SIGTERM once it reads the recording, reports what it played.
  const pid_t player = Spawn("exec " +
                             DvrtoolCommand({"play", dir.root(), "--from",
                                             LocalTime(ReadSummary(dir / "dvr00.FIH").startTime),
                                             "--rate", "0.5", "--seconds", "60", "--json"}) +
                             " >" + Quote(log) + " 2>&1");
  const std::string reading = "find /proc/" + std::to_string(player) + "/fd -lname '*.VDB' | wc -l";
  ASSERT_TRUE(WaitUntil([&] { return RunShell(reading).output != "0\n"; }, 30000));
  kill(player, SIGTERM);
  EXPECT_EQ(WaitForExit(player), 143);
  EXPECT_THAT(ScratchDir::ReadText(log), HasSubstr("\"interrupted\": true"));
  EXPECT_THAT(Dvrtool({"verify", dir.root(), "-q"}).output, HasSubstr(verified));
}

TEST(MidnightRestartVerifyTest, SetRecordedAcrossMidnightWithRestartsVerifiesClean) {
  RecordingHost host("UTC", LocalSeconds(2024, 6, 1, 23, 59, 50));
  host.AddFiles(4, 2);
  ASSERT_EQ(_RECORDER_START(host.handle), 1);
  for (int s = 0; s < 20; ++s) {
    if (s == 5 || s == 15) {  // restart within the second
      _RECORDER_STOP(host.handle);
      ASSERT_EQ(_RECORDER_START(host.handle), 1);
    }
    for (int f = 0; f < 5; ++f)
      ASSERT_EQ(
          host.Video(0, 1500, f == 0, 3) + host.Video(1, 1500, f == 0, 3) + host.Audio(0, 320, 4),
          3);
    // The clock moves on while the writers still hold records of the second before: the
    // audio writer may store some after the video writer stored a later second's (also the
    // first records of the new day's file).
    host.SetTime(g_testNow + 1);
  }
  host.End();
  // START, the restart before midnight, midnight, the restart after it: four files in turn.
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, 0, host.Data(i)), 1u) << i;
  const RunResult r = Dvrtool({"verify", host.dir.root()});
  EXPECT_THAT(r.output, HasSubstr("300 records, 0 problem(s)"));
}

// A trigger channel with pre- and post-record beside an always-recording one, the event
// starting in one minute and triggered in the next: the kept frames and audio, written
// seconds late, leave files that verify clean.
TEST(TriggerRecordingVerifyTest, PreAndPostRecordedFilesVerifyClean) {
  RecordingHost host("UTC", LocalSeconds(2024, 6, 1, 10, 0, 40));
  host.AddFiles(2, 2);
  _RECORDER_SETSTATUS(host.handle, 0, 2);
  _RECORDER_SETPREPOSTTIME(host.handle, 5, 10);
  ASSERT_EQ(_RECORDER_START(host.handle), 1);
  const int64_t base = g_testNow;
  int32_t taken = 0;
  for (int s = 0; s < 40; ++s) {
    host.SetTime(base + s);
    for (int f = 0; f < 10; ++f) {
      const std::vector<uint8_t> payload = Pattern(700, s * 10 + f);
      FrameDescriptor d = VideoFrame(payload, 0, 1, f == 0, s == 23 ? 1 : 0);
      taken += _RECORDER_WRITEVIDEO(host.handle, 0, &d) + host.Video(1, 500, f == 0) +
               host.Audio(0, 320);
    }
  }
  host.End();
  // Returned 0 but written: the 5 s of video and audio before the trigger at 10:01:03.
  const uint32_t kept = 5 * 10 * 2;
  const RunResult r = Dvrtool({"verify", host.dir.root()});
  EXPECT_THAT(r.output, HasSubstr(" " + std::to_string(taken + kept) + " records, 0 problem(s)"));
}

}  // namespace
