#include "data_set.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

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

std::optional<RecordDamage> WalkRecords(const std::string& dataPath, uint64_t limit,
                                        const std::function<void(const WalkedRecord&)>& visit,
                                        std::string* readError, storage::Reporter* reporter) {
  std::error_code error;
  const uint64_t fileSize = std::filesystem::file_size(dataPath, error);
  if (error) {
    *readError = error.message();
    return std::nullopt;
  }
  const uint64_t readable = std::min(limit, fileSize);
  std::vector<uint8_t> bytes(readable);
  std::ifstream in(dataPath, std::ios::binary);
  if (!in ||
      !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(readable))) {
    *readError = "cannot read the data file";
    return std::nullopt;
  }
  uint64_t offset = 0;
  while (offset < limit) {
    const uint64_t left = readable - std::min(readable, offset);
    WalkedRecord record;
    record.offset = offset;
    const uint8_t* at = bytes.data() + std::min(offset, readable);
    const storage::RecordStatus status = storage::ParseRecord(at, left, &record.view);
    if (status != storage::RecordStatus::kOk) {
      const bool cutByFileEnd = fileSize < limit && (status == storage::RecordStatus::kShortHead ||
                                                     status == storage::RecordStatus::kBodyOverrun);
      if (reporter != nullptr) reporter->Corruption(dataPath, offset, status);
      RecordDamage damage{offset, status, "", false};
      damage.zerosToLimit =
          readable == limit && std::all_of(at, at + left, [](uint8_t b) { return b == 0; });
      if (cutByFileEnd) {
        damage.what = "record cut short: the data file ends at byte " + std::to_string(fileSize) +
                      ", before the " + std::to_string(limit) + " bytes its index counts";
      } else if (status == storage::RecordStatus::kShortHead) {
        damage.what = "the last " + std::to_string(left) + " bytes before the counted end (" +
                      std::to_string(limit) + ") are too short for a record";
      } else if (status == storage::RecordStatus::kBadStartMarker) {
        const uint32_t marker = left >= 4 ? storage::LoadU32(at) : 0;
        damage.what = "no record starts here (start marker " + Hex(marker) + ", expected 200)";
      } else if (status == storage::RecordStatus::kBodyOverrun) {
        damage.what = "body size " +
                      std::to_string(storage::LoadU32(at + storage::kRecordBodySizeOffset)) +
                      " runs past the counted end (" + std::to_string(limit) + ")";
      } else if (status == storage::RecordStatus::kBadTrailerSize) {
        damage.what = "the trailer's body size differs from the head's (" +
                      std::to_string(record.view.bodySize) + ")";
      } else {
        damage.what = "bad end marker (expected 100)";
      }
      return damage;
    }
    visit(record);
    offset += record.view.recordSize;
  }
  return std::nullopt;
}

}  // namespace dvrtool
