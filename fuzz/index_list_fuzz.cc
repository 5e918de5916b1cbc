// Fuzz target of the catalogue built from a list of index files (source mode 0): the input
// becomes up to eight index files, each listed with a data file beside it (empty, or a copy
// of the index bytes). The catalogue is built, every table a host can ask for is queried,
// the reader seeks to each recorded day and reads a little forwards and backwards, and the
// catalogue is cleared. Any crash, sanitizer report or broken table invariant is a bug.
//
// Input layout: 8 bytes of parameters, then the index files' bytes cut into equal parts.
//   [0] bits 0-2: file count - 1; bit 3: data files hold a copy of their index bytes;
//       bit 4: the first index file is listed twice
//   [1] bit 0: daylight-saving range on; bits 1-7: data file i missing (i = 0..6)
//   [2..7] range start month, day, hour, end month, day, hour
#include <cstdint>
#include <string>
#include <vector>

#include "catalog/file_catalog.h"
#include "catalog_queries.h"
#include "fuzz_scratch.h"
#include "reader_checks.h"

namespace {
constexpr size_t kParameterBytes = 8;
constexpr int kMaxReads = 256;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize("Europe/Berlin");  // daylight saving: the minute slots cross both kinds of hour
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kParameterBytes) return 0;
  const uint32_t files = (data[0] & 7u) + 1;
  const bool dataCopies = (data[0] & 8u) != 0;
  const bool listFirstTwice = (data[0] & 16u) != 0;
  const uint32_t missingData = data[1] >> 1;
  const uint8_t* body = data + kParameterBytes;
  const size_t bodySize = size - kParameterBytes;
  const size_t part = bodySize / files;

  fuzz::EmptyScratchDir();
  const std::string& dir = fuzz::ScratchDir();
  for (uint32_t i = 0; i < files; ++i) {
    const uint8_t* bytes = body + part * i;
    const size_t length = i + 1 == files ? bodySize - part * i : part;
    const std::string title = "i" + std::to_string(i);
    fuzz::WriteScratchFile(title + ".FIH", bytes, length);
    if (i < 7 && (missingData >> i & 1u) != 0) continue;
    fuzz::WriteScratchFile(title + ".VDB", bytes, dataCopies ? length : 0);
  }

  CFileCatalog catalog;
  catalog.SetDSTRange(data[1] & 1, data[2] % 14, data[3] % 33, data[4] % 26, data[5] % 14,
                      data[6] % 33, data[7] % 26);
  for (uint32_t i = 0; i < files; ++i) catalog.AddIndexFile(dir, "i" + std::to_string(i) + ".FIH");
  if (listFirstTwice) catalog.AddIndexFile(dir, "i0.FIH");
  const platform::Status built = catalog.Build();
  if (catalog.loaded.load() != 1) abort();              // a list always builds
  if (built.ok() != catalog.problems.empty()) abort();  // and keeps every cause it met
  if (catalog.view.count < 0 || catalog.view.count > static_cast<int32_t>(files) + 1) abort();
  fuzz::QueryTables(&catalog);

  // The reader follows the minute tables the index files claim.
  int32_t count = 0;
  catalog.GetDateTable(nullptr, &count);
  std::vector<uint32_t> dates(static_cast<size_t>(count));
  catalog.GetDateTable(dates.data(), &count);
  std::vector<uint8_t> buffer(4096);
  fuzz::CheckedReader checked(&catalog.view);
  for (int32_t i = 0; i < count && i < 4; ++i) {
    if (checked.reader.SeekToTime(platform::CTime(static_cast<int32_t>(dates[i]))) != 0)
      checked.ReadBothWays(&buffer, kMaxReads);
  }
  checked.reader.Close();
  fuzz::ClearAndCheck(&catalog);
  return 0;
}
