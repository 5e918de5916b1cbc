// CFileCatalog: building the catalogue from the index files the host named.
//
// Source mode 0 (a list of index files, one record each) orders the files by start time;
// source mode 1 (one index file with several records) keeps the file's rotation order,
// starting at its oldest record. Either way the catalogue ends up as one FileInfo and one
// FileTimeTable per position in two temporary mappings, never on the heap: a catalogue of
// 40,000 files is 350 MB of tables.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "catalog/file_catalog.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace {

using platform::CTime;
using storage::FileInfo;
using storage::IndexRecord;
using storage::IndexSummary;

// Reads up to `count` bytes at `offset` and zero-fills what the file did not hold, so a
// short or truncated file never leaves bytes of an earlier record behind. A read that fails
// part way counts as a file that ends there: what it held is used, and the Status says why
// it ended. `*got` is the bytes read.
platform::Status ReadZeroPadded(const platform::File& file, uint64_t offset, void* buffer,
                                uint64_t count, uint64_t* got) {
  platform::Status status = file.ReadAt(offset, buffer, count, got);
  if (*got < count) {
    std::memset(static_cast<uint8_t*>(buffer) + *got, 0, static_cast<size_t>(count - *got));
  }
  return status;
}

// Local hour and minute of an index entry's time: its slot in a day's minute table.
// Consecutive entries of one file mostly share a local hour, so the conversion is cached
// per UTC hour whenever the zone's offset is the same at both ends of that hour.
class MinuteSlotter {
 public:
  int SlotOf(uint32_t t) {
    const int64_t hourStart = FloorDiv(t, 3600) * 3600;
    if (!valid_ || hourStart != cachedHour_) {
      cachedHour_ = hourStart;
      valid_ = OffsetAt(hourStart, &offset_) && OffsetAt(hourStart + 3599, &offsetEnd_) &&
               offset_ == offsetEnd_;
      if (!valid_) return SlowSlot(t);
    }
    const int64_t secondOfDay = FloorMod(static_cast<int64_t>(t) + offset_, 86400);
    return static_cast<int>(secondOfDay / 60);
  }

 private:
  static int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && (a < 0)); }
  static int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

  static int SlowSlot(uint32_t t) {
    const platform::LocalFields f = CTime(t).Local();
    return f.hour * 60 + f.minute;
  }
  // Offset of local time from UTC at an instant, from the local fields read back as if
  // they were UTC (pure arithmetic, no second zone conversion).
  static bool OffsetAt(int64_t t, int64_t* offset) {
    if (t < 0 || t > int64_t{UINT32_MAX}) return false;
    const platform::LocalFields f = CTime(static_cast<uint32_t>(t)).Local();
    if (f.year == 0) return false;
    const int64_t localAsUtc = platform::DaysFromCivil(f.year, f.month, f.day) * 86400 +
                               f.hour * 3600 + f.minute * 60 + f.second;
    *offset = localAsUtc - t;
    return true;
  }

  bool valid_ = false;
  int64_t cachedHour_ = 0;
  int64_t offset_ = 0;
  int64_t offsetEnd_ = 0;
};

uint64_t RecordOffset(int64_t r) {
  return storage::kIndexRecordOffset + static_cast<uint64_t>(r) * storage::kIndexRecordSize;
}

// Copies `text` into a FileInfo's path, cut to what the field holds.
void SetPath(FileInfo* info, const std::string& text) { storage::SetFileInfoPath(info, text); }

