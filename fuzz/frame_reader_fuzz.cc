// Fuzz target of the frame reader: arbitrary bytes become a data file, listed twice in a
// catalogue (so the reader also crosses from one file to the next), with a small index
// summary whose lengths come from the input too. The day is then sought, read forwards,
// backwards and forwards again. Any crash, sanitizer report or endless step is a bug.
//
// Input layout: 16 bytes of parameters (recorded bytes, bytes of minute 0, bytes of minute
// 1, seek second, buffer and lead choice), then the data file.
#include <cstdint>
#include <cstring>
#include <vector>

#include "catalog/file_catalog.h"
#include "fuzz_scratch.h"
#include "reader_checks.h"
#include "storage/formats.h"

namespace {
constexpr size_t kParameterBytes = 16;
constexpr int kMaxReads = 4096;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize("UTC");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kParameterBytes) return 0;
  const uint32_t seekSecond = storage::LoadU16(data + 12) % 240;
  std::vector<uint8_t> buffer(data[14] % 2 == 0 ? 614400 : 64 + data[15] * 8u);

  const int32_t start = 1709632800;  // 2024-03-05 10:00:00 UTC
  storage::IndexRecord record = storage::MakeIndexRecord("a.VDB");
  storage::IndexSummary& s = record.summary;
  s.startTime = start;
  s.endTime = start + 119;
  s.dataBytes = storage::LoadU32(data);
  s.lastEntry = 1;
  for (int k = 0; k < 2; ++k) {
    s.entries[k].time = start + 60 * k;
    s.entries[k].bytes = storage::LoadU32(data + 4 + 4 * k);
  }
  std::vector<uint8_t> index(storage::kIndexFileSize);
  const storage::FileHeader header = storage::MakeFileHeader();
  std::memcpy(index.data(), &header, sizeof(header));
  std::memcpy(index.data() + storage::kIndexRecordOffset, &record, sizeof(record));
  fuzz::EmptyScratchDir();
  fuzz::WriteScratchFile("a.FIH", index.data(), index.size());
  fuzz::WriteScratchFile("a.VDB", data + kParameterBytes, size - kParameterBytes);

  CFileCatalog catalog;
  catalog.AddIndexFile(fuzz::ScratchDir(), "a.FIH");
  catalog.AddIndexFile(fuzz::ScratchDir(), "a.FIH");
  const platform::Status built = catalog.Build();
  if (catalog.loaded.load() != 1) {
    if (built.ok()) abort();  // a failed build says why
    return 0;
  }
  fuzz::CheckedReader checked(&catalog.view);
  const platform::CTime target(start + static_cast<int32_t>(seekSecond));
  if (checked.reader.SeekToTime(target, 1, (data[14] & 2) != 0 ? ~0u : 0u) == 0) {
    checked.reader.ResetReadPosition(1);
  }
  checked.ReadBothWays(&buffer, kMaxReads);
  checked.reader.ResetReadPosition(1);
  checked.Read(2.0f, &buffer, kMaxReads);
  return 0;
}
