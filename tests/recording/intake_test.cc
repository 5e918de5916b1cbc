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
  RecordingHost host_;
  RECORDER_HANDLE h_ = host_.handle;
  std::vector<uint8_t> payload_ = Pattern(1000, 7);
};

// Channel, type, reason, key frame, body size.
using Stored = std::tuple<int, int, int, int, size_t>;

// Channels 0-8: the status bits and triggers of a video frame decide whether the channel
// records, and its audio follows. Channels 10 and 11: rec data keeps the status as its reason
// (OR 1, whatever the triggers, low 8 bits), kind 0 in the video form (a non-key record: 100
// zero bytes, the tag, then the payload past dataStart), kind 1 in the audio form. Channel 12:
// a frame the ring can never hold is taken in and dropped; the largest it holds goes on.
TEST_F(IntakeTest, StatusBitsAndTriggersDecideWhatIsStoredAndHowEachKindIsStored) {
  const struct {
    uint32_t status, triggerA, triggerB;
    int32_t result;
    uint8_t reason;  // of the stored video record
  } rows[] = {{2, 0, 0, 0, 0}, {2, 1, 0, 1, 3}, {1, 1, 1, 1, 7}, {1, 0, 0, 1, 1}, {6, 0, 0, 0, 0},
              {6, 0, 5, 1, 5}, {4, 9, 0, 0, 0}, {0, 1, 1, 0, 0}, {8, 1, 1, 0, 0}};
  std::vector<Stored> expected;
  for (uint32_t c = 0; c < std::size(rows); ++c) {
    _RECORDER_SETSTATUS(h_, c, rows[c].status);
    FrameDescriptor video = VideoFrame(payload_, 0, 1, true, rows[c].triggerA, rows[c].triggerB);
    EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, c, &video), rows[c].result) << "row " << c;
    FrameDescriptor audio = AudioFrame(payload_);
    EXPECT_EQ(_RECORDER_WRITEAUDIO(h_, c, &audio), rows[c].result) << "row " << c;
    if (rows[c].result == 1) {
      expected.emplace_back(c, 1, rows[c].reason, 1, 1004);
      expected.emplace_back(c, 0, 1, 0, 1000);
    }
  }
  _RECORDER_SETSTATUS(h_, 10, 4);
  FrameDescriptor d = VideoFrame(payload_, 10, 2, false, 1, 1);
  EXPECT_EQ(_RECORDER_WRITERECDATA(h_, 10, &d), 1);
  _RECORDER_SETSTATUS(h_, 11, 0x105);
  FrameDescriptor video = VideoFrame(payload_, 0, 1, true, 0, 1);
  FrameDescriptor audioForm = AudioFrame(payload_, 33);
  audioForm.kind = 1;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 11, &video) + _RECORDER_WRITERECDATA(h_, 11, &audioForm), 2);
  // The largest frame is stored; one byte more is refused, and so is a longer audio frame.
  std::vector<uint8_t> huge(RECORDER_MAX_VIDEO_FRAME_BYTES + 1, 0x5A);
  FrameDescriptor big = VideoFrame(huge, 0);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 12, &big), 0);
  const uint32_t fits = RECORDER_MAX_VIDEO_FRAME_BYTES;
  big.dataStart = 1;
  EXPECT_EQ(_RECORDER_WRITEVIDEO(h_, 12, &big), 1);
  FrameDescriptor longAudio = AudioFrame(huge);
  longAudio.dataEnd = RECORDER_MAX_AUDIO_FRAME_BYTES + 1;
  EXPECT_EQ(_RECORDER_WRITEAUDIO(h_, 12, &longAudio), 0);
  expected.insert(expected.end(), {{10, 2, 5, 0, 990 + 4 + 100},
                                   {11, 1, 5, 1, 1004},
                                   {11, 33, 5, 0, 1000},
                                   {12, 1, 1, 1, fits + 4}});
  _RECORDER_STOP(h_);
  std::vector<Stored> stored;
  for (const StoredRecord& r : ReadIndexedRecords(host_.Data(0))) {
    const storage::FrameHeader& h = r.header;
    stored.emplace_back(h.channel, h.type, h.reason, h.keyFrame, r.body.size());
  }
  std::sort(stored.begin(), stored.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(stored, expected);
}

