// Offline access to a recorded directory: its data/index pairs, each index file's summary,
// one data file as a catalogue of its own for the frame reader, and damage in words.
// `verify` and `export` read the files with this and the frame reader, without a recorder or
// a file search, so they work on a copy of a damaged disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/catalog_view.h"
#include "storage/formats.h"

namespace dvrtool {

struct FilePair {
  std::string title;      // shared name without the extension
  std::string dataPath;   // empty when the data file is missing
  std::string indexPath;  // empty when the index file is missing
};

// Every pair of the directory, ordered by title.
std::vector<FilePair> ListPairs(const std::string& dir);

struct IndexFile {
  uint64_t size = 0;  // bytes on disk
  storage::FileHeader header{};
  storage::IndexRecord record{};
};
// nullopt when the file cannot be read or is shorter than an index file.
std::optional<IndexFile> ReadIndexFile(const std::string& path);

// A catalogue of one data file, for the frame reader's walk over its records: the file at
// position 0 with the index summary it was given, its records read up to `readBytes`.
class COneFileCatalog {
 public:
  COneFileCatalog(const std::string& dataPath, const storage::IndexSummary& summary,
                  uint64_t readBytes);
  COneFileCatalog(const COneFileCatalog&) = delete;
  COneFileCatalog& operator=(const COneFileCatalog&) = delete;
  const storage::CatalogView* view() const { return &view_; }

 private:
  storage::FileInfo info_{};
  storage::FileTimeTable table_{};
  storage::CatalogView view_;
};

// What is wrong with the record at `offset` of a data file whose index counts `limit` bytes,
// as ParseRecord found it (`status`), in words: a record cut short by the end of the file,
// a start marker that is none, a body size past the counted end, a trailer that does not
// match.
std::string DescribeDamage(const std::string& dataPath, uint64_t offset,
                           storage::RecordStatus status, uint64_t limit);

// Whether the data file holds `limit` bytes and those from `offset` on are all zero: the
// records simply stop there, and the index counts more than was written.
bool ZerosToLimit(const std::string& dataPath, uint64_t offset, uint64_t limit);

}  // namespace dvrtool
