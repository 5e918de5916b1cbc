// Offline access to a recorded directory: its data/index pairs, each index file's summary,
// and a walk over the frame records of a data file. `verify` and `export` read the files
// with this, without a recorder or a file search, so they work on a copy of a damaged disk.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/formats.h"
#include "storage/record_reporter.h"

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

// A record found by WalkRecords, with its offset in the data file.
struct WalkedRecord {
  uint64_t offset = 0;
  storage::RecordView view;  // body points into the walker's buffer, valid during the call
};

// A place where the records of a data file stop making sense.
struct RecordDamage {
  uint64_t offset = 0;  // start of the record that is damaged
  storage::RecordStatus status = storage::RecordStatus::kOk;
  std::string what;
  // Nothing but zero bytes from `offset` to the counted end: the records simply stop there,
  // so the index counts more than was written.
  bool zerosToLimit = false;
};

// Reads the data file and calls `visit` for every well-formed record in [0, limit). Returns
// the damage that ended the walk early, if any. A file shorter than `limit` is damage at the
// record it cuts. The damage is also told to `reporter` when there is one.
std::optional<RecordDamage> WalkRecords(const std::string& dataPath, uint64_t limit,
                                        const std::function<void(const WalkedRecord&)>& visit,
                                        std::string* readError,
                                        storage::Reporter* reporter = nullptr);

}  // namespace dvrtool
