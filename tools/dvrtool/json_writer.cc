#include "json_writer.h"

#include <cmath>
#include <cstdio>

namespace dvrtool {

std::string JsonQuote(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
      quoted += escape;
    } else {
      quoted += c;
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
