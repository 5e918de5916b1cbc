#include "platform/paths.h"

#include <cctype>

namespace platform {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A drive is a letter and a colon at the very start ("D:").
size_t DriveLength(const std::string& path) {
  if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
    return 2;
  }
  return 0;
}

// Offset where the final component starts: after the last separator, else after the drive.
size_t FinalComponentStart(const std::string& path) {
  const size_t drive = DriveLength(path);
  for (size_t i = path.size(); i > drive; --i) {
    if (IsSeparator(path[i - 1])) return i;
  }
  return drive;
}

std::string WithNativeSeparators(std::string text) {
  for (char& c : text) {
    if (IsSeparator(c)) c = kPathSeparator;
  }
  return text;
}

}  // namespace

std::string NormalizeDirectory(const std::string& path) {
  std::string out = WithNativeSeparators(path);
  if (!out.empty() && out.back() != kPathSeparator) out.push_back(kPathSeparator);
  return out;
}

std::string FileTitleOf(const std::string& path) {
  const std::string name = path.substr(FinalComponentStart(path));
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string DirectoryOf(const std::string& path) {
  return WithNativeSeparators(path.substr(0, FinalComponentStart(path)));
}

}  // namespace platform
