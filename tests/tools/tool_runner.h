// Helpers of the dvrtool tests: running the built dvrtool (and ffmpeg / rsvg-convert) as a
// child process with its output captured.
#pragma once

#include <gmock/gmock.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/stored_files.h"
#include "support/wait_until.h"

namespace tooltest {

using namespace testsupport;
using ::testing::HasSubstr;

struct RunResult {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  std::string output;
};

// Runs a shell command line with stderr folded into stdout.
inline RunResult RunShell(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {};
  std::string output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output.append(buffer, n);
  const int raw = pclose(pipe);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, output};
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

inline RunResult Dvrtool(const std::vector<std::string>& a) { return RunShell(DvrtoolCommand(a)); }

inline bool HaveProgram(const std::string& name) {
  return RunShell("command -v " + name + " >/dev/null").status == 0;
}

// A shell command line run in the background (it should `exec` the program, so that the pid
// is the program's); it dies with the test process, so it never outlives the test.
inline pid_t Spawn(const std::string& command) {
  const pid_t parent = getpid(), pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() == parent) execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
  _exit(127);
}

// The child's exit status, or 128 + signal; -1 when it has not ended within a minute (it still
// dies with the test process).
inline int WaitForExit(pid_t pid) {
  int raw = 0;
  if (!WaitUntil([&] { return waitpid(pid, &raw, WNOHANG) != 0; }, 60000)) return -1;
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// A time as dvrtool reads and prints it: "YYYY-MM-DD HH:MM:SS", local.
inline std::string LocalTime(time_t t) {
  std::tm fields{};
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", localtime_r(&t, &fields));
  return text;
}

// The same time as dvrtool --utc prints it: "YYYY-MM-DD HH:MM:SSZ".
inline std::string UtcTime(time_t t) {
  std::tm fields{};
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%SZ", gmtime_r(&t, &fields));
  return text;
}

}  // namespace tooltest
