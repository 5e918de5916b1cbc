#include "command_line.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "errors.h"

namespace dvrtool {

std::string HelpText(const CommandSyntax& syntax) {
  std::string text = "usage: dvrtool " + syntax.name + " " + syntax.synopsis + "\n\n" +
                     syntax.summary + "\n\noptions:\n";
  std::vector<std::pair<std::string, std::string>> rows;
  size_t width = 0;
  for (const OptionSyntax& o : syntax.options) {
    std::string left = o.shortName != 0 ? std::string("-") + o.shortName + ", " : "    ";
    left += "--" + o.name + (o.valueName.empty() ? "" : " " + o.valueName);
    width = std::max(width, left.size());
    rows.emplace_back(left, o.help);
  }
  rows.emplace_back("-h, --help", "show this help and exit");
  width = std::max<size_t>(width, rows.back().first.size());
  for (const auto& [left, help] : rows) {
    text += "  " + left + std::string(width - left.size() + 2, ' ') + help + "\n";
  }
  return text;
}

bool WantsHelp(const std::vector<std::string>& words) {
  return std::any_of(words.begin(), words.end(),
                     [](const std::string& w) { return w == "--help" || w == "-h"; });
}

CCommandLine::CCommandLine(const CommandSyntax& syntax, const std::vector<std::string>& words)
    : command_(syntax.name) {
  const auto find = [&](const std::string& name, char shortName) -> const OptionSyntax* {
    for (const OptionSyntax& o : syntax.options) {
      if ((shortName != 0 && o.shortName == shortName) || (shortName == 0 && o.name == name)) {
        return &o;
      }
    }
    return nullptr;
  };
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    const OptionSyntax* option = nullptr;
    std::optional<std::string> inlineValue;
    if (word.size() >= 3 && word.compare(0, 2, "--") == 0) {
      std::string name = word.substr(2);
      if (const size_t eq = name.find('='); eq != std::string::npos) {
        inlineValue = name.substr(eq + 1);
        name.resize(eq);
      }
      option = find(name, 0);
      if (option == nullptr) {
        throw UsageError("unknown option '--" + name + "' for '" + command_ + "'");
      }
    } else if (word.size() == 2 && word[0] == '-' && word[1] != '-') {
      option = find("", word[1]);
      if (option == nullptr) {
        throw UsageError("unknown option '" + word + "' for '" + command_ + "'");
      }
    } else if (!word.empty() && word[0] == '-' && word != "-") {
      throw UsageError("unknown option '" + word + "' for '" + command_ + "'");
    } else {
      positional_.push_back(word);
      continue;
    }
    const std::string& name = option->name;
    if (option->valueName.empty()) {
      if (inlineValue) throw UsageError("option --" + name + " takes no value");
      flags_.insert(name);
      continue;
    }
    if (values_.count(name) != 0) throw UsageError("option --" + name + " given twice");
    if (inlineValue) {
      values_[name] = *inlineValue;
    } else {
      if (i + 1 >= words.size()) throw UsageError("option --" + name + " needs a value");
      values_[name] = words[++i];
    }
  }
}

void CCommandLine::ExpectPositional(size_t count, const char* what) const {
  if (positional_.size() < count) throw UsageError("'" + command_ + "' needs " + what);
  if (positional_.size() > count) {
    throw UsageError("unexpected argument '" + positional_[count] + "' for '" + command_ + "'");
  }
}

