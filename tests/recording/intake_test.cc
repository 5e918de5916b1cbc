// Frame intake through the three write exports: which frames a channel records, how each
// record kind is stored, what bad input is refused, and what the host's descriptor gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

#include "recording_test_util.h"

namespace rectest {
namespace {

class IntakeTest : public RecorderTest {
 protected:
  void SetUp() override {
    RecorderTest::SetUp();
    AddFiles(2);
    ASSERT_EQ(_RECORDER_START(handle_), 1);
  }

  // Stops the recorder once the rings are empty and returns what reached the data file.
  std::vector<StoredRecord> StoredAfterStop() {
    Drain();
    _RECORDER_STOP(handle_);
    return ReadIndexedRecords(DataPath(0));
  }

  std::vector<uint8_t> payload_ = Pattern(1000, 7);
};

// A video frame on a channel with the given status bits and triggers.
struct DecisionCase {
  uint32_t status;
  uint32_t triggerA;
  uint32_t triggerB;
  int32_t result;  // of WRITEVIDEO
  uint8_t reason;  // of the stored record, when stored
};

class IntakeDecisionTest : public IntakeTest, public testing::WithParamInterface<DecisionCase> {};

TEST_P(IntakeDecisionTest, StatusBitsAndTriggersDecideWhatIsStored) {
  const DecisionCase c = GetParam();
  _RECORDER_SETSTATUS(handle_, 3, c.status);
  FrameDescriptor video = VideoFrame(payload_, 0, 1, true, c.triggerA, c.triggerB);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, 3, &video), c.result);
  // Audio follows the decision just made for the channel's video.
  FrameDescriptor audio = AudioFrame(payload_);
  EXPECT_EQ(_RECORDER_WRITEAUDIO(handle_, 3, &audio), c.result);

  const std::vector<StoredRecord> records = StoredAfterStop();
  if (c.result == 0) {
    EXPECT_TRUE(records.empty());
    return;
  }
  ASSERT_EQ(records.size(), 2u);
  const bool videoFirst = storage::IsStoredVideoType(records[0].header.type);
  const StoredRecord& v = records[videoFirst ? 0 : 1];
  const StoredRecord& a = records[videoFirst ? 1 : 0];
  const auto channelAndReason = [](const StoredRecord& r) {
    return std::make_pair(int{r.header.channel}, int{r.header.reason});
  };
  EXPECT_EQ(channelAndReason(v), std::make_pair(3, int{c.reason}));
  EXPECT_EQ(channelAndReason(a), std::make_pair(3, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntakeDecisionTest,
    testing::Values(DecisionCase{2, 0, 0, 0, 0},   // trigger A wanted, none present
                    DecisionCase{2, 1, 0, 1, 3},   // trigger A present
                    DecisionCase{1, 1, 1, 1, 7},   // always, both triggers
                    DecisionCase{1, 0, 0, 1, 1},   // always, no trigger
                    DecisionCase{6, 0, 0, 0, 0},   // triggers only, none present
                    DecisionCase{6, 0, 5, 1, 5},   // trigger B present
                    DecisionCase{4, 9, 0, 0, 0},   // trigger B wanted, only A present
                    DecisionCase{0, 1, 1, 0, 0},   // records nothing
                    DecisionCase{8, 1, 1, 0, 0}),  // other bits are ignored
    [](const testing::TestParamInfo<DecisionCase>& info) {
      const DecisionCase& c = info.param;
      return "status" + std::to_string(c.status) + "_a" + std::to_string(c.triggerA) + "_b" +
             std::to_string(c.triggerB);
    });

TEST_F(IntakeTest, RecDataOfKindZeroStoresStatusAsReasonWhenTriggerBIsPresent) {
  _RECORDER_SETSTATUS(handle_, 5, 4);
  FrameDescriptor d = VideoFrame(payload_, 10, 2, false, 0, 0);
  d.kind = 0;
  EXPECT_EQ(_RECORDER_WRITERECDATA(handle_, 5, &d), 0);  // the decision needs trigger B
  d.triggerB = 1;
  d.triggerA = 1;
  EXPECT_EQ(_RECORDER_WRITERECDATA(handle_, 5, &d), 1);

  const std::vector<StoredRecord> records = StoredAfterStop();
  ASSERT_EQ(records.size(), 1u);
  // Reason: status 4 OR 1, whatever the triggers. A non-key record: 100 zero bytes, the tag,
  // then the 990 payload bytes.
  const storage::FrameHeader& h = records[0].header;
  EXPECT_EQ(
      std::make_tuple(int{h.reason}, int{h.keyFrame}, uint32_t{h.type}, records[0].body.size()),
      std::make_tuple(5, 0, 2u, size_t{990 + 4 + 100}));
}

TEST_F(IntakeTest, RecDataOfKindOneIsStoredInAudioFormat) {
  _RECORDER_SETSTATUS(handle_, 2, 0x105);  // the stored reason keeps the low 8 bits
  FrameDescriptor video = VideoFrame(payload_, 0, 1, true, 0, 1);
  ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, 2, &video), 1);
  FrameDescriptor d = AudioFrame(payload_, 33);
  d.kind = 1;
  EXPECT_EQ(_RECORDER_WRITERECDATA(handle_, 2, &d), 1);

