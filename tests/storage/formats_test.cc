// Stored formats: every structure is checked against bytes worked out by hand from its
// layout, so a wrong offset cannot hide behind a round trip.
#include "storage/formats.h"

#include <gtest/gtest.h>

#include <array>
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

// channel, time, type, subType (only 0xAB is stored), keyFrame, reason, tag.
RecordFields VideoFields(bool keyFrame) {
  return {5, 0x12345678, 2, 0x1AB, keyFrame, kReasonRecorded | kReasonTriggerA, 0xA1B2C3D4};
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
  // The key-frame flag and the tag are ignored by the audio format.
  const RecordFields fields = {31, -2, 17, 0x02, true, kReasonRecorded, 0xFFFFFFFF};
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
    // The hand-checked builder bytes are the header the parser must hand out.
    EXPECT_EQ(BytesOf(view.header), Bytes(buffer.begin() + 4, buffer.begin() + 40));
    FrameHeader head;
    ASSERT_TRUE(ParseRecordHead(buffer.data(), &head));
    EXPECT_EQ(BytesOf(head), BytesOf(view.header));
    EXPECT_EQ(ParseRecordEnd(buffer.data() + size - kRecordTrailerSize, view.bodySize),
              RecordStatus::kOk);
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

TEST_F(ParseRecordRejectTest, ShortHeadOverrunTrailerMismatchAndWrongMarkers) {
  EXPECT_EQ(Parse(39), RecordStatus::kShortHead);
  EXPECT_EQ(Parse(0), RecordStatus::kShortHead);
  EXPECT_EQ(Parse(161), RecordStatus::kBodyOverrun);
  for (uint32_t badSize : {0xFFFFFFFFu, 115u}) {
    StoreU32(record_.data() + kRecordBodySizeOffset, badSize);
    EXPECT_EQ(Parse(record_.size()), RecordStatus::kBodyOverrun) << badSize;
  }
  StoreU32(record_.data() + kRecordBodySizeOffset, 113);  // trailer read one byte early
  EXPECT_NE(Parse(record_.size()), RecordStatus::kOk);
  StoreU32(record_.data() + kRecordBodySizeOffset, 114);
  record_[161] = 1;
  EXPECT_EQ(Parse(record_.size()), RecordStatus::kBadEndMarker);
  EXPECT_EQ(ParseRecordEnd(record_.data() + 154, 114), RecordStatus::kBadEndMarker);
  record_[0] = 201;
  EXPECT_EQ(Parse(record_.size()), RecordStatus::kBadStartMarker);
  EXPECT_FALSE(ParseRecordHead(record_.data(), nullptr));
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

IndexEntry SampleEntry() { return {0x01020304, 0x11121314, 0x80000001, 2, 0x400, 0x00FF0000}; }

const Bytes kSampleEntryBytes = {0x04, 0x03, 0x02, 0x01, 0x14, 0x13, 0x12, 0x11,
                                 0x01, 0x00, 0x00, 0x80, 0x02, 0x00, 0x00, 0x00,
                                 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00};

IndexSummary SampleSummary() {
  IndexSummary summary{};
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
  EXPECT_EQ(BytesOf(SampleSummary()), SampleSummaryBytes());
}

TEST(IndexFormatTest, IndexRecordBytesAndNameCut) {
  IndexRecord record = MakeIndexRecord("0007.VDB");
  record.summary = SampleSummary();
  const Bytes expected =
      Concat({{'0', '0', '0', '7', '.', 'V', 'D', 'B'}, Zeros(44), SampleSummaryBytes()});
  EXPECT_EQ(BytesOf(record), expected);
  EXPECT_EQ(IndexRecordName(record), "0007.VDB");

  const std::string longName(80, 'n');
  record = MakeIndexRecord(longName);
  EXPECT_EQ(IndexRecordName(record), std::string(51, 'n'));
  EXPECT_EQ(record.name[51], '\0');
  std::memset(record.name, 'x', sizeof(record.name));  // no terminator at all
  EXPECT_EQ(IndexRecordName(record), std::string(51, 'x'));
}

TEST(HeaderFileFormatTest, FileInfoAndHeadBytes) {
  FileInfo info{};
  SetFileInfoPath(&info, "/r/a.VDB");
  info.summary = SampleSummary();
  const Bytes expected =
      Concat({{'/', 'r', '/', 'a', '.', 'V', 'D', 'B'}, Zeros(252), SampleSummaryBytes()});
  EXPECT_EQ(BytesOf(info), expected);

  HeaderFileHead head{};
  head.recordCount = 0x00010203;
  Bytes headBytes = BytesOf(head);
  ASSERT_EQ(headBytes.size(), 1296u);
  EXPECT_EQ(Bytes(headBytes.begin(), headBytes.begin() + 8),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x03, 0x02, 0x01, 0x00}));

  EXPECT_EQ(HeaderFileInfoOffset(0), 1296u);
  EXPECT_EQ(HeaderFileInfoOffset(1), 4452u);
  EXPECT_EQ(HeaderFileSummaryOffset(0), 1556u);
  EXPECT_EQ(HeaderFileSummaryOffset(2), 7868u);
}

