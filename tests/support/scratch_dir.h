// A fresh directory under $TMPDIR (default /tmp) for one test, removed with its contents
// at the end, and small helpers for the files tests put in it.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace testsupport {

class ScratchDir {
 public:
  ScratchDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/rectest_XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern + "/";
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The directory with a trailing '/'; root() is the directory without it.
  const std::string& path() const { return path_; }
  std::string root() const { return path_.empty() ? path_ : path_.substr(0, path_.size() - 1); }
  std::string operator/(const std::string& name) const { return path_ + name; }
  // Makes the subdirectory `name` and returns it with a trailing '/'.
  std::string Sub(const std::string& name) const {
    ::mkdir((path_ + name).c_str(), 0700);
    return path_ + name + "/";
  }

  static void WriteText(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  }
  static std::string ReadText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
};

}  // namespace testsupport