// The time-table rule, the same in both source modes: a file without recorded bytes gets
// placeholder times and no minute sums; otherwise the entries 0..lastEntry (at most 119)
// add their bytes to the slot of their local hour and minute.
void FillTimeTable(FileTimeTable* table, const FileInfo& info, uint32_t placeholder,
                   MinuteSlotter* slotter) {
  const IndexSummary& summary = info.summary;
  table->startTime = placeholder;
  table->endTime = placeholder;
  std::memset(table->minuteBytes, 0, sizeof(table->minuteBytes));
  if (summary.dataBytes == 0) {
    table->dataBytes = 0;
    return;
  }
  table->startTime = summary.startTime;
  table->endTime = summary.endTime;
  table->dataBytes = summary.dataBytes;
  const int32_t last = std::min<int32_t>(summary.lastEntry, storage::kLastEntryMax);
  for (int32_t k = 0; k <= last; ++k) {
    table->minuteBytes[slotter->SlotOf(summary.entries[k].time)] += summary.entries[k].bytes;
  }
}

// The positions of `startTimes` in catalogue order: files that hold a start time first,
// ascending and stable (equal times keep list order), then the files whose start is at or
// before the placeholder, in list order. The reader can open only the first `maxFiles`
// positions: beyond that, the newest files by start time are kept (files without a
// recording go first), so every listed day plays. The dropped positions follow the `*kept`
// kept ones, so the order stays one permutation.
std::vector<uint32_t> CatalogueOrder(const std::vector<int64_t>& startTimes, int64_t placeholder,
                                     size_t maxFiles, size_t* kept) {
  const size_t count = startTimes.size();
  std::vector<uint32_t> order(count);
  std::iota(order.begin(), order.end(), 0u);
  const auto timedEnd = std::stable_partition(
      order.begin(), order.end(), [&](uint32_t a) { return startTimes[a] > placeholder; });
  std::stable_sort(order.begin(), timedEnd,
                   [&](uint32_t a, uint32_t b) { return startTimes[a] < startTimes[b]; });
  *kept = std::min(count, maxFiles);
  if (count <= maxFiles) return order;
  const auto at = [&order](size_t k) { return order.begin() + static_cast<ptrdiff_t>(k); };
  const size_t timed = static_cast<size_t>(timedEnd - order.begin());
  const size_t keepTimed = std::min(timed, *kept);
  const size_t untimedEnd = timed + (*kept - keepTimed);
  // Newest timed files in ascending order, then untimed ones, then the dropped ones.
  std::vector<uint32_t> arranged;
  arranged.reserve(count);
  arranged.insert(arranged.end(), at(timed - keepTimed), at(timed));
  arranged.insert(arranged.end(), at(timed), at(untimedEnd));
  arranged.insert(arranged.end(), order.begin(), at(timed - keepTimed));
  arranged.insert(arranged.end(), at(untimedEnd), order.end());
  return arranged;
}

// Puts infos[order[j]] at position j, moving each 3,156-byte FileInfo once along the cycles
// of the order.
void ApplyOrder(FileInfo* infos, const std::vector<uint32_t>& order) {
  const size_t count = order.size();
  std::vector<bool> placed(count, false);
  auto spare = std::make_unique<FileInfo>();
  for (size_t start = 0; start < count; ++start) {
    if (placed[start] || order[start] == start) {
      placed[start] = true;
      continue;
    }
    std::memcpy(spare.get(), &infos[start], sizeof(FileInfo));
    for (size_t k = start;;) {
      placed[k] = true;
      const size_t from = order[k];
      if (from == start) {
        std::memcpy(&infos[k], spare.get(), sizeof(FileInfo));
        break;
      }
      std::memcpy(&infos[k], &infos[from], sizeof(FileInfo));
      k = from;
    }
  }
}

}  // namespace

platform::Status CFileCatalog::ReadFirstIndexRecord(const platform::File& file,
                                                    IndexRecord* record) {
  uint64_t got = 0;
  platform::Status status =
      ReadZeroPadded(file, storage::kIndexRecordOffset, record, sizeof(*record), &got);
  if (!status.IsEndOfFile()) return status;
  const int64_t size = file.Size();
  if (size == 0) return platform::Status();
  return platform::Status::Invalid("read", file.path(),
                                   "shorter than an index file (" +
                                       std::to_string(std::max<int64_t>(size, 0)) + " of " +
                                       std::to_string(storage::kIndexFileSize) + " bytes)");
}

