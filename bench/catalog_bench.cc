// Catalogue of a large recording set: 40,000 index files of one record with 120 minute
// entries each (two hours per file, about nine years back to back). Measures Build over the
// list in recording order and listed newest first, one GetDayTable over the whole
// catalogue, and reports peak RSS and the heap in use while the catalogue stands (the
// tables themselves live in the temporary mappings).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "catalog/file_catalog.h"
#include "platform/local_time.h"
#include "storage/formats.h"

namespace {

constexpr int kFiles = 40000;
constexpr int32_t kFileSpan = 7200;

// The generated recording set, made once per process and removed at exit.
class RecordingSet {
 public:
  static RecordingSet& Get() {
    static RecordingSet set;
    return set;
  }
  const std::string& dir() const { return dir_; }
  int32_t firstStart() const { return firstStart_; }
  static std::string Title(int i) {
    char name[16];
    std::snprintf(name, sizeof(name), "%05d", i);
    return name;
  }
  static std::string IndexName(int i) { return Title(i) + ".FIH"; }

  ~RecordingSet() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

 private:
  RecordingSet() {
    char pattern[] = "/tmp/rectest_XXXXXX";
    root_ = ::mkdtemp(pattern);
    dir_ = root_ + "/rec/";
    std::filesystem::create_directory(dir_);
    firstStart_ = platform::CTime::FromLocal(2015, 1, 1, 0, 0, 0, -1).seconds();
    std::vector<uint8_t> bytes(storage::kIndexFileSize);
    for (int i = 0; i < kFiles; ++i) {
      const std::string title = Title(i);
      storage::IndexRecord record = storage::MakeIndexRecord(title + ".VDB");
      storage::IndexSummary& s = record.summary;
      s.startTime = firstStart_ + i * kFileSpan;
      s.endTime = s.startTime + kFileSpan - 1;
      s.dataBytes = 120u * 100000u;
      s.lastEntry = storage::kLastEntryMax;
      for (uint32_t k = 0; k < storage::kIndexEntryCount; ++k) {
        s.entries[k].time = s.startTime + static_cast<int32_t>(k) * 60;
        s.entries[k].bytes = 100000;
        s.entries[k].reason1Mask = 1u << (i % 32);
        s.entries[k].audioMask = k % 2;
      }
      const storage::FileHeader header = storage::MakeFileHeader(1);
      std::memcpy(bytes.data(), &header, sizeof(header));
      std::memcpy(bytes.data() + storage::kIndexRecordOffset, &record, sizeof(record));
      std::ofstream(dir_ + title + ".FIH", std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
      std::ofstream(dir_ + title + ".VDB", std::ios::binary);
    }
  }

  std::string root_;
  std::string dir_;
  int32_t firstStart_ = 0;
};

double PeakRssMiB() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double HeapInUseMiB() { return static_cast<double>(::mallinfo2().uordblks) / (1024.0 * 1024.0); }

std::unique_ptr<CFileCatalog> ListedCatalogue(bool newestFirst) {
  RecordingSet& set = RecordingSet::Get();
  auto catalog = std::make_unique<CFileCatalog>(nullptr, nullptr);
  for (int n = 0; n < kFiles; ++n) {
    catalog->AddIndexFile(set.dir(), RecordingSet::IndexName(newestFirst ? kFiles - 1 - n : n));
  }
  return catalog;
}

void BM_Build(benchmark::State& state) {
  const bool newestFirst = state.range(0) != 0;
  std::unique_ptr<CFileCatalog> catalog = ListedCatalogue(newestFirst);
  const double heapBefore = HeapInUseMiB();
  double heapWithCatalogue = 0;
  for (auto _ : state) {
    if (catalog->Build() != 1 || catalog->fileCount != kFiles) {
      state.SkipWithError("build failed");
      break;
    }
    state.PauseTiming();
    heapWithCatalogue = HeapInUseMiB();
    catalog->Clear();
    state.ResumeTiming();
  }
  state.counters["files"] = kFiles;
  state.counters["peak_rss_MiB"] = PeakRssMiB();
  state.counters["heap_MiB_for_catalogue"] = heapWithCatalogue - heapBefore;
}
BENCHMARK(BM_Build)
    ->ArgName("newest_first")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_GetDayTable(benchmark::State& state) {
  std::unique_ptr<CFileCatalog> catalog = ListedCatalogue(false);
  if (catalog->Build() != 1) {
    state.SkipWithError("build failed");
    return;
  }
  catalog->SetDSTRange(1, 3, 29, 2, 10, 25, 3);
  std::vector<uint32_t> masks(5 * kDayTableSlots);
  std::vector<uint32_t> dstHours(kDayTableRows);
  int32_t kind = 0, hours = 0;
  // A day in the middle of the set, inside the range: every entry is converted.
  const int32_t date = RecordingSet::Get().firstStart() + (kFiles / 2) * kFileSpan;
  uint32_t marked = 0;
  for (auto _ : state) {
    catalog->GetDayTable(date, &masks[0], &masks[kDayTableSlots], &masks[2 * kDayTableSlots],
                         &masks[3 * kDayTableSlots], &masks[4 * kDayTableSlots], dstHours.data(),
                         &kind, &hours);
    benchmark::DoNotOptimize(masks.data());
  }
  for (int s = 0; s < kDayTableSlots; ++s) marked += masks[s] != 0;
  state.counters["marked_minutes"] = marked;
  state.counters["peak_rss_MiB"] = PeakRssMiB();
}
BENCHMARK(BM_GetDayTable)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
