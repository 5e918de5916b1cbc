// Stored formats: every structure is checked against bytes worked out by hand from its
// layout, so a wrong offset cannot hide behind a round trip.
#include "storage/formats.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/scoped_env.h"

namespace storage {
namespace {

using Bytes = std::vector<uint8_t>;

// Bytes written out by hand: hex words as stored ("C8000000"), zN for N zero bytes, and P
// for `payload`.
Bytes Hand(const std::string& text, const Bytes& payload = {}) {
  Bytes out;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    if (word == "P") out.insert(out.end(), payload.begin(), payload.end());
    if (word[0] == 'z') out.resize(out.size() + std::stoul(word.substr(1)));
    for (size_t i = 0; word[0] != 'z' && word != "P" && i < word.size(); i += 2) {
      out.push_back(static_cast<uint8_t>(std::stoul(word.substr(i, 2), nullptr, 16)));
    }
  }
  return out;
}

template <typename T>
Bytes BytesOf(const T& value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(bytes, bytes + sizeof(T));
}

const Bytes kPayload10 = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
// channel, time, type, subType (only 0xAB is stored), keyFrame, reason, tag.
const RecordFields kVideo = {
    5, 0x12345678, 2, 0x1AB, false, kReasonRecorded | kReasonTriggerA, 0xA1B2C3D4};

TEST(FrameRecordTest, RecordsMatchTheirHandLayout) {
  // Head: marker 200, type, subType keyFrame reason channel, bodySize, payloadSize, 12
  // reserved, time, 4 reserved; a non-key frame's 100-byte lead block; tag; payload; trailer.
  Bytes audioPayload(320);
  for (size_t i = 0; i < audioPayload.size(); ++i) audioPayload[i] = static_cast<uint8_t>(i * 7);
  RecordFields key = kVideo;
  key.keyFrame = true;
  // The key-frame flag and the tag are ignored by the audio format.
  const RecordFields audio = {31, -2, 17, 0x02, true, kReasonRecorded, 0xFFFFFFFF};
  const struct {
    const RecordFields& fields;
    bool audio;
    const Bytes& payload;
    const char* hand;
  } rows[] = {
      {kVideo, false, kPayload10,
       "C8000000 02000000 AB000305 72000000 0E000000 z12 78563412 z4 z100 D4C3B2A1 P "
       "72000000 64000000"},
      {key, false, kPayload10,
       "C8000000 02000000 AB010305 0E000000 0E000000 z12 78563412 z4 D4C3B2A1 P 0E000000 64000000"},
      {audio, true, audioPayload,
       "C8000000 11000000 0200011F 40010000 z4 z12 FEFFFFFF z4 P 40010000 64000000"}};
  for (const auto& row : rows) {
    const Bytes expected = Hand(row.hand, row.payload);
    Bytes buffer(expected.size() + 1, 0xEE);
    const uint64_t size = row.audio ? BuildAudioRecord(buffer.data(), buffer.size(), row.fields,
                                                       row.payload.data(), row.payload.size())
                                    : BuildVideoRecord(buffer.data(), buffer.size(), row.fields,
                                                       row.payload.data(), row.payload.size());
    EXPECT_EQ(size, expected.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), expected);
    EXPECT_EQ(buffer.back(), 0xEE) << "builder wrote past the record";
    RecordView view;
    ASSERT_EQ(ParseRecord(buffer.data(), size, &view), RecordStatus::kOk);
    EXPECT_EQ(BytesOf(view.header), Bytes(buffer.begin() + 4, buffer.begin() + 40));
    EXPECT_EQ(view.recordSize, size);
    VideoBodyView body;
    if (row.audio) continue;
    ASSERT_TRUE(SplitVideoBody(view.body, view.bodySize, row.fields.keyFrame, &body));
    EXPECT_EQ(std::pair(body.lead == nullptr, body.videoTag),
              std::pair(row.fields.keyFrame, kVideo.videoTag));
    EXPECT_EQ(Bytes(body.payload, body.payload + body.payloadLength), kPayload10);
  }
  EXPECT_FALSE(SplitVideoBody(audioPayload.data(), 103, false, nullptr));
  EXPECT_TRUE(SplitVideoBody(audioPayload.data(), 104, false, nullptr));
  EXPECT_FALSE(SplitVideoBody(audioPayload.data(), 3, true, nullptr));
}

