// CPathList: a recorder's list of paths, in the order the host added them (a path added
// twice is held twice), and the recorder's name. The rotation set is read from it in
// path-list mode, and the deletion worker reads the same entries as directories from its
// own thread, so every access to the entries goes through the list's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mutex.h"

class CPathList {
 public:
  explicit CPathList(std::string name);
  virtual ~CPathList();
  CPathList(const CPathList&) = delete;
  CPathList& operator=(const CPathList&) = delete;

  // The recorder's name, fixed at creation.
  const std::string& name() const { return name_; }

  void AddPath(const std::string& path);
  // Removes the first entry equal to `path` (exact, case-sensitive); nothing when none is.
  void RemovePath(const std::string& path);
  void ClearPaths();
  int32_t GetPathCount();
  // Copies entry `index` with its terminator when it fits `size` bytes: 1; otherwise 0 and
  // the buffer is untouched.
  int32_t GetPath(int32_t index, char* buffer, int32_t size);
  // Every entry, copied under one hold of the lock.
  std::vector<std::string> CopyPaths();

 private:
  const std::string name_;
  platform::Mutex lock;
  std::vector<std::string> paths GUARDED_BY(lock);
};
