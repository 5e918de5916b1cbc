// Readers and writers of the recorder's files, byte for byte from the stored structures:
// data files walked record by record, index files, header files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
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
  std::ifstream in(path, std::ios::binary);
  const uint64_t size = FileSize(path);
  if (offset >= size) return {};
  std::vector<uint8_t> bytes(std::min(count, size - offset));
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

inline void WriteBytes(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}
inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  WriteBytes(path, bytes.data(), bytes.size());
}

// Overwrites bytes in place.
inline void PatchBytes(const std::string& path, uint64_t offset, const void* data, size_t n) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  ASSERT_TRUE(f.is_open()) << path;
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
  ASSERT_TRUE(f.good()) << path;
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
    storage::VideoBodyView view;
    if (!storage::SplitVideoBody(body.data(), static_cast<uint32_t>(body.size()),
                                 (header.keyFrame & 1) != 0, &view)) {
      return {};
    }
    return std::vector<uint8_t>(view.payload, view.payload + view.payloadLength);
  }
};

// Records from the start of `bytes` until the first that does not parse; `*end` is where
// parsing stopped.
inline std::vector<StoredRecord> ParseRecords(const std::vector<uint8_t>& bytes,
                                              uint64_t* end = nullptr) {
  std::vector<StoredRecord> records;
  uint64_t at = 0;
  storage::RecordView view;
  while (at < bytes.size() && storage::ParseRecord(bytes.data() + at, bytes.size() - at, &view) ==
                                  storage::RecordStatus::kOk) {
    records.push_back(
        {at, view.header, std::vector<uint8_t>(view.body, view.body + view.bodySize)});
    at += view.recordSize;
  }
  if (end != nullptr) *end = at;
  return records;
}

// Records from offset 0 until the first that does not parse (for files without an index).
inline std::vector<StoredRecord> ScanRecords(const std::string& dataPath, uint64_t limit) {
  return ParseRecords(ReadBytes(dataPath, 0, limit));
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
  if (bytes.size() != storage::kIndexFileSize) return view;
  std::memcpy(&view.header, bytes.data(), sizeof(view.header));
  std::memcpy(&view.record, bytes.data() + storage::kIndexRecordOffset, sizeof(view.record));
  view.complete = true;
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
  for (int32_t k = 0; k <= s.lastEntry && k <= storage::kLastEntryMax; ++k) {
    sum += s.entries[k].bytes;
  }
  return sum;
}

inline storage::IndexRecord MakeRecord(const std::string& name, const storage::IndexSummary& s) {
  storage::IndexRecord record = storage::MakeIndexRecord(name);
  record.summary = s;
  return record;
}

// An index file with `records` and `recordCount` in its header.
inline void WriteIndexFile(const std::string& path,
                           const std::vector<storage::IndexRecord>& records, uint32_t recordCount) {
  const storage::FileHeader header = storage::MakeFileHeader(recordCount);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&header), sizeof(header));
  out.write(reinterpret_cast<const char*>(records.data()),
            static_cast<std::streamsize>(records.size() * sizeof(storage::IndexRecord)));
}
inline void WriteIndexFile(const std::string& path,
                           const std::vector<storage::IndexRecord>& records) {
  WriteIndexFile(path, records, static_cast<uint32_t>(records.size()));
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
  storage::HeaderFileHead head{};
  head.recordCount = recordCount;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&head), sizeof(head));
  out.write(reinterpret_cast<const char*>(records.data()),
            static_cast<std::streamsize>(records.size() * sizeof(storage::FileInfo)));
}

}  // namespace testsupport
