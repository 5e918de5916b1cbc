// Recording through the exports as a capture front end does it: one host thread hands in
// video frames of several channels and moves the (test) clock on each second, another hands
// in audio meanwhile, so the two writer threads meet records of the two rings interleaved.
// Across midnight the set changes file exactly once and keeps every record; an hour at a low
// bit rate fills one minute entry per minute.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "recorder.h"
#include "recorder/recorder_base.h"
#include "storage/formats.h"
#include "support/event_log.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"
#include "support/wait_until.h"

namespace {

using testsupport::g_testNow;
using testsupport::LocalSeconds;

struct Pace {
  int steps;           // of the clock
  int secondsPerStep;  // how far each step moves it
  int videoPerStep;    // frames on each channel
  int channels;
  int audioPerStep;
};

class CameraPaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    handle_ = _RECORDER_INIT("camera", log_.Context(), &testsupport::EventLog::Callback);
    for (int i = 0; i < 3; ++i) _RECORDER_ADDFILEPATH(handle_, DataPath(i).c_str());
    for (uint32_t c = 0; c < 32; ++c) _RECORDER_SETRECORD(handle_, c, 1);
    ASSERT_EQ(_RECORDER_START(handle_), 1);
  }
  void TearDown() override { _RECORDER_END(handle_); }

  std::string DataPath(int n) const { return dir_ / ("cam" + std::to_string(n) + ".VDB"); }

  // Records at `pace` from the clock's current second on; the frames taken in.
  uint64_t Record(const Pace& pace) {
    std::atomic<bool> videoDone{false};
    std::atomic<uint64_t> taken{0};
    std::thread audio([&] {
      std::vector<uint8_t> payload = testsupport::Pattern(320, 1);
      while (!videoDone.load()) {
        const int64_t second = g_testNow.load();
        for (int i = 0; i < pace.audioPerStep; ++i) {
          FrameDescriptor a = testsupport::AudioFrame(payload, 17);
          taken += static_cast<uint64_t>(_RECORDER_WRITEAUDIO(handle_, 0, &a));
        }
        while (g_testNow.load() == second && !videoDone.load()) std::this_thread::yield();
      }
    });
    std::vector<uint8_t> payload = testsupport::Pattern(2000, 2);
    for (int s = 0; s < pace.steps; ++s) {
      for (int f = 0; f < pace.videoPerStep; ++f) {
        for (int c = 0; c < pace.channels; ++c) {
          FrameDescriptor v = testsupport::VideoFrame(payload, 0, 1, f == 0);
          taken +=
              static_cast<uint64_t>(_RECORDER_WRITEVIDEO(handle_, static_cast<uint32_t>(c), &v));
        }
      }
      g_testNow += pace.secondsPerStep;
    }
    videoDone = true;
    audio.join();
    return taken.load();
  }

  size_t DataFilesOpened() {
    size_t n = 0;
    for (const auto& e : log_.Events()) {
      n += e.code == RECORDER_EVENT_FILE_OPENED && e.status == 0 && e.path.back() == 'B';
    }
    return n;
  }

  testsupport::ScopedTimeZone zone_{"UTC"};
  testsupport::ScopedTestClock clock_{LocalSeconds(2024, 6, 1, 23, 59, 30)};
  testsupport::ScratchDir dir_;
  testsupport::EventLog log_;
  RECORDER_HANDLE handle_ = nullptr;
};

TEST_F(CameraPaceTest, MidnightChangesFileOnceAndKeepsEveryRecord) {
  const int32_t midnight = LocalSeconds(2024, 6, 2, 0, 0, 0);
  const uint64_t taken = Record({60, 1, 25, 4, 50});
  _RECORDER_STOP(handle_);
  EXPECT_EQ(DataFilesOpened(), 2u);
  const auto first = testsupport::ReadIndexedRecords(DataPath(0));
  const auto second = testsupport::ReadIndexedRecords(DataPath(1));
  EXPECT_EQ(first.size() + second.size(), taken);
  // The new day's first record opened the second file; only late records of the day before
  // (that reached their writer after a record of the new day from the other ring) follow it
  // there. The rings hold a few records each: late ones are seconds late at most.
  for (const auto& r : first) EXPECT_LT(r.header.time, midnight);
  ASSERT_FALSE(second.empty());
  EXPECT_GE(second.front().header.time, midnight);
  for (const auto& r : second) EXPECT_GE(r.header.time, midnight - 5);
}

TEST_F(CameraPaceTest, AnHourAtALowBitRateUsesOneEntryPerMinute) {
  g_testNow = LocalSeconds(2024, 6, 1, 10, 0, 0);
  const uint64_t taken = Record({720, 5, 1, 1, 2});
  _RECORDER_STOP(handle_);
  EXPECT_EQ(DataFilesOpened(), 1u);
  const storage::IndexSummary s = testsupport::ReadSummary(dir_ / "cam0.FIH");
  EXPECT_LE(s.lastEntry, 60);  // at most 61 entries
  EXPECT_EQ(testsupport::ReadIndexedRecords(DataPath(0)).size(), taken);
  EXPECT_EQ(testsupport::EntryBytes(s), s.dataBytes);
}

}  // namespace
