#include "recording/rotation_set.h"

#include <algorithm>
#include <memory>
#include <tuple>
#include <utility>

#include "platform/local_time.h"
#include "storage/formats.h"

namespace {

// What the index file of a data file says about its records: the bytes it counts (0 when it
// has none or cannot be read) and the time of the last one.
struct IndexedRecords {
  uint32_t dataBytes = 0;
  uint32_t endTime = 0;
};

IndexedRecords ReadIndexedRecords(const std::string& dataPath) {
  IndexedRecords result;
  const std::string indexPath = storage::IndexFileName(dataPath);
  if (indexPath.empty()) return result;
  std::unique_ptr<platform::File> index = platform::File::OpenReadOnly(indexPath);
  storage::IndexSummary summary;
  if (!index || !index->ReadAt(storage::kIndexSummaryOffset, &summary, sizeof(summary)).ok()) {
    return result;
  }
  result.dataBytes = summary.dataBytes;
  result.endTime = summary.endTime;
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
    std::string path = storage::FileInfoPath(info);
    if (!path.empty()) entries_.push_back({std::move(path), static_cast<int32_t>(n)});
  }
  return recordCount != 0;
}

int32_t RotationSet::FindNewestOfPaths() const {
  // Compared at the file system's full precision (no round trip through calendar fields,
  // which would also reorder the repeated hour of an autumn change). A file whose index
  // counts no recorded bytes never wins over one that counts some: when recording stops, the
  // closer has already created the next file, which can be written later than (or, in whole
  // seconds, as late as) the file just recorded, and a START that took it for the newest
  // would go on in the file after it (wrapping onto the file just recorded in a set of two).
  // Last-write times have the granularity of the file system's clock tick, so two files
  // written within a few milliseconds can tie: the one whose index holds the later records
  // wins then, and after that the later file of the set.
  int32_t newestPosition = -1;
  std::tuple<bool, int64_t, int32_t> newest{false, 0, 0};
  for (size_t i = 0; i < entries_.size(); ++i) {
    int64_t written = 0;
    if (!platform::LastWriteTimeNs(entries_[i].path, &written)) continue;
    const IndexedRecords indexed = ReadIndexedRecords(entries_[i].path);
    const std::tuple<bool, int64_t, int32_t> key{indexed.dataBytes > 0, written,
                                                 indexed.dataBytes > 0 ? indexed.endTime : 0};
    if (newestPosition < 0 || key >= newest) {
      newest = key;
      newestPosition = static_cast<int32_t>(i);
    }
  }
  return newestPosition;
}

int32_t RotationSet::FindNewestOfHeaderFile(const platform::File& header) const {
  // The newest record is turned into its list position; a record that is not listed is no
  // file of the set.
  auto listPosition = [this](uint32_t record) -> int32_t {
    auto it = std::lower_bound(
        entries_.begin(), entries_.end(), static_cast<int32_t>(record),
        [](const Entry& entry, int32_t number) { return entry.headerRecord < number; });
    if (it == entries_.end() || it->headerRecord != static_cast<int32_t>(record)) return -1;
    return static_cast<int32_t>(it - entries_.begin());
  };
  const uint32_t recordCount = ReadHeaderFileRecordCount(header);
  const uint32_t noTime = platform::CTime::NoTime().seconds();
  uint32_t newest = noTime;
  int32_t newestPosition = -1;
  storage::FileInfo info;
  for (uint32_t n = 0; n < recordCount; ++n) {
    if (!header.ReadAt(storage::HeaderFileInfoOffset(n), &info, sizeof(info)).ok()) break;
    const uint32_t startTime = info.summary.startTime;
    if (static_cast<int32_t>(info.summary.dataBytes) > 0 && startTime != noTime &&
        startTime >= newest) {  // ties go to the later record
      const int32_t position = listPosition(n);
      if (position >= 0) {
        newest = startTime;
        newestPosition = position;
      }
    }
  }
  return newestPosition;
}
