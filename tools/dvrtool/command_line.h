// The arguments of one dvrtool command: positional words and --options, checked against the
// options the command knows. Every problem is a UsageError (exit status 2) naming the bad
// word, so a typo never runs a command with a default the user did not ask for.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace dvrtool {

class CCommandLine {
 public:
  // valueOptions take a value (--seconds 3 or --seconds=3); flags take none.
  CCommandLine(const std::string& command, const std::vector<std::string>& words,
               const std::set<std::string>& valueOptions, const std::set<std::string>& flags);

  const std::vector<std::string>& positional() const { return positional_; }
  // Exactly `count` positional words, or a UsageError.
  void ExpectPositional(size_t count, const char* what) const;

  bool Has(const std::string& option) const { return values_.count(option) != 0; }
  bool Flag(const std::string& flag) const { return flags_.count(flag) != 0; }
  std::optional<std::string> Value(const std::string& option) const;
  std::string Required(const std::string& option) const;
  int64_t Integer(const std::string& option, int64_t fallback, int64_t low, int64_t high) const;
  double Number(const std::string& option, double fallback, double low, double high) const;

 private:
  std::string command_;
  std::vector<std::string> positional_;
  std::map<std::string, std::string> values_;
  std::set<std::string> flags_;
};

// A data directory: it must exist, be a directory, and have no '.' in its path (the
// recorder names an index file after the whole path up to its first '.').
std::string CheckDataDirectory(const std::string& dir);

// Local times, as the recorder stamps them. Bad text or an impossible date is a UsageError.
time_t ParseLocalDate(const std::string& text);      // "YYYY-MM-DD": its local midnight
time_t ParseLocalDateTime(const std::string& text);  // "YYYY-MM-DD HH:MM:SS" (or 'T')
std::string FormatLocalDate(time_t t);               // "YYYY-MM-DD"
std::string FormatLocalDateTime(time_t t);           // "YYYY-MM-DD HH:MM:SS"

}  // namespace dvrtool
