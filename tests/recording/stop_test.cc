// STOP right after the host's last frame: every frame the recorder took in must reach the
// data file, even those the writer threads had not picked up from the rings yet.
#include <gtest/gtest.h>

#include <vector>

#include "recording_test_util.h"

namespace rectest {
namespace {

class StopTest : public RecorderTest {};

TEST_F(StopTest, StopStoresEveryFrameStillInTheRings) {
  AddFiles(2);
  ASSERT_EQ(_RECORDER_START(handle_), 1);
  g_testNow = LocalSeconds(2024, 5, 1, 12, 0, 0);
  // Large frames on many channels, handed in back to back, so the rings hold records when
  // STOP comes; audio too, which travels through the other ring.
  uint32_t taken = 0;
  std::vector<uint8_t> audio = Pattern(320, 99);
  for (uint32_t i = 0; i < 64; ++i) {
    std::vector<uint8_t> buffer = Pattern(200000, i);
    FrameDescriptor d = VideoFrame(buffer, 0, 1, i % 8 == 0, 0, 0);
    taken += static_cast<uint32_t>(_RECORDER_WRITEVIDEO(handle_, i % 32, &d));
    FrameDescriptor a = AudioFrame(audio);
    taken += static_cast<uint32_t>(_RECORDER_WRITEAUDIO(handle_, 0, &a));
  }
  ASSERT_EQ(taken, 128u);
  _RECORDER_STOP(handle_);

  const std::vector<StoredRecord> records = ReadIndexedRecords(DataPath(0));
  EXPECT_EQ(records.size(), 128u);
}

}  // namespace
}  // namespace rectest
