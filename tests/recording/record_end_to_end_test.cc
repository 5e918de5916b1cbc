// Ten seconds of recording driven through the exports only: four video channels at 25 fps,
// each with its own triggers, and one audio channel, across the end of a minute. Every
// stored record must carry what the host handed in, in each ring's order, and the index file
// must describe the data. (That the stored bytes come back exactly through playback is the
// reader round trip's business.)
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "recording_test_util.h"

namespace rectest {
namespace {

class RecordEndToEndTest : public RecorderTest {};

// Type, channel, reason, time and payload of a record.
using Expected = std::tuple<uint32_t, int, int, int32_t, std::vector<uint8_t>>;

TEST_F(RecordEndToEndTest, TenSecondsOfFourChannelsAndAudioAreStoredAsHandedIn) {
  AddFiles(3);
  ASSERT_EQ(_RECORDER_START(handle_), 1);

  // Starts five seconds before a minute ends, so the run needs two index entries.
  const int32_t start = LocalSeconds(2024, 3, 10, 10, 0, 55);
  std::vector<Expected> sentVideo;
  std::vector<Expected> sentAudio;
  uint32_t serial = 0;
  for (int second = 0; second < 10; ++second) {
    g_testNow = start + second;
    const platform::LocalFields local = platform::CTime(start + second).Local();
    for (int frame = 0; frame < 25; ++frame) {
      for (uint32_t channel = 0; channel < 4; ++channel) {
        // Channel 1 carries trigger A, channel 2 trigger B, channel 3 both; the payload need
        // not start the buffer.
        const uint32_t triggerA = channel & 1;
        const uint32_t triggerB = channel >> 1;
        const uint32_t dataStart = 7 * channel;
        std::vector<uint8_t> buffer = Pattern(dataStart + 300 + (serial * 37) % 6000, serial);
        ++serial;
        FrameDescriptor d =
            VideoFrame(buffer, dataStart, 1 + frame % 3, frame == 0, triggerA, triggerB);
        ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, channel, &d), 1);
        // The host sees the local time of the frame in its descriptor.
        EXPECT_EQ(std::make_tuple(int{d.year}, int{d.month}, int{d.day}, int{d.hour}, int{d.minute},
                                  int{d.second}),
                  std::make_tuple(local.year, local.month, local.day, local.hour, local.minute,
                                  local.second));
        sentVideo.emplace_back(uint32_t{d.type}, channel, 1 | triggerA << 1 | triggerB << 2,
                               start + second,
                               std::vector<uint8_t>(buffer.begin() + dataStart, buffer.end()));
      }
      for (uint32_t type : {0u, 17u}) {
        std::vector<uint8_t> payload = Pattern(320, 100000 + serial++);
        FrameDescriptor d = AudioFrame(payload, type);
        ASSERT_EQ(_RECORDER_WRITEAUDIO(handle_, 0, &d), 1);
        sentAudio.emplace_back(type, 0, 1, start + second, payload);
      }
    }
  }
  Drain();
  _RECORDER_STOP(handle_);
  for (const HostEvent& e : log_.Events()) EXPECT_EQ(e.status, 0) << e.code << " " << e.path;

  const IndexFileView index = ReadIndexFile(IndexPath(0));
  ASSERT_TRUE(index.complete);
  EXPECT_EQ(index.header.magic, storage::kFileHeaderMagic);
  EXPECT_EQ(index.header.recordCount, 1u);
  EXPECT_EQ(storage::IndexRecordName(index.record), "file0.VDB");
  const storage::IndexSummary& summary = index.record.summary;
  const std::vector<StoredRecord> records = ReadRecords(DataPath(0), summary.dataBytes);
  ASSERT_EQ(records.size(), sentVideo.size() + sentAudio.size());

  size_t nextVideo = 0;
  size_t nextAudio = 0;
  for (const StoredRecord& r : records) {
    const bool audio = storage::IsStoredAudioType(r.header.type);
    SCOPED_TRACE(testing::Message() << "record at " << r.offset);
    EXPECT_EQ(Expected(uint32_t{r.header.type}, int{r.header.channel}, int{r.header.reason},
                       int32_t{r.header.time}, audio ? r.body : r.VideoPayload()),
              audio ? sentAudio.at(nextAudio++) : sentVideo.at(nextVideo++));
  }

  // The summary is what the rules give for the records in the order they were stored, with
  // the video and audio records interleaved across the change of minute.
  ExpectSummaryEq(summary, ReplaySummary(records));
  EXPECT_GE(summary.lastEntry, 1);
}

}  // namespace
}  // namespace rectest
