// CFileCatalog: construction, the search source, and dropping a catalogue.
#include "catalog/file_catalog.h"

#include <algorithm>
#include <cerrno>

#include "platform/file.h"
#include "platform/paths.h"

namespace {

// A name may carry its own directory part with either separator ("sub\\x.FIH").
std::string NativeSeparators(std::string name) {
  std::replace(name.begin(), name.end(), '\\', platform::kPathSeparator);
  return name;
}

}  // namespace

CFileCatalog::CFileCatalog() = default;

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

platform::Status CFileCatalog::Build() {
  Clear();
  problems.clear();
  platform::Status built = sourceMode == 1 ? LoadIndexFile(headerPath) : BuildFromIndexList();
  const bool stands = built.ok();
  Note(std::move(built));
  BuildDateTable();
  loaded.store(stands ? 1 : 0);
  return problems.empty() ? platform::Status() : problems.front();
}

void CFileCatalog::Note(platform::Status status) {
  if (!status.ok()) problems.push_back(std::move(status));
}

void CFileCatalog::Clear() {
  {
    platform::MutexLock hold(&lock);
    loaded.store(0);
    // The count goes to 0 before the mappings go, so a table query that runs after this
    // point sees an empty catalogue instead of a released view.
    view.count = 0;
    ReleaseMappings();
  }
  headerFile.reset();
}

void CFileCatalog::ReleaseMappings() {
  view.tables = nullptr;
  view.infos = nullptr;
  // Unmapped and closed, which frees the files (a half-made pair included).
  timeTableMap.reset();
  fileInfoMap.reset();
}

platform::Status CFileCatalog::CreateMappings(uint64_t count) {
  ReleaseMappings();
  if (count == 0) return platform::Status::Invalid("map", "", "an empty catalogue");
  timeTableMap = platform::TempMapping::Create(count * kFileTimeTableSize);
  if (timeTableMap) fileInfoMap = platform::TempMapping::Create(count * storage::kFileInfoSize);
  if (timeTableMap && fileInfoMap) {
    view.tables = reinterpret_cast<FileTimeTable*>(timeTableMap->data());
    view.infos = reinterpret_cast<storage::FileInfo*>(fileInfoMap->data());
    return platform::Status();
  }
  // Taken before the release, which makes system calls of its own.
  const int error = errno;
  platform::Status failed = platform::Status::FromErrno("map", platform::TempDirectory(), error);
  ReleaseMappings();
  return failed;
}

storage::FileInfo* CFileCatalog::FileInfoAt(int32_t j) const {
  if (view.infos == nullptr || j < 0 || j >= view.count) return nullptr;
  return &view.infos[j];
}

FileTimeTable* CFileCatalog::TimeTableAt(int32_t j) const {
  if (view.tables == nullptr || j < 0 || j >= view.count) return nullptr;
  return &view.tables[j];
}
