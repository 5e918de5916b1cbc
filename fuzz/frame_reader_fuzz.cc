// Fuzz target of the frame reader: arbitrary bytes become a data file, listed twice in a
// catalogue (so the reader also crosses from one file to the next), with a small index
// summary whose lengths come from the input too. The day is then sought, read forwards,
// backwards and forwards again. Any crash, sanitizer report or endless step is a bug.
//
// Input layout: 16 bytes of parameters (recorded bytes, bytes of minute 0, bytes of minute
// 1, seek second and buffer choice), then the data file.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "catalog/file_catalog.h"
#include "reader_checks.h"
#include "storage/formats.h"

namespace {

constexpr size_t kParameterBytes = 16;
constexpr int kMaxReads = 4096;

std::string g_dir;

void RemoveScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(g_dir, ignored);
}

void WriteFile(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void ReadDay(storage::CFrameReader* reader, float rate, uint8_t* buffer, uint32_t capacity) {
  reader->SetPlayRate(rate);
  for (int i = 0; i < kMaxReads; ++i) {
    const int32_t n = reader->ReadNextFrame(buffer, capacity);
    if (n < 0) return;
    if (n > static_cast<int32_t>(capacity)) abort();  // a frame longer than the buffer
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  char pattern[] = "/tmp/rectest_fuzz_XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) abort();
  g_dir = std::string(made) + "/";
  atexit(&RemoveScratchDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kParameterBytes) return 0;
  const uint32_t dataBytes = storage::LoadU32(data);
  const uint32_t minute0 = storage::LoadU32(data + 4);
  const uint32_t minute1 = storage::LoadU32(data + 8);
  const uint32_t seekSecond = storage::LoadU16(data + 12) % 240;
  const uint32_t capacity = data[14] % 2 == 0 ? 614400 : 64 + data[15] * 8u;

  // 2024-03-05 10:00:00 UTC.
  const int32_t start = 1709632800;
  storage::IndexRecord record = storage::MakeIndexRecord("a.VDB");
  record.summary.startTime = start;
  record.summary.endTime = start + 119;
  record.summary.dataBytes = dataBytes;
  record.summary.lastEntry = 1;
  record.summary.entries[0].time = start;
  record.summary.entries[0].bytes = minute0;
  record.summary.entries[1].time = start + 60;
  record.summary.entries[1].bytes = minute1;
  std::vector<uint8_t> index(storage::kIndexFileSize);
  const storage::FileHeader header = storage::MakeFileHeader();
  std::memcpy(index.data(), &header, sizeof(header));
  std::memcpy(index.data() + storage::kIndexRecordOffset, &record, sizeof(record));
  WriteFile(g_dir + "a.FIH", index.data(), index.size());
  WriteFile(g_dir + "a.VDB", data + kParameterBytes, size - kParameterBytes);

  std::vector<uint8_t> buffer(capacity);
  CFileCatalog catalog;
  catalog.AddIndexFile(g_dir, "a.FIH");
  catalog.AddIndexFile(g_dir, "a.FIH");
  const platform::Status built = catalog.Build();
  if (catalog.loaded.load() != 1) {
    if (built.ok()) abort();  // a failed build says why
    return 0;
  }
  fuzz::CheckingSink sink;
  fuzz::CheckingReporter reporter;
  storage::CFrameReader reader(&catalog.view, &sink, &reporter);
  if (reader.SeekToTime(platform::CTime(start + static_cast<int32_t>(seekSecond))) == 0) {
    reader.OpenDay(platform::CTime(start));
  }
  ReadDay(&reader, 1.0f, buffer.data(), capacity);
  reader.ResetReadPosition(-1);
  ReadDay(&reader, -1.0f, buffer.data(), capacity);
  reader.ResetReadPosition(1);
  ReadDay(&reader, 2.0f, buffer.data(), capacity);
  return 0;
}
