#include "data_set.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "platform/file.h"

namespace dvrtool {
namespace {

bool EndsWith(const std::string& s, std::string_view suffix) {
  return s.size() > suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", value);
  return text;
}

}  // namespace

std::vector<FilePair> ListPairs(const std::string& dir) {
  std::map<std::string, FilePair> pairs;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (!entry.is_regular_file(error)) continue;
    const std::string name = entry.path().filename().string();
    const std::string path = entry.path().string();
    if (EndsWith(name, storage::kDataFileSuffix)) {
      const std::string title = name.substr(0, name.size() - storage::kDataFileSuffix.size());
      pairs[title].title = title;
      pairs[title].dataPath = path;
    } else if (EndsWith(name, storage::kIndexFileSuffix)) {
      const std::string title = name.substr(0, name.size() - storage::kIndexFileSuffix.size());
      pairs[title].title = title;
      pairs[title].indexPath = path;
    }
  }
  std::vector<FilePair> list;
  for (auto& [title, pair] : pairs) list.push_back(pair);
  return list;
}

std::optional<IndexFile> ReadIndexFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  IndexFile file;
  std::error_code error;
  file.size = std::filesystem::file_size(path, error);
  if (error || file.size < storage::kIndexFileSize) return std::nullopt;
  in.read(reinterpret_cast<char*>(&file.header), sizeof(file.header));
  in.read(reinterpret_cast<char*>(&file.record), sizeof(file.record));
  if (!in) return std::nullopt;
  return file;
}

COneFileCatalog::COneFileCatalog(const std::string& dataPath, const storage::IndexSummary& summary,
                                 uint64_t readBytes) {
  storage::SetFileInfoPath(&info_, dataPath);
  info_.summary = summary;
  table_.startTime = summary.startTime;
  table_.endTime = summary.endTime;
  table_.dataBytes = static_cast<uint32_t>(std::min<uint64_t>(readBytes, UINT32_MAX));
  view_.infos = &info_;
  view_.tables = &table_;
  view_.count = 1;
}

std::string DescribeDamage(const std::string& dataPath, uint64_t offset,
                           storage::RecordStatus status, uint64_t limit) {
  std::error_code error;
  const uint64_t fileSize = std::filesystem::file_size(dataPath, error);
  // The head of the record: its start marker and the body size it claims.
  uint8_t head[storage::kRecordHeadSize] = {};
  uint64_t got = 0;
  if (const auto file = platform::File::OpenReadOnly(dataPath)) {
    (void)file->ReadAt(offset, head, sizeof(head), &got);
  }
  const uint64_t left = limit - std::min(limit, offset);
  if (!error && fileSize < limit &&
      (status == storage::RecordStatus::kShortHead ||
       status == storage::RecordStatus::kBodyOverrun)) {
    return "record cut short: the data file ends at byte " + std::to_string(fileSize) +
           ", before the " + std::to_string(limit) + " bytes its index counts";
  }
  const uint32_t bodySize = got >= storage::kRecordBodySizeOffset + 4
                                ? storage::LoadU32(head + storage::kRecordBodySizeOffset)
                                : 0;
  switch (status) {
    case storage::RecordStatus::kShortHead:
      return "the last " + std::to_string(left) + " bytes before the counted end (" +
             std::to_string(limit) + ") are too short for a record";
    case storage::RecordStatus::kBadStartMarker:
      return "no record starts here (start marker " +
             Hex(got >= storage::kStartMarkerSize ? storage::LoadU32(head) : 0) + ", expected 200)";
    case storage::RecordStatus::kBodyOverrun:
      return "body size " + std::to_string(bodySize) + " runs past the counted end (" +
             std::to_string(limit) + ")";
    case storage::RecordStatus::kBadTrailerSize:
      return "the trailer's body size differs from the head's (" + std::to_string(bodySize) + ")";
    default:
      return "bad end marker (expected 100)";
  }
}

bool ZerosToLimit(const std::string& dataPath, uint64_t offset, uint64_t limit) {
  const auto file = platform::File::OpenReadOnly(dataPath);
  if (!file || file->Size() < 0 || static_cast<uint64_t>(file->Size()) < limit) return false;
  std::vector<uint8_t> chunk(65536);
  for (uint64_t at = offset; at < limit;) {
    const uint64_t want = std::min<uint64_t>(chunk.size(), limit - at);
    uint64_t got = 0;
    (void)file->ReadAt(at, chunk.data(), want, &got);
    if (got != want || std::any_of(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(got),
                                   [](uint8_t b) { return b != 0; })) {
      return false;
    }
    at += got;
  }
  return true;
}

}  // namespace dvrtool
