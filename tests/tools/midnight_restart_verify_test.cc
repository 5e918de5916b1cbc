// dvrtool verify on a set recorded through the exports across midnight, with a STOP and a
// START in the same second before and after it (as the restarting settings do) and records of
// the two rings stored out of order: every file of the set is consistent, and the recording
// went on in the file after the one just stopped.
#include <gtest/gtest.h>

#include "support/recording_host.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

TEST(MidnightRestartVerifyTest, SetRecordedAcrossMidnightWithRestartsVerifiesClean) {
  testsupport::RecordingHost host("UTC", testsupport::LocalSeconds(2024, 6, 1, 23, 59, 50));
  host.AddFiles(4, 2);
  ASSERT_EQ(_RECORDER_START(host.handle), 1);
  int taken = 0;
  for (int s = 0; s < 20; ++s) {
    if (s == 5 || s == 15) {  // restart within the second
      _RECORDER_STOP(host.handle);
      ASSERT_EQ(_RECORDER_START(host.handle), 1);
    }
    for (int f = 0; f < 5; ++f) {
      taken +=
          host.Video(0, 1500, f == 0, 3) + host.Video(1, 1500, f == 0, 3) + host.Audio(0, 320, 4);
    }
    // The clock moves on while the writers still hold records of the second before: the
    // audio writer may store some after the video writer stored a later second's (also the
    // first records of the new day's file).
    host.SetTime(testsupport::g_testNow + 1);
  }
  host.End();
  EXPECT_EQ(taken, 20 * 15);
  // START, the restart before midnight, midnight, the restart after it: four files in turn.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, 0, host.Data(i)), 1u) << i;
  }
  const RunResult r = Dvrtool({"verify", host.dir.root()});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(std::to_string(taken) + " records, 0 problem(s)"), std::string::npos)
      << r.output;
}

}  // namespace
}  // namespace tooltest
