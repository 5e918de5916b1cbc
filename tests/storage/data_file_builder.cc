#include "storage/data_file_builder.h"

#include "platform/local_time.h"
#include "support/stored_files.h"

namespace reader_test {

size_t DataFileBuilder::AddVideo(uint32_t channel, int32_t time, bool keyFrame, uint32_t type,
                                 uint32_t payloadLength) {
  const uint32_t n = static_cast<uint32_t>(records_.size());
  return Append(
      {channel, time, type, 0x100 + n, keyFrame, storage::kReasonRecorded, 0xA5000000u + n}, false,
      payloadLength);
}

size_t DataFileBuilder::AddAudio(uint32_t channel, int32_t time, uint32_t type,
                                 uint32_t payloadLength) {
  return Append({channel, time, type, 0, false, storage::kReasonRecorded, 0}, true, payloadLength);
}

size_t DataFileBuilder::Append(const storage::RecordFields& fields, bool audioFormat,
                               uint32_t payloadLength) {
  std::vector<uint8_t> payload(payloadLength);
  for (uint32_t i = 0; i < payloadLength; ++i) {
    payload[i] = static_cast<uint8_t>(records_.size() * 31 + i * 7 + fields.channel);
  }
  const uint64_t size = audioFormat ? storage::AudioRecordSize(payloadLength)
                                    : storage::VideoRecordSize(payloadLength, fields.keyFrame);
  const uint64_t offset = bytes_.size();
  bytes_.resize(offset + size);
  uint8_t* at = bytes_.data() + offset;
  const uint64_t built =
      audioFormat ? storage::BuildAudioRecord(at, size, fields, payload.data(), payloadLength)
                  : storage::BuildVideoRecord(at, size, fields, payload.data(), payloadLength);
  records_.push_back({offset, built});
  storage::FrameHeader header;
  storage::ParseRecordHead(at, &header);
  Book(header, built);
  return records_.size() - 1;
}

void DataFileBuilder::AddZeros(size_t count, int32_t time) {
  bytes_.resize(bytes_.size() + count);
  storage::FrameHeader header{};
  header.time = time;
  header.channel = storage::kChannelCount;  // counts in no channel's mask
  Book(header, count);
}

void DataFileBuilder::Book(const storage::FrameHeader& header, uint64_t size) {
  storage::SummaryBuilder builder(&summary_);
  const platform::LocalFields local = platform::CTime(header.time).Local();
  const int minute = local.hour * 60 + local.minute;
  if (lastMinute_ < 0) {
    builder.Begin(header.time);
  } else if (older_ ? minute != lastMinute_
                    : builder.PlaceOf(header.time) != storage::RecordPlace::kCurrentEntry) {
    builder.NextEntry(header.time);
  }
  lastMinute_ = minute;
  builder.Count(header, static_cast<uint32_t>(size));
}

std::vector<uint8_t> DataFileBuilder::Frame(size_t i) const {
  const BuiltRecord& r = records_.at(i);
  const auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(r.offset);
  return std::vector<uint8_t>(
      first + storage::kStartMarkerSize,
      first + static_cast<std::ptrdiff_t>(r.size - storage::kRecordTrailerSize));
}

void DataFileBuilder::Damage(size_t i, int64_t at, uint32_t value) {
  const BuiltRecord& r = records_.at(i);
  uint8_t* field = bytes_.data() + r.offset + (at >= 0 ? at : static_cast<int64_t>(r.size) + at);
  storage::StoreU32(field, storage::LoadU32(field) + value);
}

void DataFileBuilder::Write(const std::string& dir, const std::string& title,
                            const storage::IndexSummary& summary,
                            const std::vector<uint8_t>& tail) const {
  std::vector<uint8_t> data = bytes_;
  data.insert(data.end(), tail.begin(), tail.end());
  testsupport::WriteBytes(dir + title + std::string(storage::kDataFileSuffix), data);
  testsupport::WriteIndexFile(
      dir + title + std::string(storage::kIndexFileSuffix),
      {testsupport::MakeRecord(title + std::string(storage::kDataFileSuffix), summary)});
}

}  // namespace reader_test
