// Fuzz target of the catalogue built from one index file with several records (source
// mode 1): the whole input is the index file. The catalogue is built, every table a host
// can ask for is queried, and it is cleared. Data files are never opened here (a record's
// name may point anywhere), so the frame reader is left to its own target.
//
// The first input byte also picks a daylight-saving range, so the day tables run with and
// without one.
#include <cstdint>
#include <cstring>
#include <string>

#include "catalog/file_catalog.h"
#include "catalog_queries.h"
#include "fuzz_scratch.h"
#include "storage/formats.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize("Europe/Berlin");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::EmptyScratchDir();
  fuzz::WriteScratchFile("m.FIH", data, size);

  CFileCatalog catalog;
  if (size > 0 && (data[0] & 1u) != 0) catalog.SetDSTRange(1, 3, 25, 2, 10, 28, 3);
  catalog.SetIndexFile(fuzz::ScratchDir(), "m.FIH");
  const platform::Status built = catalog.Build();
  if (catalog.loaded.load() == 0 && built.ok()) abort();  // a failed build says why
  // Never more positions than whole records in the file.
  const uint64_t records = size > storage::kFileHeaderSize
                               ? (size - storage::kFileHeaderSize) / storage::kIndexRecordSize
                               : 0;
  if (catalog.view.count < 0 || static_cast<uint64_t>(catalog.view.count) > records) abort();
  for (int32_t j = 0; j < catalog.view.count; ++j) {
    const storage::FileInfo* info = catalog.FileInfoAt(j);
    if (info == nullptr) abort();
    // The path field always ends inside itself.
    if (strnlen(info->path, sizeof(info->path)) == sizeof(info->path)) abort();
  }
  fuzz::QueryTables(&catalog);
  fuzz::ClearAndCheck(&catalog);
  return 0;
}