std::optional<std::string> CCommandLine::Value(const std::string& option) const {
  const auto it = values_.find(option);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::string CCommandLine::Required(const std::string& option) const {
  const auto value = Value(option);
  if (!value) throw UsageError("'" + command_ + "' needs --" + option);
  return *value;
}

int64_t CCommandLine::Integer(const std::string& option, int64_t fallback, int64_t low,
                              int64_t high) const {
  const auto text = Value(option);
  if (!text) return fallback;
  int64_t value = 0;
  const char* end = text->data() + text->size();
  const auto [ptr, ec] = std::from_chars(text->data(), end, value);
  if (ec != std::errc() || ptr != end || value < low || value > high) {
    throw UsageError("--" + option + " must be a whole number from " + std::to_string(low) +
                     " to " + std::to_string(high) + ", not '" + *text + "'");
  }
  return value;
}

double CCommandLine::Number(const std::string& option, double fallback, double low,
                            double high) const {
  const auto text = Value(option);
  if (!text) return fallback;
  double value = 0;
  const char* end = text->data() + text->size();
  const auto [ptr, ec] = std::from_chars(text->data(), end, value);
  if (ec != std::errc() || ptr != end || !std::isfinite(value) || value < low || value > high) {
    char range[96];
    std::snprintf(range, sizeof(range), "%g to %g", low, high);
    throw UsageError("--" + option + " must be a number from " + range + ", not '" + *text + "'");
  }
  return value;
}

std::string CheckDataDirectory(const std::string& dir) {
  if (dir.empty()) throw UsageError("empty directory name");
  std::error_code error;
  const auto status = std::filesystem::status(dir, error);
  if (error) throw UsageError(dir + ": " + error.message());
  if (!std::filesystem::is_directory(status)) throw UsageError(dir + ": not a directory");
  std::filesystem::path path = std::filesystem::absolute(dir, error);
  if (error) throw UsageError(dir + ": " + error.message());
  std::string plain = path.lexically_normal().string();
  while (plain.size() > 1 && plain.back() == '/') plain.pop_back();
  return plain;
}

namespace {

// Parses exactly `digits` decimal digits at text[pos].
bool Digits(const std::string& text, size_t pos, size_t digits, int* value) {
  if (pos + digits > text.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

bool ParseDateFields(const std::string& text, int* year, int* month, int* day) {
  return text.size() >= 10 && Digits(text, 0, 4, year) && text[4] == '-' &&
         Digits(text, 5, 2, month) && text[7] == '-' && Digits(text, 8, 2, day) && *month >= 1 &&
         *month <= 12 && *day >= 1 && *day <= DaysInMonth(*year, *month);
}

// The calendar fields of a time the recorder can hold: its times are unsigned 32-bit seconds,
// 1970 to February 2106.
std::tm FieldsOf(int year, int month, int day, int hour, int minute, int second,
                 const std::string& text) {
  if (year < 1970 || year > 2105) throw UsageError("date out of range (1970-2105): " + text);
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return fields;
}

time_t MakeLocal(int year, int month, int day, int hour, int minute, int second,
                 const std::string& text) {
  std::tm fields = FieldsOf(year, month, day, hour, minute, second, text);
  fields.tm_isdst = -1;
  const time_t t = std::mktime(&fields);
  if (t == static_cast<time_t>(-1)) throw UsageError("not a local time: " + text);
  return t;
}

}  // namespace

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

time_t ParseLocalDate(const std::string& text) {
  int year = 0, month = 0, day = 0;
  if (text.size() != 10 || !ParseDateFields(text, &year, &month, &day)) {
    throw UsageError("bad date '" + text + "' (expected YYYY-MM-DD)");
  }
  return MakeLocal(year, month, day, 0, 0, 0, text);
}

time_t ParseLocalDateTime(const std::string& full) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  // A zone after the time: Z, or +HH:MM / -HH:MM.
  std::optional<int> offset;
  int zoneHours = 0, zoneMinutes = 0;
  if (full.size() == 20 && full[19] == 'Z') {
    offset = 0;
  } else if (full.size() == 25 && (full[19] == '+' || full[19] == '-') &&
             Digits(full, 20, 2, &zoneHours) && full[22] == ':' &&
             Digits(full, 23, 2, &zoneMinutes) && zoneHours < 24 && zoneMinutes < 60) {
    offset = (full[19] == '-' ? -1 : 1) * (zoneHours * 3600 + zoneMinutes * 60);
  }
  const std::string text = offset ? full.substr(0, 19) : full;
  const bool ok = text.size() == 19 && ParseDateFields(text, &year, &month, &day) &&
                  (text[10] == ' ' || text[10] == 'T') && Digits(text, 11, 2, &hour) &&
                  text[13] == ':' && Digits(text, 14, 2, &minute) && text[16] == ':' &&
                  Digits(text, 17, 2, &second) && hour < 24 && minute < 60 && second < 60;
  if (!ok) throw UsageError("bad time '" + full + "' (expected \"YYYY-MM-DD HH:MM:SS\")");
  if (!offset) return MakeLocal(year, month, day, hour, minute, second, full);
  std::tm fields = FieldsOf(year, month, day, hour, minute, second, full);
  return timegm(&fields) - *offset;
}

std::string FormatLocalDate(time_t t) {
  std::tm fields{};
  localtime_r(&t, &fields);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d", &fields);
  return text;
}

namespace {
bool g_printUtc = false;
}  // namespace

void PrintTimesInUtc() { g_printUtc = true; }

std::string FormatLocalDateTime(time_t t) {
  std::tm fields{};
  char text[40];
  if (g_printUtc) {
    gmtime_r(&t, &fields);
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%SZ", &fields);
    return text;
  }
  localtime_r(&t, &fields);
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &fields);
  const long offset = fields.tm_gmtoff;
  const long magnitude = offset < 0 ? -offset : offset;
  char zone[48];
  std::snprintf(zone, sizeof(zone), "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
                magnitude / 60 % 60);
  return text + std::string(zone);
}

}  // namespace dvrtool
