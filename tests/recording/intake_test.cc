// Frame intake through the three write exports: which frames a channel records, how each
// record kind is stored, what bad input is refused, and what the host's descriptor gets.
#include "recording/intake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;

class IntakeTest : public testing::Test {
 protected:
  void SetUp() override {
    host_.AddFiles(2);
    ASSERT_EQ(_RECORDER_START(host_.handle), 1);
  }
  std::vector<StoredRecord> StoredAfterStop() {
    _RECORDER_STOP(host_.handle);
    return ReadIndexedRecords(host_.Data(0));
  }
  RecordingHost host_;
  RECORDER_HANDLE h_ = host_.handle;
  std::vector<uint8_t> payload_ = Pattern(1000, 7);
};

TEST_F(IntakeTest, StatusBitsAndTriggersDecideWhatIsStoredAndAudioFollows) {
  const struct {
    uint32_t status, triggerA, triggerB;
    int32_t result;
    uint8_t reason;  // of the stored video record
  } rows[] = {{2, 0, 0, 0, 0}, {2, 1, 0, 1, 3}, {1, 1, 1, 1, 7}, {1, 0, 0, 1, 1}, {6, 0, 0, 0, 0},
              {6, 0, 5, 1, 5}, {4, 9, 0, 0, 0}, {0, 1, 1, 0, 0}, {8, 1, 1, 0, 0}};
  std::vector<std::tuple<int, int, int>> expected;  // channel, type, reason
  for (uint32_t c = 0; c < std::size(rows); ++c) {
    _RECORDER_SETSTATUS(h_, c, rows[c].status);
    FrameDescriptor video = VideoFrame(payload_, 0, 1, true, rows[c].triggerA, rows[c].triggerB);
    EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, c, &video), rows[c].result) << "row " << c;
    FrameDescriptor audio = AudioFrame(payload_);
    EXPECT_EQ(_RECORDER_WRITEAUDIO(h_, c, &audio), rows[c].result) << "row " << c;
    if (rows[c].result == 1) {
      expected.emplace_back(c, 1, rows[c].reason);
      expected.emplace_back(c, 0, 1);
    }
  }
  std::vector<std::tuple<int, int, int>> stored;
  for (const StoredRecord& r : StoredAfterStop()) {
    stored.emplace_back(r.header.channel, r.header.type, r.header.reason);
  }
  std::sort(stored.begin(), stored.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(stored, expected);
}

TEST_F(IntakeTest, RecDataKeepsTheStatusAsReasonAndKindOneTheAudioForm) {
  _RECORDER_SETSTATUS(h_, 5, 4);
  FrameDescriptor d = VideoFrame(payload_, 10, 2, false, 0, 0);
  EXPECT_EQ(_RECORDER_WRITERECDATA(h_, 5, &d), 0);  // the decision needs trigger B
  d.triggerA = d.triggerB = 1;
  EXPECT_EQ(_RECORDER_WRITERECDATA(h_, 5, &d), 1);
  _RECORDER_SETSTATUS(h_, 2, 0x105);  // the stored reason keeps the low 8 bits
  FrameDescriptor video = VideoFrame(payload_, 0, 1, true, 0, 1);
  ASSERT_EQ(_RECORDER_WRITEVIDEO(h_, 2, &video), 1);
  FrameDescriptor audioForm = AudioFrame(payload_, 33);
  audioForm.kind = 1;
  EXPECT_EQ(_RECORDER_WRITERECDATA(h_, 2, &audioForm), 1);

  const std::vector<StoredRecord> records = StoredAfterStop();
  ASSERT_EQ(records.size(), 3u);
  // Reason: status 4 OR 1, whatever the triggers. A non-key record: 100 zero bytes, the tag,
  // then the 990 payload bytes.
  const storage::FrameHeader& h = records[0].header;
  EXPECT_EQ(
      std::make_tuple(int{h.reason}, int{h.keyFrame}, uint32_t{h.type}, records[0].body.size()),
      std::make_tuple(5, 0, 2u, size_t{990 + 4 + 100}));
  const storage::FrameHeader& a = records[2].header;
  EXPECT_EQ(
      std::make_tuple(uint32_t{a.type}, int{a.reason}, int{a.keyFrame}, uint32_t{a.payloadSize}),
      std::make_tuple(33u, 5, 0, 0u));
  EXPECT_EQ(records[2].body, payload_);
}