TEST(FrameRecordTest, BuildersRefuseWhatDoesNotFitAndParsingRejectsDamage) {
  Bytes record(161, 0xEE);
  EXPECT_EQ(BuildVideoRecord(record.data(), 161, kVideo, kPayload10.data(), 10), 0u);
  EXPECT_EQ(BuildAudioRecord(record.data(), 161, RecordFields{}, kPayload10.data(), 200), 0u);
  EXPECT_EQ(BuildAudioRecord(record.data(), 161, RecordFields{}, nullptr, 5), 0u);
  EXPECT_EQ(record, Bytes(161, 0xEE)) << "a refused build must not touch the buffer";
  EXPECT_EQ(BuildAudioRecord(record.data(), 161, RecordFields{}, nullptr, 0), 48u);
  // Sizes are 64-bit: a hostile length does not wrap to a small size.
  EXPECT_EQ(VideoRecordSize(1000, false), 1152u);
  EXPECT_GT(VideoRecordSize(0xFFFFFFFFull, false), 0xFFFFFFFFull);

  record.resize(162);
  ASSERT_EQ(BuildVideoRecord(record.data(), 162, kVideo, kPayload10.data(), 10), 162u);
  const auto parse = [&](uint64_t length) { return ParseRecord(record.data(), length, nullptr); };
  EXPECT_EQ(std::vector<RecordStatus>({parse(39), parse(0), parse(161)}),
            std::vector<RecordStatus>(
                {RecordStatus::kShortHead, RecordStatus::kShortHead, RecordStatus::kBodyOverrun}));
  const struct {
    uint32_t at, value;
    RecordStatus status;
  } damage[] = {
      {12, 0xFFFFFFFF, RecordStatus::kBodyOverrun}, {12, 115, RecordStatus::kBodyOverrun},
      {12, 113, RecordStatus::kBadTrailerSize},  // trailer read one byte early
      {154, 113, RecordStatus::kBadTrailerSize},    {158, 101, RecordStatus::kBadEndMarker},
      {0, 201, RecordStatus::kBadStartMarker}};
  for (const auto& d : damage) {
    const uint32_t kept = LoadU32(record.data() + d.at);
    StoreU32(record.data() + d.at, d.value);
    EXPECT_EQ(parse(162), d.status) << d.at << " " << d.value;
    StoreU32(record.data() + d.at, kept);
  }
  EXPECT_EQ(ParseRecordEnd(record.data() + 154, 115), RecordStatus::kBadTrailerSize);
  record[0] = 201;
  EXPECT_FALSE(ParseRecordHead(record.data(), nullptr));
}

TEST(TypeFamilyTest, StoredAndDeliveredTypes) {
  for (uint32_t t = 0; t < 300; ++t) {
    const bool video = t == 1 || t == 2 || t == 3 || t == 4 || t == 6;
    const bool audio = t == 0 || t == 17 || t == 18 || t == 33 || t == 34;
    EXPECT_EQ(IsStoredAudioType(t), audio || t == 161) << t;
    EXPECT_EQ(IsStoredVideoType(t), video || t == 160) << t;
    EXPECT_EQ(IsDeliveredAudioType(t), audio || t == 19) << t;
    EXPECT_EQ(IsDeliveredVideoType(t), video) << t;
  }
}

// The layouts of the structures are fixed at compile time; what is checked here is what the
// makers and readers put into them.
TEST(IndexFormatTest, MakersNamesOffsetsAndTheEmptySummary) {
  EXPECT_EQ(BytesOf(MakeFileHeader()), Hand("464F4831 01000000 z40"));
  IndexRecord record = MakeIndexRecord("0007.VDB");
  EXPECT_EQ(BytesOf(record.name), Hand("30303037 2E564442 z44"));
  EXPECT_EQ(IndexRecordName(record), "0007.VDB");
  record = MakeIndexRecord(std::string(80, 'n'));
  EXPECT_EQ(IndexRecordName(record), std::string(51, 'n'));
  std::memset(record.name, 'x', sizeof(record.name));  // no terminator at all
  EXPECT_EQ(IndexRecordName(record), std::string(51, 'x'));
  FileInfo info{};
  SetFileInfoPath(&info, "/r/a.VDB");
  EXPECT_EQ(BytesOf(info.path), Hand("2F722F61 2E564442 z252"));
  SetFileInfoPath(&info, std::string(300, 'q'));
  EXPECT_EQ(FileInfoPath(info), std::string(259, 'q'));
  EXPECT_EQ(std::pair(HeaderFileInfoOffset(1), HeaderFileSummaryOffset(2)),
            std::pair(uint64_t{4452}, uint64_t{7868}));
  // The empty summary's times are local 2000-01-01 00:00.
  testsupport::ScopedTimeZone shanghai("Asia/Shanghai");
  const int32_t noTime = 946684800 - 8 * 3600;
  EXPECT_EQ(NoTimeSeconds(), noTime);
  Bytes expected = BytesOf(noTime);
  expected.resize(2896);
  std::memcpy(expected.data() + 4, &noTime, 4);
  EXPECT_EQ(BytesOf(MakeEmptySummary()), expected);
}

TEST(FileNameTest, IndexAndBaseNames) {
  // Data file name, then its index file name and base name.
  const std::vector<std::array<const char*, 3>> rows = {
      {"D:\\rec\\Channel01\\0007.VDB", "D:\\rec\\Channel01\\0007.FIH", "0007.VDB"},
      {"D:\\rec.1\\0007.VDB", "D:\\rec.1\\0007.FIH", "0007.VDB"},
      {"/tmp/rec/a.b.VDB", "/tmp/rec/a.b.FIH", "a.b.VDB"},
      {"/tmp/rec.1/noext", "/tmp/rec.1/noext.FIH", "noext"},
      {"/tmp/rec/f0.", "/tmp/rec/f0.FIH", "f0."},
      {"/tmp/rec/.f0.VDB", "/tmp/rec/.f0.FIH", ".f0.VDB"},
      {"/tmp/rec/.cam", "/tmp/rec/.cam.FIH", ".cam"},
      {"/tmp/rec.1/", "", ""},
      {"plain.VDB", "plain.FIH", "plain.VDB"},
      {"mixed/dir\\x.VDB", "mixed/dir\\x.FIH", "x.VDB"},
      {"", "", ""}};
  for (const auto& [data, index, base] : rows) {
    EXPECT_EQ(IndexFileName(data), index) << data;
    EXPECT_EQ(DataFileBaseName(data), base) << data;
  }
}

}  // namespace
}  // namespace storage
