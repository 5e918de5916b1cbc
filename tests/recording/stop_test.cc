// STOP or END right after the host's last frame: every frame the recorder took in must reach
// the data file, even those the writer threads had not picked up from the rings yet.
#include <gtest/gtest.h>

#include <vector>

#include "recording_test_util.h"

namespace rectest {
namespace {

class StopTest : public RecorderTest, public testing::WithParamInterface<bool> {};

TEST_P(StopTest, StopOrEndStoresEveryFrameStillInTheRings) {
  const bool end = GetParam();
  // END without STOP has lost frames only some of the time: a few rounds make it show.
  for (int round = 0; round < (end ? 4 : 1); ++round) {
    SCOPED_TRACE(round);
    const std::string data = dir_ / ("r" + std::to_string(round) + ".VDB");
    RECORDER_HANDLE recorder = _RECORDER_INIT("stop", 0, nullptr);
    _RECORDER_ADDFILEPATH(recorder, data.c_str());
    for (uint32_t c = 0; c < 32; ++c) _RECORDER_SETRECORD(recorder, c, 1);
    ASSERT_EQ(_RECORDER_START(recorder), 1);
    g_testNow = LocalSeconds(2024, 5, 1, 12, 0, round);
    // Large frames on many channels, handed in back to back, so the rings hold records when
    // STOP comes; audio too, which travels through the other ring.
    uint32_t taken = 0;
    std::vector<uint8_t> audio = Pattern(320, 99);
    for (uint32_t i = 0; i < 64; ++i) {
      std::vector<uint8_t> buffer = Pattern(200000, i);
      FrameDescriptor d = VideoFrame(buffer, 0, 1, i % 8 == 0, 0, 0);
      taken += static_cast<uint32_t>(_RECORDER_WRITEVIDEO(recorder, i % 32, &d));
      FrameDescriptor a = AudioFrame(audio);
      taken += static_cast<uint32_t>(_RECORDER_WRITEAUDIO(recorder, 0, &a));
    }
    ASSERT_EQ(taken, 128u);
    if (!end) _RECORDER_STOP(recorder);
    _RECORDER_END(recorder);
    EXPECT_EQ(ReadIndexedRecords(data).size(), 128u);
  }
}

INSTANTIATE_TEST_SUITE_P(StopAndEnd, StopTest, testing::Bool());

}  // namespace
}  // namespace rectest
