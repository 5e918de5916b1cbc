// The scan of existing files at each start: which data files make up the rotation set
// (from the path list or from the header file) and which of them was written last, so
// that recording goes on in the file after it instead of overwriting recent recordings.
#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/local_time.h"
#include "recorder/path_list.h"
#include "recorder/recorder.h"
#include "storage/formats.h"

namespace {

enum FileSetSource : int32_t { kFromPathList = 0, kFromHeaderFile = 1 };

// Reads the head of the header file from offset 0 and returns its record count; 0 when the
// head is short or the count is 0.
uint32_t ReadHeaderFileRecordCount(platform::File& file) {
  storage::HeaderFileHead head;
  if (!file.ReadAt(0, &head, sizeof(head)).ok()) return 0;
  return head.recordCount;
}

// What the index file of a data file says about its records: the bytes it counts (0 when it
// has none or cannot be read) and the time of the last one.
struct IndexedRecords {
  uint32_t dataBytes = 0;
  int32_t endTime = 0;
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

int32_t CRecorder::LoadFileList() {
  fileNames.clear();
  fileRecordNumbers.clear();
  switch (fileSetSource.load()) {
    case kFromPathList:
      return LoadFileListFromPaths();
    case kFromHeaderFile:
      return LoadFileListFromHeaderFile();
    default:
      return 0;
  }
}

int32_t CRecorder::LoadFileListFromPaths() {
  if (!pathList) return 0;
  // One copy under the list's lock: a host thread removing paths meanwhile cannot leave
  // fileCount larger than the list that was read.
  std::vector<std::string> paths = pathList->CopyPaths();
  for (std::string& path : paths) {
    // A directory in the list tells the deletion worker where to look; it is never a file
    // of the rotation set.
    if (platform::IsDirectory(path)) continue;
    fileRecordNumbers.push_back(static_cast<int32_t>(fileNames.size()));
    fileNames.push_back(std::move(path));
    platform::SleepMs(0);
  }
  fileCount = static_cast<int32_t>(fileNames.size());
  return fileNames.empty() ? 0 : 1;
}

int32_t CRecorder::LoadFileListFromHeaderFile() {
  headerFile = platform::File::Open(headerFilePath, platform::File::Mode::kOpenExisting,
                                    /*writeThrough=*/true);
  if (!headerFile) return 0;
  const uint32_t recordCount = ReadHeaderFileRecordCount(*headerFile);
  if (recordCount == 0) {
    headerFile.reset();
    return 0;
  }
  // Records are read one at a time up to the file's real end, whatever the head claims.
  storage::FileInfo info;
  for (uint32_t n = 0; n < recordCount; ++n) {
    if (!headerFile->ReadAt(storage::HeaderFileInfoOffset(n), &info, sizeof(info)).ok()) break;
    std::string path = storage::FileInfoPath(info);
    if (!path.empty()) {
      fileNames.push_back(std::move(path));
      fileRecordNumbers.push_back(static_cast<int32_t>(n));
    }
    platform::SleepMs(0);
  }
  fileCount = static_cast<int32_t>(fileNames.size());
  return 1;
}

int32_t CRecorder::FindNewestFile() {
  currentFile = -1;
  switch (fileSetSource.load()) {
    case kFromPathList:
      return FindNewestFromPaths();
    case kFromHeaderFile:
      return FindNewestFromHeaderFile();
    default:
      return 1;
  }
}

int32_t CRecorder::FindNewestFromPaths() {
  if (fileCount < 1) return 1;
  // The newest file is the one written last, compared at the file system's full precision
  // (no round trip through calendar fields, which would also reorder the repeated hour of an
  // autumn change). A file whose index counts no recorded bytes never wins over one that
  // counts some: when recording stops, the closer has already created the next file, which
  // can be written later than (or, in whole seconds, as late as) the file just recorded, and
  // a START that took it for the newest would go on in the file after it (wrapping onto the
  // file just recorded in a set of two).
  // The file system keeps last-write times at the granularity of its clock tick, so two files
  // written within a few milliseconds can tie: the one whose index holds the later records
  // wins then, and after that the later file of the set.
  std::tuple<bool, int64_t, int32_t> newest{false, 0, 0};
  for (size_t i = 0; i < fileNames.size(); ++i) {
    int64_t written = 0;
    if (platform::LastWriteTimeNs(fileNames[i], &written)) {
      const IndexedRecords indexed = ReadIndexedRecords(fileNames[i]);
      const std::tuple<bool, int64_t, int32_t> key{indexed.dataBytes > 0, written,
                                                   indexed.dataBytes > 0 ? indexed.endTime : 0};
      if (currentFile < 0 || key >= newest) {
        newest = key;
        currentFile = static_cast<int32_t>(i);
      }
    }
    platform::SleepMs(0);
  }
  return 1;
}

int32_t CRecorder::FindNewestFromHeaderFile() {
  if (!headerFile) return 1;
  const uint32_t recordCount = ReadHeaderFileRecordCount(*headerFile);
  if (recordCount == 0) {
    headerFile.reset();
    return 0;
  }
  // The rotation set lists only records with a path, and a record's list position differs
  // from its record number once an earlier record has none: the newest record is turned
  // into its list position, and a record that is not listed is no file of the set.
  auto listPosition = [this](uint32_t record) -> int32_t {
    auto it = std::lower_bound(fileRecordNumbers.begin(), fileRecordNumbers.end(),
                               static_cast<int32_t>(record));
    if (it == fileRecordNumbers.end() || *it != static_cast<int32_t>(record)) return -1;
    return static_cast<int32_t>(it - fileRecordNumbers.begin());
  };
  const int32_t noTime = platform::CTime::NoTime().seconds();
  int32_t newest = noTime;
  storage::FileInfo info;
  for (uint32_t n = 0; n < recordCount; ++n) {
    if (!headerFile->ReadAt(storage::HeaderFileInfoOffset(n), &info, sizeof(info)).ok()) {
      break;  // the real end of the file
    }
    const int32_t startTime = info.summary.startTime;
    if (static_cast<int32_t>(info.summary.dataBytes) > 0 && startTime != noTime &&
        startTime >= newest) {  // ties go to the later record
      const int32_t position = listPosition(n);
      if (position >= 0) {
        newest = startTime;
        currentFile = position;
      }
    }
    platform::SleepMs(0);
  }
  return 1;
}
