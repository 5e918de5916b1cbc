// Readers and writers of the recorder's files, byte for byte from the stored structures:
// data files walked record by record, index files, header files.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "storage/formats.h"

namespace testsupport {

inline uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset = 0,
                                      uint64_t count = UINT32_MAX) {
  const uint64_t size = FileSize(path);
  std::vector<uint8_t> bytes(offset < size ? std::min(count, size - offset) : 0);
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

// A fresh file with the parts one after the other.
inline void WriteParts(const std::string& path,
                       std::initializer_list<std::pair<const void*, size_t>> parts) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const auto& [data, size] : parts)
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}
// A fresh file with the first `size` of `bytes` (all of them by default; none: an empty file).
inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes = {},
                       size_t size = SIZE_MAX) {
  WriteParts(path, {{bytes.data(), std::min(size, bytes.size())}});
}

// Gives a file (made with one byte when missing) the modification time seconds + ns.
inline void SetWritten(const std::string& path, time_t seconds, long ns = 0) {
  if (!std::filesystem::exists(path)) WriteParts(path, {{"x", 1}});
  const struct timespec times[2] = {{seconds, ns}, {seconds, ns}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// --- Data files ---

// A record read back from a data file.
struct StoredRecord {
  uint64_t offset = 0;
  storage::FrameHeader header{};
  std::vector<uint8_t> body;

  // The payload of a video-format record after its tag and lead block; empty when the body is
  // too short for its kind.
  std::vector<uint8_t> VideoPayload() const {
    storage::VideoBodyView v{};
    const bool ok = storage::SplitVideoBody(body.data(), static_cast<uint32_t>(body.size()),
                                            (header.keyFrame & 1) != 0, &v);
    return std::vector<uint8_t>(v.payload, v.payload + (ok ? v.payloadLength : 0));
  }
};

// Records from the start of `bytes` until the first that does not parse; `*end` is where
// parsing stopped.
inline std::vector<StoredRecord> ParseRecords(const std::vector<uint8_t>& bytes,
                                              uint64_t* end = nullptr) {
  std::vector<StoredRecord> records;
  uint64_t at = 0;
  storage::RecordView v;
  while (at < bytes.size() && storage::ParseRecord(bytes.data() + at, bytes.size() - at, &v) ==
                                  storage::RecordStatus::kOk) {
    records.push_back({at, v.header, std::vector<uint8_t>(v.body, v.body + v.bodySize)});
    at += v.recordSize;
  }
  if (end != nullptr) *end = at;
  return records;
}

// The records of the first `length` bytes of a data file; every one must parse and the last
// must end exactly at `length`.
inline std::vector<StoredRecord> ReadRecords(const std::string& dataPath, uint64_t length) {
  const std::vector<uint8_t> bytes = ReadBytes(dataPath, 0, length);
  EXPECT_EQ(bytes.size(), length) << dataPath << " is shorter than its recorded bytes";
  uint64_t end = 0;
  std::vector<StoredRecord> records = ParseRecords(bytes, &end);
  EXPECT_EQ(end, bytes.size()) << dataPath << ": broken record at " << end;
  return records;
}

// --- Index files ---

struct IndexFileView {
  storage::FileHeader header{};
  storage::IndexRecord record{};
  bool complete = false;  // the file holds a whole header and record
};

inline IndexFileView ReadIndexFile(const std::string& path) {
  IndexFileView view;
  const std::vector<uint8_t> bytes = ReadBytes(path, 0, storage::kIndexFileSize);
  view.complete = bytes.size() == storage::kIndexFileSize;
  if (view.complete) {
    std::memcpy(&view.header, bytes.data(), sizeof(view.header));
    std::memcpy(&view.record, bytes.data() + storage::kIndexRecordOffset, sizeof(view.record));
  }
  return view;
}

// The summary of an index file's first record; all zero when the file is not whole.
inline storage::IndexSummary ReadSummary(const std::string& indexPath) {
  return ReadIndexFile(indexPath).record.summary;
}

// The records a data file holds according to its index file.
inline std::vector<StoredRecord> ReadIndexedRecords(const std::string& dataPath) {
  const IndexFileView index = ReadIndexFile(storage::IndexFileName(dataPath));
  EXPECT_TRUE(index.complete) << dataPath;
  return ReadRecords(dataPath, index.record.summary.dataBytes);
}

inline uint64_t EntryBytes(const storage::IndexSummary& s) {
  uint64_t sum = 0;
  for (int k = 0; k <= s.lastEntry && k <= storage::kLastEntryMax; ++k) sum += s.entries[k].bytes;
  return sum;
}

inline storage::IndexRecord MakeRecord(const std::string& name, const storage::IndexSummary& s) {
  storage::IndexRecord record = storage::MakeIndexRecord(name);
  record.summary = s;
  return record;
}

// An index file with `records` and `recordCount` (by default theirs) and `sequence` in its
// header.
inline void WriteIndexFile(const std::string& path,
                           const std::vector<storage::IndexRecord>& records,
                           std::optional<uint32_t> recordCount = {}, uint32_t sequence = 0) {
  const storage::FileHeader header = storage::MakeFileHeader(
      recordCount.value_or(static_cast<uint32_t>(records.size())), sequence);
  WriteParts(path, {{&header, sizeof(header)},
                    {records.data(), records.size() * sizeof(storage::IndexRecord)}});
}

// --- Header files ---

inline storage::FileInfo MakeFileInfo(const std::string& path, int32_t startTime = 0,
                                      uint32_t dataBytes = 0) {
  storage::FileInfo info{};
  storage::SetFileInfoPath(&info, path);
  info.summary = storage::MakeEmptySummary();
  if (startTime != 0) info.summary.startTime = info.summary.endTime = startTime;
  info.summary.dataBytes = dataBytes;
  return info;
}

// A header file: the head with `recordCount`, then the records.
inline void WriteHeaderFile(const std::string& path, uint32_t recordCount,
                            const std::vector<storage::FileInfo>& records) {
  const storage::HeaderFileHead head{0, recordCount, {}};
  WriteParts(path,
             {{&head, sizeof(head)}, {records.data(), records.size() * sizeof(storage::FileInfo)}});
}

}  // namespace testsupport
