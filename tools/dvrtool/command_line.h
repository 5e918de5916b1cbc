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

// One option of a command, as its help shows it. A value option has a valueName ("FILE"); a
// flag has none. shortName is the one-letter form ('o' for -o), 0 for none.
struct OptionSyntax {
  std::string name;
  char shortName = 0;
  std::string valueName;
  std::string help;  // one line, ending with the default where there is one
};

struct CommandSyntax {
  std::string name;
  std::string synopsis;  // the words after "dvrtool NAME" in the usage line
  std::string summary;   // what the command does, a sentence or two
  std::vector<OptionSyntax> options;
};

// "usage: ..." followed by the summary and one line per option.
std::string HelpText(const CommandSyntax& syntax);

class CCommandLine {
 public:
  // Values are given as --seconds 3, --seconds=3 or -o FILE; flags take none.
  CCommandLine(const CommandSyntax& syntax, const std::vector<std::string>& words);

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

// True when the words ask for the command's help (-h or --help).
bool WantsHelp(const std::vector<std::string>& words);

// A data directory: it must exist and be a directory. Returned absolute and without "." or
// ".." components, so the paths handed to the recorder are plain ("." becomes the working
// directory's path).
std::string CheckDataDirectory(const std::string& dir);

// Local times, as the recorder stamps them. Bad text or an impossible date is a UsageError.
// Days of a month; February has 29 in leap years.
int DaysInMonth(int year, int month);
time_t ParseLocalDate(const std::string& text);  // "YYYY-MM-DD": its local midnight
// "YYYY-MM-DD HH:MM:SS" (or 'T'), local; with a zone ("Z", "+01:00") as printed, in that zone.
time_t ParseLocalDateTime(const std::string& text);
std::string FormatLocalDate(time_t t);  // "YYYY-MM-DD"
// "YYYY-MM-DD HH:MM:SS+01:00": local time with the zone's offset (ISO 8601), or
// "YYYY-MM-DD HH:MM:SSZ" once PrintTimesInUtc() was called (--utc).
std::string FormatLocalDateTime(time_t t);
void PrintTimesInUtc();

}  // namespace dvrtool
