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
  // A payload no two records share, so a frame that comes back from the wrong place shows.
  std::vector<uint8_t> payload(payloadLength);
  for (uint32_t i = 0; i < payloadLength; ++i) {
    payload[i] = static_cast<uint8_t>(records_.size() * 31 + i * 7 + fields.channel);
  }
  const uint64_t size = audioFormat ? storage::AudioRecordSize(payloadLength)
                                    : storage::VideoRecordSize(payloadLength, fields.keyFrame);
  const uint64_t offset = bytes_.size();
  bytes_.resize(offset + size);
  const uint64_t built = audioFormat
                             ? storage::BuildAudioRecord(bytes_.data() + offset, size, fields,
                                                         payload.data(), payloadLength)
                             : storage::BuildVideoRecord(bytes_.data() + offset, size, fields,
                                                         payload.data(), payloadLength);
  records_.push_back({offset, built, fields.time});
  Book(fields.time, built);
  return records_.size() - 1;
}

void DataFileBuilder::AddRaw(const std::vector<uint8_t>& bytes, int32_t time) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  Book(time, bytes.size());
}

void DataFileBuilder::Book(int32_t time, uint64_t size) {
  const platform::LocalFields local = platform::CTime(time).Local();
  const int minuteKey = local.hour * 60 + local.minute;
  if (!booked_) {
    summary_.startTime = time;
    summary_.lastEntry = 0;
    summary_.entries[0].time = time;
    booked_ = true;
  } else if (minuteKey != lastMinuteKey_ && summary_.lastEntry < storage::kLastEntryMax) {
    ++summary_.lastEntry;
    summary_.entries[summary_.lastEntry].time = time;
  }
  lastMinuteKey_ = minuteKey;
  summary_.endTime = time;
  summary_.entries[summary_.lastEntry].bytes += static_cast<uint32_t>(size);
  summary_.dataBytes += static_cast<uint32_t>(size);
}

std::vector<uint8_t> DataFileBuilder::Frame(size_t i) const {
  const BuiltRecord& r = records_.at(i);
  const auto first =
      bytes_.begin() + static_cast<std::ptrdiff_t>(r.offset) + storage::kStartMarkerSize;
  const auto last =
      bytes_.begin() + static_cast<std::ptrdiff_t>(r.offset + r.size) - storage::kRecordTrailerSize;
  return std::vector<uint8_t>(first, last);
}

void DataFileBuilder::PutU32(uint64_t offset, uint32_t value) {
  storage::StoreU32(bytes_.data() + offset, value);
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
