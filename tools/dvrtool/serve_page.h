// The review page's files (tools/dvrtool/web/), built into dvrtool so `serve` needs nothing
// on disk but the recordings.
#pragma once

#include <cstddef>
#include <string_view>

namespace dvrtool {

struct PageFile {
  std::string_view name;  // "index.html", "app.js", ...
  std::string_view body;
};

// The files, or an empty span-like pair when none were embedded.
extern const PageFile kPageFiles[];
extern const size_t kPageFileCount;

}  // namespace dvrtool