platform::Status CFileCatalog::CheckIndexFile(const std::string& path) {
  platform::Status status;
  std::unique_ptr<platform::File> file = platform::File::OpenReadOnly(path, &status);
  if (!file) return status;
  auto record = std::make_unique<IndexRecord>();
  return ReadFirstIndexRecord(*file, record.get());
}

std::vector<int64_t> CFileCatalog::StageIndexList() {
  // The records are read straight into FileInfo slots of the mapping in list order (the
  // mapping is sized for every listed file; unreadable files leave its tail unused).
  std::vector<int64_t> startTimes;
  startTimes.reserve(indexPaths.size());
  auto record = std::make_unique<IndexRecord>();
  for (size_t i = 0; i < indexPaths.size(); ++i) {
    platform::Status opened;
    std::unique_ptr<platform::File> file = platform::File::OpenReadOnly(indexPaths[i], &opened);
    if (!file) {
      Note(std::move(opened));
      continue;
    }
    // The 48-byte FileHeader is not examined; only the first record counts.
    Note(ReadFirstIndexRecord(*file, record.get()));
    FileInfo& info = view.infos[startTimes.size()];
    std::memset(&info, 0, sizeof(info));
    SetPath(&info, dataPaths[i]);
    std::memcpy(&info.summary, &record->summary, sizeof(info.summary));
    // Files without records go last; every file with records is ordered by its start,
    // whatever the clock said (a stamp of 1970 or 2000 included).
    startTimes.push_back(record->summary.dataBytes != 0 ? int64_t{record->summary.startTime}
                                                        : int64_t{-1});
  }
  return startTimes;
}

void CFileCatalog::FillTimeTables() {
  const uint32_t placeholder = CTime::NoTime().seconds();
  MinuteSlotter slotter;
  for (int32_t j = 0; j < view.count; ++j) {
    FillTimeTable(&view.tables[j], view.infos[j], placeholder, &slotter);
  }
}

platform::Status CFileCatalog::BuildFromIndexList() {
  platform::MutexLock hold(&lock);
  if (indexPaths.empty()) return platform::Status();
  view.count = 0;
  oldestFile = 0;
  platform::Status mapped = CreateMappings(indexPaths.size());
  if (!mapped.ok()) return mapped;
  const std::vector<int64_t> startTimes = StageIndexList();
  if (startTimes.empty() || startTimes.size() > static_cast<size_t>(INT32_MAX)) {
    ReleaseMappings();
    return platform::Status();
  }
  size_t kept = 0;
  ApplyOrder(view.infos, CatalogueOrder(startTimes, -1, static_cast<size_t>(maxFiles), &kept));
  view.count = static_cast<int32_t>(kept);
  FillTimeTables();
  return platform::Status();
}

