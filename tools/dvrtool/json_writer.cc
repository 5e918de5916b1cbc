#include "json_writer.h"

#include <cmath>
#include <cstdio>

namespace dvrtool {

namespace {

// The length of the well-formed UTF-8 sequence at text[i] (shortest form, no surrogates, at
// most U+10FFFF), 0 when the byte there starts none.
size_t Utf8Length(const std::string& text, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = at(i);
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF)
    n = 2;
  else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + n > text.size() || at(i + 1) < low || at(i + 1) > high) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  }
  return n;
}

}  // namespace

std::string EscapeText(const std::string& text) {
  std::string escaped;
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Length(text, i);
    if (n == 0 || byte < 0x20 || byte == 0x7F || byte == '\\') {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
      escaped += escape;
      ++i;
    } else {
      escaped.append(text, i, n);
      i += n;
    }
  }
  return escaped;
}

std::string JsonQuote(const std::string& text) {
  std::string quoted = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Length(text, i);
    char escape[8];
    if (byte == '"' || byte == '\\') {
      quoted += '\\';
      quoted += text[i++];
    } else if (n == 0) {
      // A byte that is no UTF-8: kept visible as \xNN (a backslash escaped for JSON).
      std::snprintf(escape, sizeof(escape), "\\\\x%02x", byte);
      quoted += escape;
      ++i;
    } else if (byte < 0x20 || byte == 0x7F) {
      std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
      quoted += escape;
      ++i;
    } else {
      quoted.append(text, i, n);
      i += n;
    }
  }
  return quoted + "\"";
}

void CJsonWriter::Prefix(const std::string& key) {
  if (!first_.empty()) {
    if (!first_.back()) text_ += ',';
    first_.back() = false;
    text_ += '\n';
    text_.append(4 * first_.size(), ' ');
  }
  if (!key.empty()) text_ += JsonQuote(key) + ": ";
}

void CJsonWriter::Open(const std::string& key, char bracket) {
  Prefix(key);
  text_ += bracket;
  first_.push_back(true);
}

void CJsonWriter::Close(char bracket) {
  const bool empty = first_.back();
  first_.pop_back();
  if (!empty) {
    text_ += '\n';
    text_.append(4 * first_.size(), ' ');
  }
  text_ += bracket;
  if (first_.empty()) text_ += '\n';
}

CJsonWriter& CJsonWriter::BeginObject(const std::string& key) {
  Open(key, '{');
  return *this;
}
CJsonWriter& CJsonWriter::EndObject() {
  Close('}');
  return *this;
}
CJsonWriter& CJsonWriter::BeginArray(const std::string& key) {
  Open(key, '[');
  return *this;
}
CJsonWriter& CJsonWriter::EndArray() {
  Close(']');
  return *this;
}
CJsonWriter& CJsonWriter::Field(const std::string& key, const std::string& value) {
  Prefix(key);
  text_ += JsonQuote(value);
  return *this;
}
CJsonWriter& CJsonWriter::Field(const std::string& key, const char* value) {
  return Field(key, std::string(value));
}
CJsonWriter& CJsonWriter::Field(const std::string& key, int64_t value) {
  Prefix(key);
  text_ += std::to_string(value);
  return *this;
}
CJsonWriter& CJsonWriter::Field(const std::string& key, uint64_t value) {
  Prefix(key);
  text_ += std::to_string(value);
  return *this;
}
CJsonWriter& CJsonWriter::Field(const std::string& key, bool value) {
  Prefix(key);
  text_ += value ? "true" : "false";
  return *this;
}
CJsonWriter& CJsonWriter::Field(const std::string& key, double value) {
  Prefix(key);
  char text[32];
  std::snprintf(text, sizeof(text), "%.6g", std::isfinite(value) ? value : 0.0);
  text_ += text;
  return *this;
}
CJsonWriter& CJsonWriter::Item(int64_t value) {
  Prefix("");
  text_ += std::to_string(value);
  return *this;
}

}  // namespace dvrtool
