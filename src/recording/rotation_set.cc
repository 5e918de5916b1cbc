#include "recording/rotation_set.h"

#include <algorithm>
#include <memory>
#include <tuple>
#include <utility>

#include "platform/local_time.h"
#include "storage/formats.h"

namespace {

// What the index file of a data file says about its records: whether it could be read, the
// bytes it counts (0 when it has none), the time of the last one and the file's place in the
// order the set was recorded.
struct IndexedRecords {
  bool readable = false;
  uint32_t dataBytes = 0;
  uint32_t endTime = 0;
  uint32_t sequence = 0;
};

IndexedRecords ReadIndexedRecords(const std::string& dataPath) {
  IndexedRecords result;
  const std::string indexPath = storage::IndexFileName(dataPath);
  if (indexPath.empty()) return result;
  std::unique_ptr<platform::File> index = platform::File::OpenReadOnly(indexPath);
  if (!index) return result;
  result.readable = true;
  storage::FileHeader header;
  if (index->ReadAt(0, &header, sizeof(header)).ok()) result.sequence = header.sequence;
  storage::IndexSummary summary;
  if (index->ReadAt(storage::kIndexSummaryOffset, &summary, sizeof(summary)).ok()) {
    result.dataBytes = summary.dataBytes;
    result.endTime = summary.endTime;
  }
  return result;
}

}  // namespace

uint32_t ReadHeaderFileRecordCount(const platform::File& file) {
  storage::HeaderFileHead head;
  if (!file.ReadAt(0, &head, sizeof(head)).ok()) return 0;
  return head.recordCount;
}

bool RotationSet::LoadFromPaths(std::vector<std::string> paths) {
  entries_.clear();
  for (std::string& path : paths) {
    if (!platform::IsDirectory(path)) entries_.push_back({std::move(path), -1});
  }
  return !entries_.empty();
}

bool RotationSet::LoadFromHeaderFile(const platform::File& header) {
  entries_.clear();
  const uint32_t recordCount = ReadHeaderFileRecordCount(header);
  storage::FileInfo info;
  for (uint32_t n = 0; n < recordCount; ++n) {
    if (!header.ReadAt(storage::HeaderFileInfoOffset(n), &info, sizeof(info)).ok()) break;
    // A path that steps up out of a directory could name any file on the machine: such a
    // record is no file of the set.
    std::string path = storage::FileInfoPath(info);
    if (!path.empty() && storage::HasNoParentStep(path)) {
      entries_.push_back({std::move(path), static_cast<int32_t>(n)});
    }
  }
  return recordCount != 0;
}

int32_t RotationSet::FindNewestOfPaths() {
  // The newest file is the one the recorder numbered last among those that hold records;
  // files of an older build (never numbered) follow by the time of their last record, then
  // by their place in the set. Neither the clock nor the file system decides: a clock step
  // back, or a power cut that keeps the data but not the last-write times, cannot make
  // START record over the newest recording. A file that holds no records never wins over
  // one that does: the closer prepares the next file before the recording stops, and a
  // START that took it for the newest would go on in the file after it.
  highestSequence_ = 0;
  int32_t newestPosition = -1;
  std::tuple<bool, uint32_t, int32_t> newest{false, 0, 0};
  for (size_t i = 0; i < entries_.size(); ++i) {
    // A data file without a readable index file still counts, as one that holds nothing.
    const IndexedRecords indexed = ReadIndexedRecords(entries_[i].path);
    if (!indexed.readable && !platform::IsRegularFile(entries_[i].path)) continue;
    highestSequence_ = std::max(highestSequence_, indexed.sequence);
    const bool recorded = indexed.dataBytes > 0;
    const std::tuple<bool, uint32_t, int32_t> key{recorded, indexed.sequence,
                                                  recorded ? indexed.endTime : 0};
    if (newestPosition < 0 || key >= newest) {
      newest = key;
      newestPosition = static_cast<int32_t>(i);
    }
  }
  return newestPosition;
}

int32_t RotationSet::FindNewestOfHeaderFile(const platform::File& header) {
  // The newest record is turned into its list position; a record that is not listed is no
  // file of the set.
  auto listPosition = [this](uint32_t record) -> int32_t {
    auto it = std::lower_bound(
        entries_.begin(), entries_.end(), static_cast<int32_t>(record),
        [](const Entry& entry, int32_t number) { return entry.headerRecord < number; });
    if (it == entries_.end() || it->headerRecord != static_cast<int32_t>(record)) return -1;
    return static_cast<int32_t>(it - entries_.begin());
  };
  // The order the recorder numbered the files in (kept in each file's index file) comes
  // first, then the start time of the record, as with a set from the path list.
  highestSequence_ = 0;
  for (const Entry& entry : entries_) {
    highestSequence_ = std::max(highestSequence_, ReadIndexedRecords(entry.path).sequence);
  }
  const uint32_t recordCount = ReadHeaderFileRecordCount(header);
  const uint32_t noTime = platform::CTime::NoTime().seconds();
  std::pair<uint32_t, uint32_t> newest{0, noTime};
  int32_t newestPosition = -1;
  storage::FileInfo info;
  for (uint32_t n = 0; n < recordCount; ++n) {
    if (!header.ReadAt(storage::HeaderFileInfoOffset(n), &info, sizeof(info)).ok()) break;
    const uint32_t startTime = info.summary.startTime;
    if (static_cast<int32_t>(info.summary.dataBytes) <= 0 || startTime == noTime) continue;
    const int32_t position = listPosition(n);
    if (position < 0) continue;
    const std::pair<uint32_t, uint32_t> key{
        ReadIndexedRecords(entries_[static_cast<size_t>(position)].path).sequence, startTime};
    if (newestPosition < 0 || key >= newest) {  // ties go to the later record
      newest = key;
      newestPosition = position;
    }
  }
  return newestPosition;
}