TEST_F(IntakeTest, WhatCouldNeverBeStoredIsRefused) {
  // A type outside the family of its record's format, rec data of a kind with no format, a
  // bad channel, a switched-off channel: refused before anything is queued.
  _RECORDER_SETRECORD(h_, 4, 0);
  const struct {
    int32_t (*write)(RECORDER_HANDLE, uint32_t, FrameDescriptor*);
    uint32_t channel, kind, type;
    int32_t result;
  } rows[] = {{_RECORDER_WRITEVIDEO, 0, 0, 1, 1},          {_RECORDER_WRITEVIDEO, 0, 0, 0, 0},
              {_RECORDER_WRITEVIDEO, 0, 0, 5, 0},          {_RECORDER_WRITEVIDEO, 0, 0, 99, 0},
              {_RECORDER_WRITEVIDEO, 0, 0, 17, 0},         {_RECORDER_WRITEAUDIO, 0, 0, 17, 1},
              {_RECORDER_WRITEAUDIO, 0, 0, 1, 0},          {_RECORDER_WRITEAUDIO, 0, 0, 19, 0},
              {_RECORDER_WRITERECDATA, 0, 0, 6, 1},        {_RECORDER_WRITERECDATA, 0, 0, 0, 0},
              {_RECORDER_WRITERECDATA, 0, 1, 0, 1},        {_RECORDER_WRITERECDATA, 0, 1, 2, 0},
              {_RECORDER_WRITERECDATA, 0, 2, 1, 0},        {_RECORDER_WRITERECDATA, 0, 7, 0, 0},
              {_RECORDER_WRITEVIDEO, 4, 0, 1, 0},          {_RECORDER_WRITEVIDEO, 32, 0, 1, 0},
              {_RECORDER_WRITEAUDIO, 0xFFFFFFFFu, 0, 0, 0}};
  std::vector<uint32_t> storedTypes;
  for (const auto& w : rows) {
    FrameDescriptor d = VideoFrame(payload_, 0, w.type);
    d.audioData = payload_.data();
    d.kind = w.kind;
    EXPECT_EQ(w.write(h_, w.channel, &d), w.result) << "type " << w.type << " kind " << w.kind;
    if (w.result == 1) storedTypes.push_back(w.type);
  }
  std::vector<uint32_t> types;
  for (const StoredRecord& r : StoredAfterStop()) types.push_back(r.header.type);
  std::sort(types.begin(), types.end());
  std::sort(storedTypes.begin(), storedTypes.end());
  EXPECT_EQ(types, storedTypes);
  // Not recording: refused, but the descriptor still gets the time.
  host_.SetTime(LocalSeconds(2031, 12, 24, 18, 30, 45));
  FrameDescriptor d = VideoFrame(payload_, 0);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 0, &d), 0);
  EXPECT_EQ(std::make_tuple(int{d.year}, int{d.month}, int{d.day}, int{d.hour}, int{d.minute},
                            int{d.second}, int{d.reserved23}, int{d.millisecond}),
            std::make_tuple(2031, 12, 24, 18, 30, 45, 0, 0));
}

