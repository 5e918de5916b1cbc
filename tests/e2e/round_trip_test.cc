// One round trip through the exports: video on four channels (each with its own triggers),
// audio and rec data of both kinds, across a change of minute and midnight. Every record must
// carry what the host handed in, in each ring's order, the set must change file once at
// midnight, and each index summary must be what the rules give for its file's records.
// Then STOP and END right after the last frames: nothing taken in may be lost.
#include <gtest/gtest.h>

#include "support/recording_host.h"

namespace {

using namespace testsupport;

// Type, channel, reason, time and payload of a record.
using Sent = std::tuple<uint32_t, int, int, int32_t, std::vector<uint8_t>>;

TEST(RoundTripTest, EveryKindOfFrameAcrossAMinuteAndMidnightIsStoredAsHandedIn) {
  const int32_t start = LocalSeconds(2024, 3, 10, 23, 58, 57);
  RecordingHost host("UTC", start);
  host.AddFiles(3);
  ASSERT_EQ(_RECORDER_START(host.handle), 1);
  std::vector<Sent> rings[2];  // what the video ring (video, rec data) and the audio ring carry
  uint32_t serial = 0;
  for (int32_t now = start; now < start + 66; ++now) {
    host.SetTime(now);
    for (int frame = 0; frame < 3; ++frame) {
      for (uint32_t channel = 0; channel < 4; ++channel) {
        const uint32_t triggerA = channel & 1, triggerB = channel >> 1, at = 7 * channel;
        std::vector<uint8_t> buffer = Pattern(at + 100 + (serial * 37) % 3000, serial);
        ++serial;
        FrameDescriptor d = VideoFrame(buffer, at, 1 + frame % 3, frame == 0, triggerA, triggerB);
        ASSERT_EQ(_RECORDER_WRITEVIDEO(host.handle, channel, &d), 1);
        rings[0].emplace_back(uint32_t{d.type}, channel, 1 | triggerA << 1 | triggerB << 2, now,
                              std::vector<uint8_t>(buffer.begin() + at, buffer.end()));
      }
      ASSERT_EQ(host.Audio(1, 320, 100000 + serial, frame == 0 ? 0 : 17), 1);
      rings[1].emplace_back(frame == 0 ? 0u : 17u, 1, 1, now, Pattern(320, 100000 + serial++));
    }
    for (uint32_t kind : {0u, 1u}) {
      ASSERT_EQ(host.RecData(2, kind, 40, serial), 1);
      rings[0].emplace_back(kind == 0 ? 160u : 161u, 2, 1, now, Pattern(40, serial++));
    }
  }
  _RECORDER_STOP(host.handle);  // right after the last frames: the rings still hold some

  for (const RecorderEvent& e : host.log.Events()) EXPECT_EQ(e.status, 0) << e.path;
  EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED), 4u);  // files 0 and 1 with their indexes
  size_t next[2] = {0, 0};
  for (int n : {0, 1}) {
    const IndexFileView index = ReadIndexFile(host.Index(n));
    // File 0 has the minutes 23:58 and 23:59, file 1 starts at midnight with one.
    const storage::IndexSummary& summary = index.record.summary;
    EXPECT_EQ(std::make_tuple(index.header.magic, index.header.recordCount,
                              storage::IndexRecordName(index.record), summary.lastEntry,
                              summary.startTime),
              std::make_tuple(storage::kFileHeaderMagic, 1u, "file" + std::to_string(n) + ".VDB",
                              1 - n, n == 0 ? start : LocalSeconds(2024, 3, 11, 0, 0, 0)));
    const std::vector<StoredRecord> records = ReadIndexedRecords(host.Data(n));
    for (const StoredRecord& r : records) {
      const bool audioForm = storage::IsStoredAudioType(r.header.type);
      const int ring = audioForm && r.header.type != 161;
      const Sent got(uint32_t{r.header.type}, int{r.header.channel}, int{r.header.reason},
                     int32_t(r.header.time), audioForm ? r.body : r.VideoPayload());
      ASSERT_EQ(got, rings[ring].at(next[ring]++)) << "file " << n << " record at " << r.offset;
    }
    ExpectSummaryEq(summary, ReplaySummary(records));
  }
  EXPECT_EQ(std::make_pair(next[0], next[1]), std::make_pair(rings[0].size(), rings[1].size()));
}

// STOP or END right after the host's last frames, large ones on many channels so the rings
// still hold records: every frame taken in reaches the data file. END without STOP lost
// frames only some of the time, so it gets a few rounds (the first one stops before).
TEST(RoundTripTest, StopAndEndStoreEveryFrameStillInTheRings) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    RecordingHost host;
    host.AddFiles(1);
    ASSERT_EQ(_RECORDER_START(host.handle), 1);
    for (uint32_t i = 0; i < 64; ++i)
      ASSERT_EQ(host.Video(i % 32, 200000, i % 8 == 0, i) + host.Audio(0, 320, i), 2);
    if (round == 0) _RECORDER_STOP(host.handle);
    host.End();
    EXPECT_EQ(ReadIndexedRecords(host.Data(0)).size(), 128u);
  }
}

}  // namespace