// Video and rec data of kind 0 feed the channel's statistics; audio and kind 1 do not, and
// neither does a frame refused for its length.
TEST_F(IntakeTest, VideoAndKindZeroRecDataAreCountedInTheStatistics) {
  static std::atomic<uint32_t> tick{100000};
  platform::SetTickCountForTest([] { return tick.load(); });
  for (uint32_t t : {100000u, 101000u, 102500u}) {  // counted twice, then the window closes
    tick = t;
    for (uint32_t c = 0; c < 4; ++c) {  // video, rec data of kind 0 and 1, audio
      if (t == 100000u) {               // opens the window and records
        ASSERT_EQ(host_.Video(c, 500), 1);
        if (c == 0) {
          ASSERT_EQ(host_.Video(c, 64u << 20), 0);
        }
      }
      const int32_t taken = c == 0   ? host_.Video(c, 500)
                            : c == 3 ? host_.Audio(c, 500)
                                     : host_.RecData(c, c - 1, 500);
      ASSERT_EQ(taken, 1);
    }
  }
  for (uint32_t c = 0; c < 4; ++c) {  // read on the same clock: the window idles after 5 s
    double bps = -1, fps = -1, counted = c < 2 ? 2 : 0;
    ASSERT_EQ(_RECORDER_GETBPS(h_, c, &bps) + _RECORDER_GETFPS(h_, c, &fps), 2);
    EXPECT_DOUBLE_EQ(fps, counted / 2.5) << "channel " << c;
    EXPECT_DOUBLE_EQ(bps, counted * 200) << "channel " << c;
  }
  platform::SetTickCountForTest(nullptr);
}

// A type outside the family of its record's format, rec data of a kind with no format, a
// switched-off channel, a payload that is not there or runs backwards: refused
// before anything is queued. An empty payload needs no buffer.
TEST_F(IntakeTest, WhatCouldNeverBeStoredIsRefused) {
  _RECORDER_SETRECORD(h_, 4, 0);
  const struct {
    int32_t (*write)(RECORDER_HANDLE, uint32_t, FrameDescriptor*);
    uint32_t channel, kind, type;
    int32_t result;
    uint32_t start = 0, end = 1000;  // of the payload
    bool noBuffer = false;
  } rows[] = {{_RECORDER_WRITEVIDEO, 0, 0, 1, 1},
              {_RECORDER_WRITEVIDEO, 0, 0, 0, 0},
              {_RECORDER_WRITEAUDIO, 0, 0, 17, 1},
              {_RECORDER_WRITEAUDIO, 0, 0, 1, 0},
              {_RECORDER_WRITERECDATA, 0, 0, 6, 1},
              {_RECORDER_WRITERECDATA, 0, 1, 0, 1},
              {_RECORDER_WRITERECDATA, 0, 1, 2, 0},
              {_RECORDER_WRITERECDATA, 0, 2, 1, 0},
              {_RECORDER_WRITEVIDEO, 4, 0, 1, 0},
              {_RECORDER_WRITEVIDEO, 0, 0, 1, 0, 1001},
              {_RECORDER_WRITEVIDEO, 0, 0, 1, 0, 0, 1000, true},
              {_RECORDER_WRITEAUDIO, 0, 0, 0, 0, 0, 1000, true},
              {_RECORDER_WRITERECDATA, 0, 1, 0, 0, 0xFFFFFFFFu - 10, 0xFFFFFFFFu, true},
              {_RECORDER_WRITEVIDEO, 0, 0, 1, 1, 0, 0, true}};
  std::vector<uint32_t> storedTypes, types;
  for (const auto& w : rows) {
    FrameDescriptor d = VideoFrame(payload_, 0, w.type);
    d.audioData = payload_.data();
    d.kind = w.kind;
    d.dataStart = w.start;
    d.dataEnd = w.end;
    if (w.noBuffer) d.videoData = d.audioData = nullptr;
    EXPECT_EQ(w.write(h_, w.channel, &d), w.result) << "type " << w.type << " kind " << w.kind;
    if (w.result == 1) storedTypes.push_back(w.type);
  }
  _RECORDER_STOP(h_);
  for (const StoredRecord& r : ReadIndexedRecords(host_.Data(0))) types.push_back(r.header.type);
  std::sort(types.begin(), types.end());
  std::sort(storedTypes.begin(), storedTypes.end());
  EXPECT_EQ(types, storedTypes);
}

}  // namespace
