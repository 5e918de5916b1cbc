// Ten seconds of recording driven through the exports only: four video channels at 25 fps
// and one audio channel, into a rotation set of three files. Afterwards every stored record
// must be exactly what the host handed in, and the index file must describe the data.
#include <gtest/gtest.h>

#include <vector>

#include "recording_test_util.h"

namespace rectest {
namespace {

struct SentFrame {
  bool audio = false;
  uint32_t channel = 0;
  uint32_t type = 0;
  bool key = false;
  uint8_t reason = 0;
  int32_t time = 0;
  uint32_t tag = 0;
  std::vector<uint8_t> payload;
};

class RecordEndToEndTest : public RecorderTest {};

TEST_F(RecordEndToEndTest, TenSecondsOfFourChannelsAndAudioAreStoredAsHandedIn) {
  AddFiles(3);
  ASSERT_EQ(_RECORDER_START(handle_), 1);

  // Starts five seconds before a minute ends, so the run needs two index entries.
  const int32_t start = LocalSeconds(2024, 3, 10, 10, 0, 55);
  std::vector<SentFrame> sentVideo;
  std::vector<SentFrame> sentAudio;
  uint32_t serial = 0;
  for (int second = 0; second < 10; ++second) {
    g_testNow = start + second;
    const platform::LocalFields local = platform::CTime(start + second).Local();
    for (int frame = 0; frame < 25; ++frame) {
      for (uint32_t channel = 0; channel < 4; ++channel) {
        SentFrame sent;
        sent.channel = channel;
        sent.type = 1 + (frame % 3);
        sent.key = frame == 0;
        sent.time = start + second;
        const uint32_t dataStart = 7 * channel;  // the payload need not start the buffer
        std::vector<uint8_t> buffer = Pattern(dataStart + 300 + (serial * 37) % 6000, serial);
        ++serial;
        // Channel 1 carries trigger A, channel 2 trigger B, channel 3 both.
        const uint32_t triggerA = (channel == 1 || channel == 3) ? 1 : 0;
        const uint32_t triggerB = (channel == 2 || channel == 3) ? 1 : 0;
        FrameDescriptor d = VideoFrame(buffer, dataStart, sent.type, sent.key, triggerA, triggerB);
        sent.tag = d.tag;
        sent.reason = static_cast<uint8_t>(1 | (triggerA ? 2 : 0) | (triggerB ? 4 : 0));
        sent.payload.assign(buffer.begin() + dataStart, buffer.end());
        ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, channel, &d), 1);
        // The host sees the local time of the frame in its descriptor.
        EXPECT_EQ(d.year, local.year);
        EXPECT_EQ(d.month, local.month);
        EXPECT_EQ(d.day, local.day);
        EXPECT_EQ(d.hour, local.hour);
        EXPECT_EQ(d.minute, local.minute);
        EXPECT_EQ(d.second, local.second);
        sentVideo.push_back(std::move(sent));
      }
      for (int half = 0; half < 2; ++half) {
        SentFrame sent;
        sent.audio = true;
        sent.channel = 0;
        sent.type = (half == 0) ? 0 : 17;
        sent.reason = 1;
        sent.time = start + second;
        sent.payload = Pattern(320, 100000 + serial++);
        FrameDescriptor d = AudioFrame(sent.payload, sent.type);
        ASSERT_EQ(_RECORDER_WRITEAUDIO(handle_, 0, &d), 1);
        sentAudio.push_back(std::move(sent));
      }
    }
  }
  Drain();
  _RECORDER_STOP(handle_);

  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, DataPath(0)), 1u);
  EXPECT_EQ(log_.Count(RECORDER_EVENT_FILE_OPENED, 0, IndexPath(0)), 1u);
  for (const HostEvent& e : log_.Events()) {
    EXPECT_NE(e.code, RECORDER_EVENT_WRITE_FAILED) << e.path;
    EXPECT_EQ(e.status, 0) << e.path;
  }

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
    const SentFrame& sent = audio ? sentAudio.at(nextAudio++) : sentVideo.at(nextVideo++);
    SCOPED_TRACE(testing::Message() << "record at " << r.offset);
    EXPECT_EQ(r.header.type, sent.type);
    EXPECT_EQ(r.header.channel, sent.channel);
    EXPECT_EQ(r.header.reason, sent.reason);
    EXPECT_EQ(r.header.time, sent.time);
    if (audio) {
      EXPECT_EQ(r.header.subType, 0x56);
      EXPECT_EQ(r.header.keyFrame, 0);
      EXPECT_EQ(r.body, sent.payload);
    } else {
      EXPECT_EQ(r.header.subType, 0x34);
      EXPECT_EQ(r.header.keyFrame, sent.key ? 1 : 0);
      storage::VideoBodyView body;
      ASSERT_TRUE(storage::SplitVideoBody(r.body.data(), static_cast<uint32_t>(r.body.size()),
                                          sent.key, &body));
      EXPECT_EQ(body.videoTag, sent.tag);
      EXPECT_EQ(std::vector<uint8_t>(body.payload, body.payload + body.payloadLength),
                sent.payload);
      if (!sent.key) {
        EXPECT_EQ(std::vector<uint8_t>(body.lead, body.lead + storage::kNonKeyLeadSize),
                  std::vector<uint8_t>(storage::kNonKeyLeadSize, 0));
      }
    }
  }

  // The summary is what the rules give for the records in the order they were stored.
  ExpectSummaryEq(summary, ReplaySummary(records));
  EXPECT_EQ(summary.startTime, start);
  EXPECT_EQ(summary.endTime, start + 9);
  EXPECT_GE(summary.lastEntry, 1);
  uint64_t entryBytes = 0;
  for (int32_t i = 0; i <= summary.lastEntry; ++i) entryBytes += summary.entries[i].bytes;
  EXPECT_EQ(entryBytes, summary.dataBytes);
  EXPECT_EQ(summary.entries[0].reason1Mask, 0xFu);
  EXPECT_EQ(summary.entries[0].reason2Mask, 0xAu);
  EXPECT_EQ(summary.entries[0].reason4Mask, 0xCu);
  EXPECT_EQ(summary.entries[0].audioMask, 0x1u);
  // The data file was pre-allocated to its nominal size.
  EXPECT_GE(FileSize(DataPath(0)), storage::kDataFileSize);
}

}  // namespace
}  // namespace rectest
