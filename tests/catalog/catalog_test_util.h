// Helpers of the catalogue tests: a fresh directory per test, a TZ switch, and index files
// written from the stored structures of storage/formats.h.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/local_time.h"
#include "storage/formats.h"

namespace catalog_test {

// A directory /tmp/rectest_XXXXXX (no dot in it), removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/rectest_XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // The directory with a trailing '/'.
  std::string Path() const { return path_ + "/"; }
  std::string Sub(const std::string& name) const {
    const std::string sub = Path() + name;
    ::mkdir(sub.c_str(), 0700);
    return sub + "/";
  }

 private:
  std::string path_;
};

// Sets an environment variable for a scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = ::getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    ::setenv(name, value.c_str(), 1);
    ::tzset();
  }
  ~ScopedEnv() {
    if (hadOld_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
    ::tzset();
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool hadOld_ = false;
  std::string old_;
};

inline int32_t Local(int year, int month, int day, int hour, int minute, int second = 0) {
  return platform::CTime::FromLocal(year, month, day, hour, minute, second, -1).seconds();
}

// One minute entry of an index summary.
struct Entry {
  int32_t time = 0;
  uint32_t bytes = 0;
  uint32_t reason1 = 0, reason2 = 0, reason4 = 0, audio = 0;
};

// A summary as the writer leaves it: start at the first entry, end at the last.
inline storage::IndexSummary MakeSummary(const std::vector<Entry>& entries,
                                         uint32_t dataBytes = 1000) {
  storage::IndexSummary s = storage::MakeEmptySummary();
  if (entries.empty()) return s;
  s.startTime = entries.front().time;
  s.endTime = entries.back().time + 30;
  s.dataBytes = dataBytes;
  s.lastEntry = static_cast<int32_t>(entries.size()) - 1;
  for (size_t i = 0; i < entries.size() && i < storage::kIndexEntryCount; ++i) {
    s.entries[i].time = entries[i].time;
    s.entries[i].bytes = entries[i].bytes;
    s.entries[i].reason1Mask = entries[i].reason1;
    s.entries[i].reason2Mask = entries[i].reason2;
    s.entries[i].reason4Mask = entries[i].reason4;
    s.entries[i].audioMask = entries[i].audio;
  }
  return s;
}

inline void WriteBytes(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// An index file with `records` and the given record count in its header.
inline void WriteIndexFile(const std::string& path,
                           const std::vector<storage::IndexRecord>& records, uint32_t recordCount) {
  std::vector<uint8_t> bytes(storage::kFileHeaderSize + records.size() * storage::kIndexRecordSize);
  const storage::FileHeader header = storage::MakeFileHeader(recordCount);
  std::memcpy(bytes.data(), &header, sizeof(header));
  for (size_t r = 0; r < records.size(); ++r) {
    std::memcpy(bytes.data() + storage::kIndexRecordOffset + r * storage::kIndexRecordSize,
                &records[r], sizeof(storage::IndexRecord));
  }
  WriteBytes(path, bytes.data(), bytes.size());
}

inline storage::IndexRecord MakeRecord(const std::string& name, const storage::IndexSummary& s) {
  storage::IndexRecord record = storage::MakeIndexRecord(name);
  record.summary = s;
  return record;
}

// A recorder-style pair: <dir><title>.FIH with one record and an (empty) <dir><title>.VDB.
inline void WritePair(const std::string& dir, const std::string& title,
                      const storage::IndexSummary& s) {
  WriteIndexFile(dir + title + ".FIH", {MakeRecord(title + ".VDB", s)}, 1);
  WriteBytes(dir + title + ".VDB", "", 0);
}

// Names of the temporary mapping files in a directory.
inline std::vector<std::string> MappingFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("fmap", 0) == 0) names.push_back(name);
  }
  return names;
}

}  // namespace catalog_test
