#include "recorder/path_list.h"

#include <algorithm>
#include <cstring>
#include <utility>

CPathList::CPathList(std::string name) : name_(std::move(name)) {}

CPathList::~CPathList() = default;

void CPathList::AddPath(const std::string& path) {
  platform::MutexLock hold(&lock);
  paths.push_back(path);
}

void CPathList::RemovePath(const std::string& path) {
  platform::MutexLock hold(&lock);
  auto it = std::find(paths.begin(), paths.end(), path);
  if (it != paths.end()) paths.erase(it);
}

void CPathList::ClearPaths() {
  platform::MutexLock hold(&lock);
  paths.clear();
}

int32_t CPathList::GetPathCount() {
  platform::MutexLock hold(&lock);
  return static_cast<int32_t>(paths.size());
}

int32_t CPathList::GetPath(int32_t index, char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0 || index < 0) return 0;
  platform::MutexLock hold(&lock);
  if (static_cast<size_t>(index) >= paths.size()) return 0;
  const std::string& path = paths[static_cast<size_t>(index)];
  if (path.size() >= static_cast<size_t>(size)) return 0;
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return 1;
}

std::vector<std::string> CPathList::CopyPaths() {
  platform::MutexLock hold(&lock);
  return paths;
}
