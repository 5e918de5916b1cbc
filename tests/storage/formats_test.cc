// Stored formats: every structure is checked against bytes worked out by hand from its
// layout, so a wrong offset cannot hide behind a round trip.
#include "storage/formats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scoped_env.h"

namespace storage {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Zeros(size_t n) { return Bytes(n, 0); }

template <typename T>
Bytes BytesOf(const T& value) {
  Bytes out(sizeof(T));
  std::memcpy(out.data(), &value, sizeof(T));
  return out;
}

const Bytes kPayload10 = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

RecordFields VideoFields(bool keyFrame) {
  RecordFields fields;
  fields.channel = 5;
  fields.time = 0x12345678;
  fields.type = 2;
  fields.subType = 0x1AB;  // only 0xAB is stored
  fields.keyFrame = keyFrame;
  fields.reason = kReasonRecorded | kReasonTriggerA;
  fields.videoTag = 0xA1B2C3D4;
  return fields;
}

// --- Frame records -----------------------------------------------------------------------

TEST(FrameRecordTest, NonKeyVideoRecordMatchesHandLayout) {
  Bytes buffer(400, 0xEE);
  const uint64_t size = BuildVideoRecord(buffer.data(), buffer.size(), VideoFields(false),
                                         kPayload10.data(), kPayload10.size());
  ASSERT_EQ(size, 162u);
  const Bytes expected = Concat({
      {0xC8, 0x00, 0x00, 0x00},                          // start marker 200
      {0x02, 0x00, 0x00, 0x00},                          // type
      {0xAB, 0x00, 0x03, 0x05},                          // subType, keyFrame, reason, channel
      {0x72, 0x00, 0x00, 0x00},                          // bodySize 114
      {0x0E, 0x00, 0x00, 0x00},                          // payloadSize 14
      Zeros(12),                                         // reserved
      {0x78, 0x56, 0x34, 0x12},                          // time
      Zeros(4),                                          // reserved
      Zeros(100),                                        // lead block of a non-key frame
      {0xD4, 0xC3, 0xB2, 0xA1},                          // tag
      kPayload10,                                        //
      {0x72, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00},  // trailer: bodySize, end marker 100
  });
  ASSERT_EQ(expected.size(), 162u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 162), expected);
  EXPECT_EQ(buffer[162], 0xEE) << "builder wrote past the record";
}

TEST(FrameRecordTest, KeyVideoRecordHasNoLeadBlock) {
  Bytes buffer(62, 0xEE);
  const uint64_t size = BuildVideoRecord(buffer.data(), buffer.size(), VideoFields(true),
                                         kPayload10.data(), kPayload10.size());
  ASSERT_EQ(size, 62u);
  const Bytes expected = Concat({
      {0xC8, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00},
      {0xAB, 0x01, 0x03, 0x05},
      {0x0E, 0x00, 0x00, 0x00},  // bodySize 14
      {0x0E, 0x00, 0x00, 0x00},  // payloadSize 14
      Zeros(12),
      {0x78, 0x56, 0x34, 0x12},
      Zeros(4),
      {0xD4, 0xC3, 0xB2, 0xA1},
      kPayload10,
      {0x0E, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00},
  });
  EXPECT_EQ(buffer, expected);
}

TEST(FrameRecordTest, AudioRecordIsPayloadOnly) {
  Bytes payload(320);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  RecordFields fields;
  fields.channel = 31;
  fields.time = -2;
  fields.type = 17;
  fields.subType = 0x02;
  fields.keyFrame = true;  // ignored by the audio format
  fields.reason = kReasonRecorded;
  fields.videoTag = 0xFFFFFFFF;  // ignored too
  Bytes buffer(368, 0xEE);
  ASSERT_EQ(BuildAudioRecord(buffer.data(), buffer.size(), fields, payload.data(), 320), 368u);
  const Bytes expected = Concat({
      {0xC8, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00},
      {0x02, 0x00, 0x01, 0x1F},
      {0x40, 0x01, 0x00, 0x00},  // bodySize 320
      Zeros(4),                  // payloadSize unused in audio records
      Zeros(12),
      {0xFE, 0xFF, 0xFF, 0xFF},  // time -2
      Zeros(4),
      payload,
      {0x40, 0x01, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00},
  });
  EXPECT_EQ(buffer, expected);
}

