// Pieces every benchmark program needs: a small command-line parser (--dir and --quick plus a
// table of the program's own options), a scratch directory removed on exit, and readings of
// this process's memory from /proc/self/status. Header-only and free of the recorder's own
// headers, so dsync_limit can use it without linking the library.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <variant>
#include <vector>

namespace bench {

// One option of a program's table. A flag (bool*) takes no value; the others take the next
// argument, read with atoi/atof or kept as text. `given`, when set, records that the option
// was on the command line, so --quick can change only the defaults the caller left alone.
struct Flag {
  const char* name;
  std::variant<bool*, int*, double*, std::string*> target;
  bool* given = nullptr;
};

// Parses argv[1..] against `flags`. false on an unknown option or a missing value; with a
// `usage` text, a line "usage: <argv[0]> <usage>" goes to stderr first.
inline bool ParseFlags(int argc, char** argv, const std::vector<Flag>& flags,
                       const char* usage = nullptr) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const Flag* match = nullptr;
    for (const Flag& flag : flags) {
      if (arg == flag.name) match = &flag;
    }
    bool ok = match != nullptr;
    if (ok) {
      if (bool* const* b = std::get_if<bool*>(&match->target)) {
        **b = true;
      } else if (i + 1 >= argc) {
        ok = false;
      } else if (int* const* n = std::get_if<int*>(&match->target)) {
        **n = std::atoi(argv[++i]);
      } else if (double* const* d = std::get_if<double*>(&match->target)) {
        **d = std::atof(argv[++i]);
      } else {
        *std::get<std::string*>(match->target) = argv[++i];
      }
    }
    if (!ok) {
      if (usage != nullptr) std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
      return false;
    }
    if (match->given != nullptr) *match->given = true;
  }
  return true;
}

// What every program takes: --dir DIR (scratch space on the disk to measure) and --quick (a
// short smoke run).
struct CommonOptions {
  std::string dir;
  bool quick = false;
};

// ParseFlags with --dir and --quick ahead of the program's own `extra` options.
inline bool ParseOptions(int argc, char** argv, CommonOptions* common,
                         std::initializer_list<Flag> extra = {},
                         const char* usage = "[--dir DIR] [--quick]") {
  std::vector<Flag> all = {{"--dir", &common->dir}, {"--quick", &common->quick}};
  all.insert(all.end(), extra.begin(), extra.end());
  return ParseFlags(argc, argv, all, usage);
}

// A directory for one run, removed (with everything in it) when this goes away.
//  - MakeIn(parent, prefix): a fresh mkdtemp directory <parent>/<prefix>_XXXXXX, so a given
//    --dir is never removed itself, only what the run made in it.
//  - Make(given, prefix, sub): <given>/<sub> when a directory was given, else
//    /var/tmp/<prefix>_XXXXXX/<sub>, where the whole mkdtemp directory is removed. An empty
//    `sub` works in the given directory itself and removes nothing of it.
class ScratchDir {
 public:
  ScratchDir() = default;
  ~ScratchDir() { Remove(); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The recorder derives index names from the first '.' of a path, so MakeIn refuses one.
  bool MakeIn(std::string parent, const std::string& prefix) {
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const std::string pattern = parent + "/" + prefix + "_XXXXXX";
    if (pattern.find('.') != std::string::npos) {
      std::fprintf(stderr, "scratch path %s holds a '.', which changes index file names\n",
                   pattern.c_str());
      return false;
    }
    if (!Temp(pattern)) {
      std::perror(("mkdtemp in " + parent).c_str());
      return false;
    }
    path_ = remove_;
    return true;
  }

  bool Make(const std::string& given, const std::string& prefix, const std::string& sub) {
    std::string root = given;
    if (root.empty()) {
      if (!Temp("/var/tmp/" + prefix + "_XXXXXX")) {
        std::perror("mkdtemp");
        return false;
      }
      root = remove_;
    }
    path_ = sub.empty() ? root : root + "/" + sub;
    if (remove_.empty() && !sub.empty()) remove_ = path_;
    std::error_code ignored;
    std::filesystem::create_directories(path_, ignored);
    return std::filesystem::is_directory(path_);
  }

  // The working directory, without a trailing '/'.
  const std::string& path() const { return path_; }

  // Removes now what the run made (the destructor does it otherwise).
  void Remove() {
    if (remove_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(remove_, ignored);
    remove_.clear();
  }

 private:
  bool Temp(const std::string& pattern) {
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) return false;
    remove_ = buffer.data();
    return true;
  }

  std::string path_;
  std::string remove_;  // what Remove takes away; empty when nothing is ours
};

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM", "RssAnon", ...); -1 when missing.
inline int64_t StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::atoll(line.c_str() + prefix.size());
  }
  return -1;
}

}  // namespace bench
