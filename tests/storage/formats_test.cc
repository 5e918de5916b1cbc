// Stored formats: every structure is checked against bytes worked out by hand from its
// layout, so a wrong offset cannot hide behind a round trip; and the index summary's rule.
#include "storage/formats.h"

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "storage/summary_builder.h"
#include "support/scoped_env.h"

namespace {

using namespace storage;

using Bytes = std::vector<uint8_t>;
using S = RecordStatus;

// Bytes written out by hand: hex words as stored ("C8000000"), zN for N zero bytes, and P
// for `payload`.
Bytes Hand(const std::string& text, const Bytes& payload = {}) {
  Bytes out;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    if (word == "P") out.insert(out.end(), payload.begin(), payload.end());
    if (word[0] == 'z') out.resize(out.size() + std::stoul(word.substr(1)));
    for (size_t i = 0; word[0] != 'z' && word != "P" && i < word.size(); i += 2)
      out.push_back(static_cast<uint8_t>(std::stoul(word.substr(i, 2), nullptr, 16)));
  }
  return out;
}

template <typename T>
Bytes BytesOf(const T& value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(bytes, bytes + sizeof(T));
}

// Head: marker 200, type, subType keyFrame reason channel, bodySize, payloadSize, 12
// reserved, time, 4 reserved; a non-key frame's 100-byte lead block; tag; payload; trailer.
// Builders refuse what does not fit without touching the buffer, and parsing rejects
// damage by what is wrong.
TEST(FrameRecordTest, RecordsMatchTheirHandLayoutAndDamageIsNamed) {
  const Bytes payload = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  Bytes audioPayload(320);
  std::iota(audioPayload.begin(), audioPayload.end(), uint8_t{7});
  // channel, time, type, subType (only 0xAB is stored), keyFrame, reason, tag.
  const RecordFields video = {
      5, 0x12345678, 2, 0x1AB, false, kReasonRecorded | kReasonTriggerA, 0xA1B2C3D4};
  RecordFields key = video;
  key.keyFrame = true;
  // The key-frame flag and the tag are ignored by the audio format.
  const RecordFields audio = {31, 0xFFFFFFFE, 17, 0x02, true, kReasonRecorded, 0xFFFFFFFF};
  const std::vector<std::tuple<const RecordFields&, const Bytes&, const char*>> rows = {
      {video, payload,
       "C8000000 02000000 AB000305 72000000 0E000000 z12 78563412 z4 z100 D4C3B2A1 P "
       "72000000 64000000"},
      {key, payload,
       "C8000000 02000000 AB010305 0E000000 0E000000 z12 78563412 z4 D4C3B2A1 P 0E000000 64000000"},
      {audio, audioPayload,
       "C8000000 11000000 0200011F 40010000 z4 z12 FEFFFFFF z4 P 40010000 64000000"}};
  for (const auto& [fields, data, hand] : rows) {
    const Bytes expected = Hand(hand, data);
    Bytes buffer(expected.size() + 1, 0xEE);
    const auto build = &fields == &audio ? BuildAudioRecord : BuildVideoRecord;
    EXPECT_EQ(build(buffer.data(), expected.size() - 1, fields, data.data(), data.size()), 0u);
    EXPECT_EQ(buffer, Bytes(expected.size() + 1, 0xEE)) << "a refused build touched the buffer";
    const uint64_t size = build(buffer.data(), buffer.size(), fields, data.data(), data.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), expected);
    EXPECT_EQ(std::pair(size, buffer.back()), std::pair(uint64_t{expected.size()}, uint8_t{0xEE}));
    EXPECT_EQ(ParseRecord(buffer.data(), size, nullptr), RecordStatus::kOk);
  }
  EXPECT_FALSE(SplitVideoBody(audioPayload.data(), 103, false, nullptr));
  EXPECT_TRUE(SplitVideoBody(audioPayload.data(), 104, false, nullptr));
  EXPECT_FALSE(SplitVideoBody(audioPayload.data(), 3, true, nullptr));
  Bytes record(162);
  EXPECT_EQ(BuildAudioRecord(record.data(), 162, RecordFields{}, nullptr, 5), 0u);
  // Sizes are 64-bit: a hostile length does not wrap to a small size.
  EXPECT_GT(VideoRecordSize(0xFFFFFFFFull, false), 0xFFFFFFFFull);
  ASSERT_EQ(BuildVideoRecord(record.data(), 162, video, payload.data(), 10), 162u);
  const auto parse = [&](uint64_t length) { return ParseRecord(record.data(), length, nullptr); };
  EXPECT_EQ(std::vector({parse(39), parse(0), parse(161)}),
            std::vector({S::kShortHead, S::kShortHead, S::kBodyOverrun}));
  // Body sizes (the reader's tests damage the other fields): the trailer read one byte
  // early, one byte late, and a size that would wrap.
  const std::vector<std::pair<uint32_t, RecordStatus>> damage = {
      {113, S::kBadTrailerSize}, {115, S::kBodyOverrun}, {0xFFFFFFFF, S::kBodyOverrun}};
  for (const auto& [bodySize, status] : damage) {
    StoreU32(record.data() + kRecordBodySizeOffset, bodySize);
    EXPECT_EQ(parse(162), status) << bodySize;
  }
}