TEST(FrameRecordTest, BuilderRefusesWhatDoesNotFit) {
  Bytes buffer(161, 0xEE);
  EXPECT_EQ(BuildVideoRecord(buffer.data(), buffer.size(), VideoFields(false), kPayload10.data(),
                             kPayload10.size()),
            0u);
  EXPECT_EQ(BuildAudioRecord(buffer.data(), buffer.size(), RecordFields{}, kPayload10.data(), 200),
            0u);
  EXPECT_EQ(BuildAudioRecord(buffer.data(), buffer.size(), RecordFields{}, nullptr, 5), 0u);
  EXPECT_EQ(buffer, Bytes(161, 0xEE)) << "a refused build must not touch the buffer";
  // An empty payload is a valid record.
  EXPECT_EQ(BuildAudioRecord(buffer.data(), buffer.size(), RecordFields{}, nullptr, 0), 48u);
  // Sizes are 64-bit: a hostile length does not wrap to a small size.
  EXPECT_EQ(VideoRecordSize(1000, false), 1152u);
  EXPECT_GT(VideoRecordSize(0xFFFFFFFFull, false), 0xFFFFFFFFull);
}

TEST(FrameRecordTest, RoundTripBothFormats) {
  Bytes buffer(2000);
  const Bytes payload(1000, 0x5A);
  for (bool key : {false, true}) {
    const uint64_t size = BuildVideoRecord(buffer.data(), buffer.size(), VideoFields(key),
                                           payload.data(), payload.size());
    RecordView view;
    ASSERT_EQ(ParseRecord(buffer.data(), size, &view), RecordStatus::kOk);
    EXPECT_EQ(view.recordSize, size);
    EXPECT_EQ(view.header.type, 2u);
    EXPECT_EQ(view.header.subType, 0xAB);
    EXPECT_EQ(view.header.keyFrame, key ? 1 : 0);
    EXPECT_EQ(view.header.reason, 3);
    EXPECT_EQ(view.header.channel, 5);
    EXPECT_EQ(view.header.time, 0x12345678);
    VideoBodyView body;
    ASSERT_TRUE(SplitVideoBody(view.body, view.bodySize, key, &body));
    EXPECT_EQ(body.lead == nullptr, key);
    EXPECT_EQ(body.videoTag, 0xA1B2C3D4u);
    EXPECT_EQ(Bytes(body.payload, body.payload + body.payloadLength), payload);
  }
  const uint64_t size =
      BuildAudioRecord(buffer.data(), buffer.size(), VideoFields(false), payload.data(), 320);
  RecordView view;
  ASSERT_EQ(ParseRecord(buffer.data(), buffer.size(), &view), RecordStatus::kOk);
  EXPECT_EQ(view.recordSize, size);
  EXPECT_EQ(view.bodySize, 320u);
  EXPECT_EQ(view.header.keyFrame, 0);
  EXPECT_EQ(Bytes(view.body, view.body + view.bodySize),
            Bytes(payload.begin(), payload.begin() + 320));
}

class ParseRecordRejectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record_.resize(162);
    ASSERT_EQ(BuildVideoRecord(record_.data(), record_.size(), VideoFields(false),
                               kPayload10.data(), kPayload10.size()),
              162u);
  }
  RecordStatus Parse(uint64_t length) { return ParseRecord(record_.data(), length, nullptr); }
  Bytes record_;
};

TEST_F(ParseRecordRejectTest, ShortHeadOverrunAndTrailerMismatch) {
  EXPECT_EQ(Parse(39), RecordStatus::kShortHead);
  EXPECT_EQ(Parse(0), RecordStatus::kShortHead);
  EXPECT_EQ(Parse(161), RecordStatus::kBodyOverrun);
  StoreU32(record_.data() + kRecordBodySizeOffset, 0xFFFFFFFF);
  EXPECT_EQ(Parse(record_.size()), RecordStatus::kBodyOverrun);
  StoreU32(record_.data() + kRecordBodySizeOffset, 115);
  EXPECT_EQ(Parse(record_.size()), RecordStatus::kBodyOverrun);
  StoreU32(record_.data() + kRecordBodySizeOffset, 113);  // trailer read one byte early
  EXPECT_NE(Parse(record_.size()), RecordStatus::kOk);
}

TEST_F(ParseRecordRejectTest, WrongMarkers) {
  record_[161] = 1;
  EXPECT_EQ(Parse(record_.size()), RecordStatus::kBadEndMarker);
  EXPECT_FALSE(ParseRecordTrailer(record_.data() + 154, nullptr));
  record_[0] = 201;
  EXPECT_EQ(Parse(record_.size()), RecordStatus::kBadStartMarker);
  EXPECT_FALSE(ParseRecordHead(record_.data(), nullptr));
}

TEST_F(ParseRecordRejectTest, HeadAndTrailerChecksForTheReader) {
  FrameHeader header;
  ASSERT_TRUE(ParseRecordHead(record_.data(), &header));
  EXPECT_EQ(header.bodySize, 114u);
  EXPECT_EQ(header.channel, 5);
  uint32_t bodySize = 0;
  ASSERT_TRUE(ParseRecordTrailer(record_.data() + 162 - kRecordTrailerSize, &bodySize));
  EXPECT_EQ(bodySize, 114u);
}

