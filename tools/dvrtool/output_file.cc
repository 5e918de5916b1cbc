#include "output_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "errors.h"

namespace dvrtool {

COutputFile::COutputFile(const std::string& path, bool overwrite) : path_(path) {
  if (path.empty()) throw UsageError("empty output file name");
  if (toStdout()) return;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw UsageError(path + ": is a directory");
    if (!overwrite) throw UsageError(path + ": file exists (add -y to overwrite it)");
  }
  std::string pattern = path + ".partXXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw UsageError("cannot write " + PathError(path));
  ::fchmod(
      fd, 0644 & ~[] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return mask;
      }());
  ::close(fd);
  temporary_ = pattern;
  file_.open(temporary_, std::ios::binary | std::ios::trunc);
  if (!file_) throw UsageError("cannot write " + PathError(temporary_));
}

COutputFile::~COutputFile() {
  if (!committed_ && !temporary_.empty()) {
    file_.close();
    ::unlink(temporary_.c_str());
  }
}

std::ostream& COutputFile::stream() { return toStdout() ? std::cout : file_; }

void COutputFile::Release() {
  if (file_.is_open()) file_.close();
}

void COutputFile::Commit() {
  if (toStdout()) {
    if (!std::cout.flush()) throw RuntimeError("writing to standard output failed");
    committed_ = true;
    return;
  }
  if (file_.is_open()) {
    file_.flush();
    if (!file_) throw RuntimeError("writing " + path_ + " failed");
    file_.close();
  }
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    throw RuntimeError("cannot put " + PathError(path_) + " in place");
  }
  committed_ = true;
}

}  // namespace dvrtool
