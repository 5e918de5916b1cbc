// dvrtool verify on a set recorded through the exports across midnight, with a STOP and a
// START in the same second before and after it (as the restarting settings do) and records of
// the two rings stored out of order: every file of the set is consistent, and the recording
// went on in the file after the one just stopped.
#include <gtest/gtest.h>

#include <vector>

#include "recorder.h"
#include "support/event_log.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

using testsupport::g_testNow;
using testsupport::LocalSeconds;

TEST(MidnightRestartVerifyTest, SetRecordedAcrossMidnightWithRestartsVerifiesClean) {
  testsupport::ScopedTimeZone zone("UTC");
  testsupport::ScopedTestClock clock(LocalSeconds(2024, 6, 1, 23, 59, 50));
  ScratchDir dir;
  ASSERT_FALSE(dir.root().empty());
  testsupport::EventLog log;
  RECORDER_HANDLE recorder =
      _RECORDER_INIT("verify", log.Context(), &testsupport::EventLog::Callback);
  for (int i = 0; i < 4; ++i) {
    _RECORDER_ADDFILEPATH(recorder, (dir / ("v" + std::to_string(i) + ".VDB")).c_str());
  }
  for (uint32_t c = 0; c < 2; ++c) _RECORDER_SETRECORD(recorder, c, 1);
  ASSERT_EQ(_RECORDER_START(recorder), 1);
  std::vector<uint8_t> video = testsupport::Pattern(1500, 3);
  std::vector<uint8_t> audio = testsupport::Pattern(320, 4);
  uint64_t taken = 0;
  for (int s = 0; s < 20; ++s) {
    if (s == 5 || s == 15) {  // restart within the second
      _RECORDER_STOP(recorder);
      ASSERT_EQ(_RECORDER_START(recorder), 1);
    }
    for (int f = 0; f < 5; ++f) {
      for (uint32_t c = 0; c < 2; ++c) {
        FrameDescriptor v = testsupport::VideoFrame(video, 0, 1, f == 0);
        taken += static_cast<uint64_t>(_RECORDER_WRITEVIDEO(recorder, c, &v));
      }
      FrameDescriptor a = testsupport::AudioFrame(audio, 17);
      taken += static_cast<uint64_t>(_RECORDER_WRITEAUDIO(recorder, 0, &a));
    }
    // The clock moves on while the writers still hold records of the second before: the
    // audio writer may store some after the video writer stored a later second's (also the
    // first records of the new day's file).
    g_testNow += 1;
  }
  _RECORDER_END(recorder);
  EXPECT_EQ(taken, 20u * 15u);

  // START, the restart before midnight, midnight, the restart after it: four files in turn.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(log.Count(RECORDER_EVENT_FILE_OPENED, 0, dir / ("v" + std::to_string(i) + ".VDB")),
              1u)
        << i;
  }
  const RunResult r = Dvrtool({"verify", dir.root()});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(std::to_string(taken) + " records, 0 problem(s)"), std::string::npos)
      << r.output;
}

}  // namespace
}  // namespace tooltest