TEST(VideoBodyTest, TooSmallBodyIsRejected) {
  const Bytes body(104, 0);
  EXPECT_FALSE(SplitVideoBody(body.data(), 103, false, nullptr));
  EXPECT_TRUE(SplitVideoBody(body.data(), 104, false, nullptr));
  EXPECT_FALSE(SplitVideoBody(body.data(), 3, true, nullptr));
}

TEST(TypeFamilyTest, StoredAndDeliveredTypes) {
  for (uint32_t t = 0; t < 300; ++t) {
    const bool storedAudio = t == 0 || t == 17 || t == 18 || t == 33 || t == 34 || t == 161;
    const bool storedVideo = t == 1 || t == 2 || t == 3 || t == 4 || t == 6 || t == 160;
    const bool deliveredAudio = t == 0 || t == 17 || t == 18 || t == 19 || t == 33 || t == 34;
    const bool deliveredVideo = t == 1 || t == 2 || t == 3 || t == 4 || t == 6;
    EXPECT_EQ(IsStoredAudioType(t), storedAudio) << t;
    EXPECT_EQ(IsStoredVideoType(t), storedVideo) << t;
    EXPECT_EQ(IsDeliveredAudioType(t), deliveredAudio) << t;
    EXPECT_EQ(IsDeliveredVideoType(t), deliveredVideo) << t;
  }
}

// --- Index structures --------------------------------------------------------------------

TEST(IndexFormatTest, FileHeaderBytes) {
  const Bytes expected = Concat({{0x46, 0x4F, 0x48, 0x31, 0x01, 0x00, 0x00, 0x00}, Zeros(40)});
  EXPECT_EQ(BytesOf(MakeFileHeader()), expected);
}

IndexEntry SampleEntry() {
  IndexEntry entry;
  entry.time = 0x01020304;
  entry.bytes = 0x11121314;
  entry.reason1Mask = 0x80000001;
  entry.reason2Mask = 0x00000002;
  entry.reason4Mask = 0x00000400;
  entry.audioMask = 0x00FF0000;
  return entry;
}

const Bytes kSampleEntryBytes = {0x04, 0x03, 0x02, 0x01, 0x14, 0x13, 0x12, 0x11,
                                 0x01, 0x00, 0x00, 0x80, 0x02, 0x00, 0x00, 0x00,
                                 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00};

TEST(IndexFormatTest, IndexEntryBytes) { EXPECT_EQ(BytesOf(SampleEntry()), kSampleEntryBytes); }

IndexSummary SampleSummary() {
  IndexSummary summary;
  std::memset(&summary, 0, sizeof(summary));
  summary.startTime = 0x0A0B0C0D;
  summary.endTime = -1;
  summary.dataBytes = 0x0C7FFFFF;
  summary.lastEntry = 119;
  summary.entries[0] = SampleEntry();
  summary.entries[119] = SampleEntry();
  return summary;
}

Bytes SampleSummaryBytes() {
  return Concat({{0x0D, 0x0C, 0x0B, 0x0A, 0xFF, 0xFF, 0xFF, 0xFF},
                 {0xFF, 0xFF, 0x7F, 0x0C, 0x77, 0x00, 0x00, 0x00},
                 kSampleEntryBytes,
                 Zeros(118 * 24),
                 kSampleEntryBytes});
}

TEST(IndexFormatTest, IndexSummaryBytes) {
  const Bytes expected = SampleSummaryBytes();
  ASSERT_EQ(expected.size(), 2896u);
  EXPECT_EQ(BytesOf(SampleSummary()), expected);
}

TEST(IndexFormatTest, IndexRecordBytesAndNameCut) {
  IndexRecord record = MakeIndexRecord("0007.VDB");
  record.summary = SampleSummary();
  const Bytes expected =
      Concat({{'0', '0', '0', '7', '.', 'V', 'D', 'B'}, Zeros(44), SampleSummaryBytes()});
  ASSERT_EQ(expected.size(), 2948u);
  EXPECT_EQ(BytesOf(record), expected);
  EXPECT_EQ(IndexRecordName(record), "0007.VDB");

  const std::string longName(80, 'n');
  record = MakeIndexRecord(longName);
  EXPECT_EQ(IndexRecordName(record), std::string(51, 'n'));
  EXPECT_EQ(record.name[51], '\0');
  std::memset(record.name, 'x', sizeof(record.name));  // no terminator at all
  EXPECT_EQ(IndexRecordName(record), std::string(51, 'x'));
}

