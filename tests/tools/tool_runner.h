// Helpers of the dvrtool tests: running the built dvrtool (and ffmpeg / rsvg-convert) as a
// child process with its output captured, and small readers of the files a recording leaves.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "storage/formats.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"
#include "support/wait_until.h"

namespace tooltest {

using namespace testsupport;

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

inline std::string DvrtoolCommand(const std::vector<std::string>& args) {
  std::string command = Quote(DVRTOOL_PATH);
  for (const std::string& a : args) command += " " + Quote(a);
  return command;
}

inline RunResult Dvrtool(const std::vector<std::string>& args) {
  return RunShell(DvrtoolCommand(args));
}

// dvrtool run in the background with its output in `outputFile`; it dies with the test
// process (PR_SET_PDEATHSIG), so it never outlives the test.
inline pid_t SpawnDvrtool(const std::vector<std::string>& args, const std::string& outputFile,
                          const std::string& tmpdir = std::string()) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
  }
  if (!tmpdir.empty()) setenv("TMPDIR", tmpdir.c_str(), 1);
  std::vector<char*> argv{const_cast<char*>(DVRTOOL_PATH)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(DVRTOOL_PATH, argv.data());
  _exit(127);
}

// The child's exit status, or 128 + signal; -1 (and the child killed) when it has not ended
// within `limit`.
inline int WaitForExit(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60)) {
  int raw = 0;
  const bool exited = WaitUntil([&] { return waitpid(pid, &raw, WNOHANG) != 0; },
                                static_cast<int>(limit.count() * 1000));
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &raw, 0);
    return -1;
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

inline bool HaveProgram(const std::string& name) {
  return RunShell("command -v " + name + " >/dev/null").status == 0;
}

// A time as dvrtool reads and prints it: "YYYY-MM-DD HH:MM:SS", local.
inline std::string LocalTime(time_t t) {
  std::tm fields{};
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", localtime_r(&t, &fields));
  return text;
}

}  // namespace tooltest
