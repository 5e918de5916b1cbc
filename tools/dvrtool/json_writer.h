// A small writer of indented JSON for --json output, laid out like `ffprobe -of json`: one
// object per line group, four spaces per level. Strings are escaped (control bytes as \uXXXX)
// and the output is always valid UTF-8: well-formed UTF-8 passes through, any other byte
// (file names on Linux are bytes) is written as the text \xNN.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dvrtool {

class CJsonWriter {
 public:
  CJsonWriter& BeginObject(const std::string& key = std::string());
  CJsonWriter& EndObject();
  CJsonWriter& BeginArray(const std::string& key);
  CJsonWriter& EndArray();
  CJsonWriter& Field(const std::string& key, const std::string& value);
  CJsonWriter& Field(const std::string& key, const char* value);
  CJsonWriter& Field(const std::string& key, int64_t value);
  CJsonWriter& Field(const std::string& key, uint64_t value);
  CJsonWriter& Field(const std::string& key, int value) { return Field(key, int64_t{value}); }
  CJsonWriter& Field(const std::string& key, uint32_t value) { return Field(key, uint64_t{value}); }
  CJsonWriter& Field(const std::string& key, bool value);
  CJsonWriter& Field(const std::string& key, double value);  // 6 significant digits
  // An unnamed number inside an array.
  CJsonWriter& Item(int64_t value);
  const std::string& text() const { return text_; }

 private:
  void Open(const std::string& key, char bracket);
  void Close(char bracket);
  void Prefix(const std::string& key);
  std::string text_;
  std::vector<bool> first_;  // per open level: nothing written in it yet
};

std::string JsonQuote(const std::string& text);
// Text read from a file or a directory, made safe for a terminal: control bytes, backslashes
// and bytes that are no UTF-8 become \xNN.
std::string EscapeText(const std::string& text);

}  // namespace dvrtool
