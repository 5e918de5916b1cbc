// The two ways a dvrtool command fails: bad input from the user (exit status 2, one line)
// and a failure while working or nothing found (exit status 1). main() turns both into one
// line on standard error.
#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace dvrtool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitBadInput = 2;

class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

class RuntimeError : public std::runtime_error {
 public:
  explicit RuntimeError(const std::string& what) : std::runtime_error(what) {}
};

// "PATH: reason" with the reason of the last failed system call.
inline std::string PathError(const std::string& path, int error = errno) {
  return path + ": " + std::strerror(error);
}

}  // namespace dvrtool