TEST_F(IntakeTest, BadDescriptorsAreRefusedAndLeftUntouched) {
  FrameDescriptor backwards = VideoFrame(payload_, 0), noVideo = VideoFrame(payload_, 0);
  backwards.dataStart = 20;
  backwards.dataEnd = 10;
  noVideo.videoData = nullptr;
  FrameDescriptor noAudio = AudioFrame(payload_), recData = AudioFrame(payload_);
  noAudio.audioData = nullptr;
  recData.kind = 1;
  recData.dataEnd = 0xFFFFFFFFu;
  recData.dataStart = 0xFFFFFFFFu - 10;
  recData.audioData = nullptr;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 0, &backwards), 0);
  EXPECT_EQ(backwards.year, 0);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 0, &noVideo), 0);
  EXPECT_EQ(_RECORDER_WRITEAUDIO(h_, 0, &noAudio), 0);
  EXPECT_EQ(_RECORDER_WRITERECDATA(h_, 0, &recData), 0);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 0, nullptr) + _RECORDER_WRITEAUDIO(h_, 0, nullptr) +
                _RECORDER_WRITERECDATA(h_, 0, nullptr),
            0);
  // An empty payload needs no buffer.
  FrameDescriptor empty = VideoFrame(payload_, 0);
  empty.videoData = nullptr;
  empty.dataStart = empty.dataEnd = 0;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 0, &empty), 1);
  // A frame the ring can never hold is taken in and dropped; the largest it holds goes on.
  std::vector<uint8_t> huge(Intake::kVideoRingCapacity, 0x5A);
  FrameDescriptor d = VideoFrame(huge, 0);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 0, &d), 1);
  const uint32_t fits = Intake::kVideoRingCapacity - CFrameRing::kRecordHeaderSize -
                        static_cast<uint32_t>(storage::VideoRecordSize(0, true));
  d.dataStart = static_cast<uint32_t>(huge.size()) - fits;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 0, &d), 1);
  const std::vector<StoredRecord> records = StoredAfterStop();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].body.size(), 4u);  // only the tag
  EXPECT_EQ(records[1].body.size(), fits + 4u);
}

std::atomic<uint32_t> g_tick{100000};
uint32_t FakeTick() { return g_tick.load(); }

// Video and rec data of kind 0 feed the channel's statistics; audio and kind 1 do not.
TEST_F(IntakeTest, VideoAndKindZeroRecDataAreCountedInTheStatistics) {
  platform::SetTickCountForTest(&FakeTick);
  // Channel 0 gets video, 1 and 2 rec data of kind 0 and 1, 3 audio.
  for (uint32_t tick : {100000u, 101000u, 102500u}) {  // counted twice, then the window closes
    g_tick = tick;
    for (uint32_t c = 0; c < 4; ++c) {
      // The first video opens the window and the channel records.
      if (tick == 100000u) {
        ASSERT_EQ(host_.Video(c, 500), 1);
      }
      ASSERT_EQ(c == 0   ? host_.Video(c, 500)
                : c == 3 ? host_.Audio(c, 500)
                         : host_.RecData(c, c - 1, 500),
                1);
    }
  }
  const double counted[] = {2, 2, 0, 0};
  for (uint32_t c = 0; c < 4; ++c) {
    double bps = -1, fps = -1;
    ASSERT_EQ(_RECORDER_GETBPS(h_, c, &bps) + _RECORDER_GETFPS(h_, c, &fps), 2);
    EXPECT_DOUBLE_EQ(fps, counted[c] * 1000.0 / 2500) << "channel " << c;
    EXPECT_DOUBLE_EQ(bps, counted[c] * 500 * 1000.0 / 2500) << "channel " << c;
  }
  platform::SetTickCountForTest(nullptr);
}

// The second pass through the repeated autumn hour is stored at its own instant.
TEST(IntakeDstTest, RepeatedAutumnHourKeepsItsInstant) {
  const int64_t secondPass = 1729992600;  // 2024-10-27 01:30 UTC, the second 02:30 in Berlin
  RecordingHost host("Europe/Berlin", secondPass - 3600);
  host.AddFiles(1);
  ASSERT_EQ(_RECORDER_START(host.handle), 1);
  ASSERT_EQ(host.Video(0), 1);
  host.SetTime(secondPass);
  std::vector<uint8_t> payload = Pattern(50, 1);
  FrameDescriptor second = VideoFrame(payload, 0);
  ASSERT_EQ(_RECORDER_WRITEVIDEO(host.handle, 0, &second), 1);
  EXPECT_EQ(std::make_pair(int{second.hour}, int{second.minute}), std::make_pair(2, 30));
  _RECORDER_STOP(host.handle);
  EXPECT_EQ(TimesOf(ReadIndexedRecords(host.Data(0))),
            (std::vector<int32_t>{static_cast<int32_t>(secondPass - 3600),
                                  static_cast<int32_t>(secondPass)}));
}

}  // namespace
