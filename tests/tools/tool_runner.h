// Helpers of the dvrtool tests: running the built dvrtool (and ffmpeg / rsvg-convert) as a
// child process with its output captured, and small readers of the files a recording leaves.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "storage/formats.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"

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

using testsupport::PatchBytes;
using testsupport::ReadBytes;
using testsupport::ScratchDir;

inline storage::IndexRecord ReadIndexRecord(const std::string& indexPath) {
  const testsupport::IndexFileView view = testsupport::ReadIndexFile(indexPath);
  EXPECT_TRUE(view.complete) << indexPath;
  return view.record;
}

}  // namespace tooltest