platform::Status CFileCatalog::ScanIndexFile(const std::string& path, int32_t* recordTotal) {
  const uint32_t placeholder = CTime::NoTime().seconds();
  platform::Status opened;
  std::unique_ptr<platform::File> file = platform::File::OpenReadOnly(path, &opened);
  if (!file) {
    Note(std::move(opened));
    return platform::Status();
  }
  storage::FileHeader header;
  uint64_t got = 0;
  platform::Status read = ReadZeroPadded(*file, 0, &header, sizeof(header), &got);
  const int64_t size = file->Size();
  // Never trust the count beyond the records the file really holds.
  uint64_t present = 0;
  if (size > static_cast<int64_t>(storage::kFileHeaderSize)) {
    present = (static_cast<uint64_t>(size) - storage::kFileHeaderSize) / storage::kIndexRecordSize;
  }
  const uint64_t count = std::min<uint64_t>(std::min<uint64_t>(header.recordCount, present),
                                            static_cast<uint64_t>(INT32_MAX));
  if (got == 0 && !read.ok() && !read.IsEndOfFile()) return read;
  if (got == 0 || count == 0) {
    return platform::Status::Invalid("read", path,
                                     "not an index file (its header counts " +
                                         std::to_string(header.recordCount) +
                                         " records, it holds " + std::to_string(present) + ")");
  }
  // Beyond maxFiles only the newest records are catalogued (see CatalogueOrder).
  *recordTotal = static_cast<int32_t>(count);
  const uint64_t kept = std::min<uint64_t>(count, static_cast<uint64_t>(maxFiles));
  platform::Status mapped = CreateMappings(kept);
  if (!mapped.ok()) return mapped;
  view.count = static_cast<int32_t>(kept);
  for (int32_t j = 0; j < view.count; ++j) {
    view.tables[j].startTime = view.tables[j].endTime = placeholder;
    view.tables[j].dataBytes = 0;
  }
  oldestFile = 0;
  bool found = false;
  uint32_t best = 0;
  auto record = std::make_unique<IndexRecord>();
  // A record that cannot be read is passed over; the first cause is kept.
  platform::Status unread;
  for (int32_t r = 0; r < *recordTotal; ++r) {
    platform::Status status =
        ReadZeroPadded(*file, RecordOffset(r), record.get(), sizeof(*record), &got);
    if (unread.ok()) unread = std::move(status);
    if (got == 0) continue;
    const IndexSummary& s = record->summary;
    if (s.dataBytes != 0 && (!found || s.startTime < best)) {
      oldestFile = r;
      best = s.startTime;
      found = true;
    }
  }
  Note(std::move(unread));
  return platform::Status();
}

platform::Status CFileCatalog::LoadIndexFile(const std::string& path) {
  // First pass: the record count, the mappings and the oldest record.
  int32_t recordTotal = 0;
  {
    platform::MutexLock hold(&lock);
    platform::Status scanned = ScanIndexFile(path, &recordTotal);
    if (!scanned.ok()) return scanned;
  }
  headerFile.reset();

  // Second pass: the index file stays open as headerFile while the catalogue stands.
  platform::MutexLock hold(&lock);
  if (recordTotal == 0) return platform::Status();  // not opened: already noted
  platform::Status opened;
  std::unique_ptr<platform::File> file = platform::File::OpenReadOnly(path, &opened);
  if (!file) {
    Note(std::move(opened));
    return platform::Status();
  }
  headerFile = std::move(file);
  if (view.infos == nullptr || view.tables == nullptr) return platform::Status();
  const std::string directory = platform::DirectoryOf(path);
  refusedNames = 0;
  auto record = std::make_unique<IndexRecord>();
  const int64_t skipped = int64_t{recordTotal} - view.count;
  platform::Status unread;
  for (int32_t j = 0; j < view.count; ++j) {
    const int64_t r = (int64_t{oldestFile} + skipped + j) % recordTotal;
    uint64_t got = 0;
    platform::Status status =
        ReadZeroPadded(*headerFile, RecordOffset(r), record.get(), sizeof(*record), &got);
    if (unread.ok()) unread = std::move(status);
    FileInfo& info = view.infos[j];
    std::memset(&info, 0, sizeof(info));
    if (got == 0) continue;  // unread: an empty position, its cause kept
    // A record names a data file beside the index file. A name that would lead out of that
    // directory (a separator, "..") is refused: the record stays empty (no path, no records)
    // and is counted.
    const std::string name = storage::IndexRecordName(*record);
    if (!storage::IsPlainFileName(name)) {
      ++refusedNames;
      continue;
    }
    std::memcpy(&info.summary, &record->summary, sizeof(info.summary));
    SetPath(&info, directory + name);
  }
  Note(std::move(unread));
  if (refusedNames != 0) {
    Note(platform::Status::Invalid(
        "read", path,
        std::to_string(refusedNames) + " records name a file outside the index file's directory"));
  }
  FillTimeTables();
  return platform::Status();
}
