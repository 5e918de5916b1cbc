// Helpers of the dvrtool tests: a fresh scratch directory per test, running the built
// dvrtool (and ffmpeg / rsvg-convert) as a child process with its output captured, and small
// readers of the files a recording leaves.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "storage/formats.h"

namespace tooltest {

struct RunResult {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  std::string output;
};

// Runs a shell command line with stderr folded into stdout.
inline RunResult RunShell(const std::string& command) {
  RunResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.output.append(buffer, n);
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

// Quotes one argument for the shell.
inline std::string Quote(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline RunResult Dvrtool(const std::vector<std::string>& args) {
  std::string command = Quote(DVRTOOL_PATH);
  for (const std::string& a : args) command += " " + Quote(a);
  return RunShell(command);
}

inline bool HaveProgram(const std::string& name) {
  return RunShell("command -v " + name + " >/dev/null").status == 0;
}

// A fresh directory without a '.' in its path, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/dvrtest_XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path, size_t limit = SIZE_MAX) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes;
  char c;
  while (bytes.size() < limit && in.get(c)) bytes.push_back(static_cast<uint8_t>(c));
  return bytes;
}

inline void WriteBytesAt(const std::string& path, uint64_t offset, const void* data, size_t n) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  ASSERT_TRUE(f.is_open()) << path;
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
  ASSERT_TRUE(f.good());
}

inline storage::IndexRecord ReadIndexRecord(const std::string& indexPath) {
  storage::IndexRecord record{};
  std::ifstream in(indexPath, std::ios::binary);
  in.seekg(storage::kIndexRecordOffset);
  in.read(reinterpret_cast<char*>(&record), sizeof(record));
  EXPECT_TRUE(in.good()) << indexPath;
  return record;
}

// Offsets of the records in the first `dataBytes` bytes of a data file.
inline std::vector<uint64_t> RecordOffsets(const std::string& dataPath, uint32_t dataBytes) {
  const std::vector<uint8_t> bytes = ReadBytes(dataPath, dataBytes);
  std::vector<uint64_t> offsets;
  uint64_t at = 0;
  storage::RecordView view;
  while (at < bytes.size() && storage::ParseRecord(bytes.data() + at, bytes.size() - at, &view) ==
                                  storage::RecordStatus::kOk) {
    offsets.push_back(at);
    at += view.recordSize;
  }
  return offsets;
}

}  // namespace tooltest