// A path without a terminator read back from a header file is covered by the recorder's
// header-file scan; here the cut when a path is stored.
TEST(HeaderFileFormatTest, LongPathIsCutAt259) {
  FileInfo info;
  SetFileInfoPath(&info, std::string(300, 'q'));
  EXPECT_EQ(FileInfoPath(info), std::string(259, 'q'));
  EXPECT_EQ(info.path[259], '\0');
}

// --- Names -------------------------------------------------------------------------------

// Data file name, then its index file name and base name.
using NameCase = std::array<const char*, 3>;
class FileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(FileNameTest, IndexAndBaseNames) {
  EXPECT_EQ(IndexFileName(GetParam()[0]), GetParam()[1]);
  EXPECT_EQ(DataFileBaseName(GetParam()[0]), GetParam()[2]);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FileNameTest,
    ::testing::Values(
        NameCase{"D:\\rec\\Channel01\\0007.VDB", "D:\\rec\\Channel01\\0007.FIH", "0007.VDB"},
        NameCase{"D:\\rec.1\\0007.VDB", "D:\\rec.1\\0007.FIH", "0007.VDB"},
        NameCase{"/tmp/rec/0007.VDB", "/tmp/rec/0007.FIH", "0007.VDB"},
        NameCase{"./rec/f0.VDB", "./rec/f0.FIH", "f0.VDB"},
        NameCase{"/home/u/.cam/f0.VDB", "/home/u/.cam/f0.FIH", "f0.VDB"},
        NameCase{"/tmp/rec/a.b.VDB", "/tmp/rec/a.b.FIH", "a.b.VDB"},
        NameCase{"/tmp/rec.1/noext", "/tmp/rec.1/noext.FIH", "noext"},
        NameCase{"/tmp/rec/f0.", "/tmp/rec/f0.FIH", "f0."},
        NameCase{"/tmp/rec/.f0.VDB", "/tmp/rec/.f0.FIH", ".f0.VDB"},
        NameCase{"/tmp/rec/.cam", "/tmp/rec/.cam.FIH", ".cam"}, NameCase{"/tmp/rec.1/", "", ""},
        NameCase{"plain.VDB", "plain.FIH", "plain.VDB"},
        NameCase{"mixed/dir\\x.VDB", "mixed/dir\\x.FIH", "x.VDB"}, NameCase{"", "", ""}));

// --- The no-time value follows the local zone --------------------------------------------

TEST(NoTimeTest, EmptySummaryUsesLocalYear2000) {
  testsupport::ScopedTimeZone utc("UTC");
  EXPECT_EQ(MakeEmptySummary().startTime, 946684800);
  testsupport::ScopedTimeZone shanghai("Asia/Shanghai");
  const int32_t noTime = 946684800 - 8 * 3600;
  EXPECT_EQ(NoTimeSeconds(), noTime);
  EXPECT_EQ(BytesOf(MakeEmptySummary()), Concat({BytesOf(noTime), BytesOf(noTime), Zeros(2888)}));
}

}  // namespace
}  // namespace storage