  const std::vector<StoredRecord> records = StoredAfterStop();
  ASSERT_EQ(records.size(), 2u);
  const storage::FrameHeader& h = records[1].header;
  EXPECT_EQ(
      std::make_tuple(uint32_t{h.type}, int{h.reason}, int{h.keyFrame}, uint32_t{h.payloadSize}),
      std::make_tuple(33u, 5, 0, 0u));
  EXPECT_EQ(records[1].body, payload_);
}

TEST_F(IntakeTest, WhatCouldNeverBeStoredIsRefused) {
  // A type outside the family of its record's format, or rec data of a kind with no format:
  // refused before anything is queued. Every write sits beside a good one of its export.
  struct Write {
    int32_t (*write)(RECORDER_HANDLE, uint32_t, FrameDescriptor*);
    uint32_t kind;
    uint32_t type;
    int32_t result;
  };
  const Write writes[] = {{_RECORDER_WRITEVIDEO, 0, 1, 1},   {_RECORDER_WRITEVIDEO, 0, 0, 0},
                          {_RECORDER_WRITEVIDEO, 0, 5, 0},   {_RECORDER_WRITEVIDEO, 0, 99, 0},
                          {_RECORDER_WRITEVIDEO, 0, 17, 0},  {_RECORDER_WRITEAUDIO, 0, 17, 1},
                          {_RECORDER_WRITEAUDIO, 0, 1, 0},   {_RECORDER_WRITEAUDIO, 0, 19, 0},
                          {_RECORDER_WRITERECDATA, 0, 6, 1}, {_RECORDER_WRITERECDATA, 0, 0, 0},
                          {_RECORDER_WRITERECDATA, 1, 0, 1}, {_RECORDER_WRITERECDATA, 1, 2, 0},
                          {_RECORDER_WRITERECDATA, 2, 1, 0}, {_RECORDER_WRITERECDATA, 7, 0, 0}};
  std::vector<uint32_t> storedTypes;
  for (const Write& w : writes) {
    FrameDescriptor d = VideoFrame(payload_, 0, w.type);
    d.audioData = payload_.data();
    d.kind = w.kind;
    EXPECT_EQ(w.write(handle_, 0, &d), w.result) << "type " << w.type << " kind " << w.kind;
    if (w.result == 1) storedTypes.push_back(w.type);
  }
  std::vector<uint32_t> types;
  for (const StoredRecord& r : StoredAfterStop()) types.push_back(r.header.type);
  std::sort(types.begin(), types.end());
  std::sort(storedTypes.begin(), storedTypes.end());
  EXPECT_EQ(types, storedTypes);
}

