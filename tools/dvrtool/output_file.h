// Where a command writes its product (an export, a played stream, a picture): a file, or
// standard output for "-". A file is written under a temporary name beside it and renamed
// into place by Commit, so a failed or empty result never leaves a file behind and never
// replaces what was there; an existing file is refused unless the user said -y.
#pragma once

#include <fstream>
#include <ostream>
#include <string>

namespace dvrtool {

class COutputFile {
 public:
  // Throws UsageError when `path` exists and `overwrite` is false, or cannot be created.
  COutputFile(const std::string& path, bool overwrite);
  ~COutputFile();  // removes the temporary file unless committed
  COutputFile(const COutputFile&) = delete;
  COutputFile& operator=(const COutputFile&) = delete;

  bool toStdout() const { return path_ == "-"; }
  const std::string& path() const { return path_; }
  // The path to write to: the temporary file, or "pipe:1" for standard output (for writers
  // that take a name).
  std::string writePath() const { return toStdout() ? "pipe:1" : temporary_; }
  // A stream on the destination; for writers that open writePath() themselves, Release() it
  // first.
  std::ostream& stream();
  void Release();
  // Flushes and puts the file in place; RuntimeError when that fails.
  void Commit();

 private:
  std::string path_;
  std::string temporary_;
  std::ofstream file_;
  bool committed_ = false;
};

}  // namespace dvrtool
