// CFileCatalog: construction, the search source, and dropping a catalogue.
#include "catalog/file_catalog.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace {

// A name may carry its own directory part with either separator ("sub\\x.FIH").
std::string NativeSeparators(std::string name) {
  std::replace(name.begin(), name.end(), '\\', platform::kPathSeparator);
  return name;
}

}  // namespace

CFileCatalog::CFileCatalog(CFileSearch* owner, KeyFrameCallback keyFrameCallback)
    : owner(owner), dayStart(platform::CTime::NoTime()), keyFrameCallback(keyFrameCallback) {}

CFileCatalog::~CFileCatalog() {
  Clear();
  indexPaths.clear();
  dataPaths.clear();
  // The date table, the lock and both (already closed) mappings go with the members.
}

void CFileCatalog::SetIndexFile(const std::string& directory, const std::string& name) {
  if (loaded.load() != 0) return;
  sourceMode = 1;
  headerPath = platform::NormalizeDirectory(directory) + NativeSeparators(name);
  indexPaths.clear();
  dataPaths.clear();
}

void CFileCatalog::AddIndexFile(const std::string& directory, const std::string& name) {
  if (loaded.load() != 0) return;
  const std::string dir = platform::NormalizeDirectory(directory);
  std::string indexPath = dir + NativeSeparators(name);
  std::string dataPath = dir + platform::FileTitleOf(name) + std::string(storage::kDataFileSuffix);
  // Only an existing file counts; a directory of that name does not.
  if (!platform::IsRegularFile(dataPath)) return;
  dataPaths.push_back(std::move(dataPath));
  indexPaths.push_back(std::move(indexPath));
  sourceMode = 0;
}

int32_t CFileCatalog::Build() {
  Clear();
  int32_t result = 0;
  if (sourceMode == 0) {
    result = BuildFromIndexList();
  } else if (sourceMode == 1) {
    result = LoadIndexFile(headerPath);
  }
  BuildDateTable();
  loaded.store(result);
  return result;
}

void CFileCatalog::Clear() {
  int32_t count;
  {
    platform::MutexLock hold(&lock);
    loaded.store(0);
    firstFile = lastFile = currentFile = kNoFile;
    // The count goes to 0 before the mappings go, so a table query that runs after this
    // point sees an empty catalogue instead of a released view.
    count = fileCount;
    fileCount = 0;
    ReleaseMappings();
  }
  CloseDataFilesUpTo(count);
}

void CFileCatalog::CloseDataFiles() { CloseDataFilesUpTo(fileCount); }

void CFileCatalog::CloseDataFilesUpTo(int32_t count) {
  headerFile.reset();
  const int32_t slots = std::min(count, kOpenFileSlots);
  for (int32_t i = 0; i < slots; ++i) {
    openFiles[i].reset();
    // Closing a large catalogue must not starve the other threads.
    platform::SleepMs(0);
  }
}

void CFileCatalog::ReleaseMappings() {
  timeTables = nullptr;
  fileInfos = nullptr;
  // Unmapped and closed, which frees the files (a half-made pair included).
  timeTableMap.reset();
  fileInfoMap.reset();
}

bool CFileCatalog::CreateMappings(uint64_t count) {
  ReleaseMappings();
  if (count == 0) return false;
  timeTableMap = platform::TempMapping::Create(count * kFileTimeTableSize);
  if (timeTableMap) fileInfoMap = platform::TempMapping::Create(count * storage::kFileInfoSize);
  if (timeTableMap && fileInfoMap) {
    timeTables = reinterpret_cast<FileTimeTable*>(timeTableMap->data());
    fileInfos = reinterpret_cast<storage::FileInfo*>(fileInfoMap->data());
    return true;
  }
  ReleaseMappings();
  return false;
}

storage::FileInfo* CFileCatalog::FileInfoAt(int32_t j) const {
  if (fileInfos == nullptr || j < 0 || j >= fileCount) return nullptr;
  return &fileInfos[j];
}

FileTimeTable* CFileCatalog::TimeTableAt(int32_t j) const {
  if (timeTables == nullptr || j < 0 || j >= fileCount) return nullptr;
  return &timeTables[j];
}