TEST_F(IntakeTest, SwitchedOffChannelAndStoppedRecorderRefuse) {
  _RECORDER_SETRECORD(handle_, 4, 0);
  FrameDescriptor d = VideoFrame(payload_, 0);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, 4, &d), 0);
  EXPECT_TRUE(StoredAfterStop().empty());

  // Not recording: refused, but the descriptor still gets the time.
  g_testNow = LocalSeconds(2031, 12, 24, 18, 30, 45);
  d.year = 0;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &d), 0);
  EXPECT_EQ(std::make_tuple(int{d.year}, int{d.month}, int{d.day}, int{d.hour}, int{d.minute},
                            int{d.second}, int{d.reserved23}, int{d.millisecond}),
            std::make_tuple(2031, 12, 24, 18, 30, 45, 0, 0));
}

TEST_F(IntakeTest, BadDescriptorsAreRefusedAndLeftUntouched) {
  FrameDescriptor backwards = VideoFrame(payload_, 0);
  backwards.dataStart = 20;
  backwards.dataEnd = 10;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &backwards), 0);
  EXPECT_EQ(backwards.year, 0);

  FrameDescriptor noVideoBuffer = VideoFrame(payload_, 0);
  noVideoBuffer.videoData = nullptr;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &noVideoBuffer), 0);

  FrameDescriptor noAudioBuffer = AudioFrame(payload_);
  noAudioBuffer.audioData = nullptr;
  EXPECT_EQ(_RECORDER_WRITEAUDIO(handle_, 0, &noAudioBuffer), 0);

  FrameDescriptor recData = AudioFrame(payload_);
  recData.kind = 1;
  recData.dataEnd = 0xFFFFFFFFu;
  recData.dataStart = 0xFFFFFFFFu - 10;
  recData.audioData = nullptr;
  EXPECT_EQ(_RECORDER_WRITERECDATA(handle_, 0, &recData), 0);

  // An empty payload needs no buffer.
  FrameDescriptor empty = VideoFrame(payload_, 0);
  empty.videoData = nullptr;
  empty.dataStart = empty.dataEnd = 0;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &empty), 1);

  const std::vector<StoredRecord> records = StoredAfterStop();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].body.size(), 4u);  // only the tag
}

TEST_F(IntakeTest, FrameLargerThanTheRingIsTakenInAndDropped) {
  std::vector<uint8_t> huge(CRecorderBase::kVideoRingCapacity, 0x5A);
  FrameDescriptor d = VideoFrame(huge, 0);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &d), 1);
  // The largest key frame the ring holds still goes through.
  const uint32_t fits = CRecorderBase::kVideoRingCapacity - CFrameRing::kRecordHeaderSize -
                        static_cast<uint32_t>(storage::VideoRecordSize(0, true));
  d.dataStart = static_cast<uint32_t>(huge.size()) - fits;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &d), 1);
  const std::vector<StoredRecord> records = StoredAfterStop();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].body.size(), fits + 4u);
}

// The second pass through the repeated autumn hour is stored at its own instant.
class IntakeDstTest : public RecorderTest {
 protected:
  IntakeDstTest() : RecorderTest("Europe/Berlin") {}
};

TEST_F(IntakeDstTest, RepeatedAutumnHourKeepsItsInstant) {
  AddFiles(1);
  ASSERT_EQ(_RECORDER_START(handle_), 1);
  // 2024-10-27 01:30 UTC is 02:30 CET, the second 02:30 of that night.
  const int64_t secondPass = 1729992600;
  g_testNow = secondPass - 3600;  // 02:30 CEST, the first pass
  std::vector<uint8_t> payload = Pattern(50, 1);
  FrameDescriptor first = VideoFrame(payload, 0);
  ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &first), 1);
  g_testNow = secondPass;
  FrameDescriptor second = VideoFrame(payload, 0);
  ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &second), 1);
  EXPECT_EQ(second.hour, 2);
  EXPECT_EQ(second.minute, 30);

  Drain();
  _RECORDER_STOP(handle_);
  const std::vector<StoredRecord> records = ReadIndexedRecords(DataPath(0));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].header.time, secondPass - 3600);
  EXPECT_EQ(records[1].header.time, secondPass);
}

}  // namespace
}  // namespace rectest