// What the makers and readers of the index and header structures put into them, and the
// data file names the index names.
TEST(IndexFormatTest, MakersNamesOffsetsAndTheEmptySummary) {
  EXPECT_EQ(BytesOf(MakeFileHeader()), Hand("464F4831 01000000 z40"));
  IndexRecord record = MakeIndexRecord("0007.VDB");
  std::memset(record.name, 'x', sizeof(record.name));  // no terminator at all
  EXPECT_EQ(IndexRecordName(record), std::string(51, 'x'));
  EXPECT_EQ(IndexRecordName(MakeIndexRecord(std::string(80, 'n'))), std::string(51, 'n'));
  FileInfo info{};
  SetFileInfoPath(&info, std::string(300, 'q'));
  EXPECT_EQ(FileInfoPath(info), std::string(259, 'q'));
  // The empty summary's times are local 2000-01-01 00:00.
  testsupport::ScopedTimeZone shanghai("Asia/Shanghai");
  EXPECT_EQ(BytesOf(MakeEmptySummary()), Hand("00D36C38 00D36C38 z2888"));
  // Data file name, then its index file name and base name.
  const std::vector<std::tuple<const char*, std::string, std::string>> names = {
      {"/tmp/rec/a.b.VDB", "/tmp/rec/a.b.FIH", "a.b.VDB"},
      {"/tmp/rec.1/noext", "/tmp/rec.1/noext.FIH", "noext"},
      {"/tmp/rec/.cam", "/tmp/rec/.cam.FIH", ".cam"},
      {"/tmp/rec.1/", "", ""},
      {"mixed/dir\\x.VDB", "mixed/dir\\x.FIH", "x.VDB"}};
  for (const auto& [data, index, base] : names)
    EXPECT_EQ(std::pair(IndexFileName(data), DataFileBaseName(data)), std::pair(index, base))
        << data;
}

// The index summary's rule, record by record: minute entries, the file's day and its end
// time only move forward, so a record that reached the writer late counts its bytes in the
// entry in use, and marks its channel in its own minute's entry; each reason and audio goes
// to its own mask.
TEST(SummaryBuilderTest, LateRecordsCountInTheEntryInUseAndNeverMoveTheEndBack) {
  const int32_t t = 1717236059;  // a minute's last second
  IndexSummary s = MakeEmptySummary();
  SummaryBuilder builder(&s);
  // Time, channel, type, reason (1 recorded always, 3 trigger A, 5 trigger B) and size.
  const std::vector<std::array<int32_t, 5>> records = {
      {t, 0, 1, 1, 100}, {t + 1, 1, 1, 3, 200}, {t, 2, 17, 5, 50}, {t + 61, 31, 1, 1, 10}};
  for (const auto& [time, channel, type, reason, size] : records) {
    FrameHeader h{};
    std::tie(h.time, h.channel, h.type, h.reason) = std::tuple(time, channel, type, reason);
    builder.Add(h, static_cast<uint32_t>(size));
  }
  const IndexEntry &e = s.entries[1], &late = s.entries[0];
  EXPECT_EQ(std::vector<int64_t>({s.startTime, s.endTime, s.dataBytes, s.lastEntry, late.bytes,
                                  late.reason1Mask, late.reason4Mask, late.audioMask, e.time,
                                  e.bytes, e.reason1Mask, e.reason2Mask, e.reason4Mask, e.audioMask,
                                  s.entries[2].reason1Mask}),
            std::vector<int64_t>({t, t + 61, 360, 2, 100, 0b101, 0b100, 0b100, t + 1, 250, 0b010,
                                  0b010, 0, 0, 1u << 31}));
  // Every entry in use, or a count read from a damaged index: no entry is added.
  for (const int32_t last : {kLastEntryMax, -1}) {
    s.lastEntry = last;
    EXPECT_EQ(std::pair(builder.NextEntry(t + 3600), s.lastEntry), std::pair(false, last));
  }
}

}  // namespace