TEST(IndexFormatTest, WholeIndexFileLayout) {
  // FileHeader at 0, record name at 48, summary at 100, 2,996 bytes in all.
  Bytes file = Concat({BytesOf(MakeFileHeader()), BytesOf(MakeIndexRecord("a.VDB"))});
  ASSERT_EQ(file.size(), kIndexFileSize);
  EXPECT_EQ(file[48], 'a');
  const IndexSummary summary = SampleSummary();
  std::memcpy(file.data() + kIndexSummaryOffset, &summary, sizeof(summary));
  EXPECT_EQ(Bytes(file.begin() + 100, file.end()), SampleSummaryBytes());
}

TEST(HeaderFileFormatTest, FileInfoAndHeadBytes) {
  FileInfo info;
  std::memset(&info, 0, sizeof(info));
  SetFileInfoPath(&info, "/r/a.VDB");
  info.summary = SampleSummary();
  const Bytes expected =
      Concat({{'/', 'r', '/', 'a', '.', 'V', 'D', 'B'}, Zeros(252), SampleSummaryBytes()});
  ASSERT_EQ(expected.size(), 3156u);
  EXPECT_EQ(BytesOf(info), expected);

  HeaderFileHead head;
  std::memset(&head, 0, sizeof(head));
  head.recordCount = 0x00010203;
  Bytes headBytes = BytesOf(head);
  ASSERT_EQ(headBytes.size(), 1296u);
  EXPECT_EQ(Bytes(headBytes.begin(), headBytes.begin() + 8),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x03, 0x02, 0x01, 0x00}));

  EXPECT_EQ(HeaderFileInfoOffset(0), 1296u);
  EXPECT_EQ(HeaderFileInfoOffset(1), 4452u);
  EXPECT_EQ(HeaderFileSummaryOffset(0), 1556u);
  EXPECT_EQ(HeaderFileSummaryOffset(2), 7868u);
  EXPECT_EQ(HeaderFileSummaryOffset(0xFFFFFFFFull), 1556u + 3156ull * 0xFFFFFFFFull);
}

TEST(HeaderFileFormatTest, PathWithoutTerminatorIsCutAt259) {
  FileInfo info;
  std::memset(info.path, 'p', sizeof(info.path));
  EXPECT_EQ(FileInfoPath(info), std::string(259, 'p'));
  SetFileInfoPath(&info, std::string(300, 'q'));
  EXPECT_EQ(FileInfoPath(info), std::string(259, 'q'));
  EXPECT_EQ(info.path[259], '\0');
  SetFileInfoPath(&info, "");
  EXPECT_EQ(FileInfoPath(info), "");
}

// --- Names -------------------------------------------------------------------------------

struct NameCase {
  const char* data;
  const char* index;
  const char* base;
};

class FileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(FileNameTest, IndexAndBaseNames) {
  EXPECT_EQ(IndexFileName(GetParam().data), GetParam().index);
  EXPECT_EQ(DataFileBaseName(GetParam().data), GetParam().base);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FileNameTest,
    ::testing::Values(
        NameCase{"D:\\rec\\Channel01\\0007.VDB", "D:\\rec\\Channel01\\0007.FIH", "0007.VDB"},
        NameCase{"D:\\rec.1\\0007.VDB", "D:\\rec.FIH", "0007.VDB"},
        NameCase{"/tmp/rec/0007.VDB", "/tmp/rec/0007.FIH", "0007.VDB"},
        NameCase{"/tmp/rec/a.b.VDB", "/tmp/rec/a.FIH", "a.b.VDB"},
        NameCase{"/tmp/rec/noext", "", "noext"}, NameCase{"plain.VDB", "plain.FIH", "plain.VDB"},
        NameCase{"mixed/dir\\x.VDB", "mixed/dir\\x.FIH", "x.VDB"}, NameCase{"", "", ""}));

// --- The no-time value follows the local zone --------------------------------------------

TEST(NoTimeTest, EmptySummaryUsesLocalYear2000) {
  testsupport::ScopedTimeZone utc("UTC");
  IndexSummary summary = MakeEmptySummary();
  EXPECT_EQ(summary.startTime, 946684800);
  EXPECT_EQ(summary.endTime, 946684800);
  EXPECT_EQ(summary.dataBytes, 0u);
  EXPECT_EQ(summary.lastEntry, 0);
  testsupport::ScopedTimeZone shanghai("Asia/Shanghai");
  EXPECT_EQ(NoTimeSeconds(), 946684800 - 8 * 3600);
  summary = MakeEmptySummary();
  EXPECT_EQ(summary.startTime, 946684800 - 8 * 3600);
  const Bytes bytes = BytesOf(summary);
  EXPECT_EQ(Bytes(bytes.begin() + 8, bytes.end()), Zeros(2896 - 8));
}

}  // namespace
}  // namespace storage
