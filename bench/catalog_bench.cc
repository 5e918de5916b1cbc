// Catalogue of a large recording set: Build over 40,000 listed index files (one record of
// 120 minute entries each, two hours per file, about nine years back to back), one
// GetDayTable of a day in the middle, and the process's peak resident memory outside the
// catalogue's temporary file mappings, at 40,000 files next to the same at 4,000 files.
//
// Each size runs in a child process of its own, so its peak is its own. The memory figure
// leaves out the catalogue's two mappings (their pages are the temporary files' pages, not
// heap) and the host's own list of index paths (two strings per file, which the host hands
// in one SETPATH at a time); what is left is the heap the build and the day table need, so
// it stays flat when the catalogue grows tenfold.
//
//   catalog_bench [--dir DIR] [--quick]
//
// The files are made once in the scratch directory and used by both sizes. --quick makes
// 8,000 files and compares with 800.
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "bench_util.h"
#include "catalog/file_catalog.h"
#include "platform/clock.h"
#include "platform/local_time.h"
#include "storage/formats.h"

namespace {

constexpr int32_t kFileSpan = 7200;
constexpr double kBuildLimitS = 10;
constexpr double kDayTableLimitS = 1;
constexpr double kFlatLimitMiB = 4;
constexpr int kDayTableRuns = 3;

std::string Title(int i) {
  char name[16];
  std::snprintf(name, sizeof(name), "%05d", i);
  return name;
}

int32_t FirstStart() { return platform::CTime::FromLocal(2015, 1, 1, 0, 0, 0, -1).seconds(); }

// Writes index file i and its (empty) data file.
bool MakeFile(const std::string& dir, int i, int32_t firstStart, std::vector<uint8_t>* bytes) {
  storage::IndexRecord record = storage::MakeIndexRecord(Title(i) + ".VDB");
  storage::IndexSummary& s = record.summary;
  s.startTime = firstStart + i * kFileSpan;
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
  std::memcpy(bytes->data(), &header, sizeof(header));
  std::memcpy(bytes->data() + storage::kIndexRecordOffset, &record, sizeof(record));
  std::FILE* index = std::fopen((dir + Title(i) + ".FIH").c_str(), "wb");
  if (index == nullptr) return false;
  const bool written = std::fwrite(bytes->data(), bytes->size(), 1, index) == 1;
  std::fclose(index);
  std::FILE* data = std::fopen((dir + Title(i) + ".VDB").c_str(), "wb");
  if (data == nullptr) return false;
  std::fclose(data);
  return written;
}

double MiB(int64_t kib) { return static_cast<double>(kib) / 1024.0; }

// What one child measured.
struct SizeResult {
  int32_t ok = 0;
  int32_t files = 0;
  double buildS = 0;
  double dayTableS = 0;
  uint32_t markedMinutes = 0;
  double listMiB = 0;       // heap of the host's list of paths
  double peakAnonMiB = 0;   // peak anonymous RSS during build and day table
  double baseAnonMiB = 0;   // anonymous RSS before the list
  double startRssMiB = 0;   // VmRSS before the list (program, libraries, stack)
  double peakTotalMiB = 0;  // VmHWM, mappings included
  double mappedMiB = 0;     // file-backed and shared pages at the end of the build
};

// Peak of RssAnon, sampled every millisecond while it runs.
class AnonSampler {
 public:
  AnonSampler()
      : thread_([this] {
          while (!stop_.load()) {
            const int64_t now = bench::StatusKiB("RssAnon");
            if (now > peak_.load()) peak_.store(now);
            platform::SleepMs(1);
          }
        }) {}
  int64_t Finish() {
    stop_.store(true);
    thread_.join();
    return std::max(peak_.load(), bench::StatusKiB("RssAnon"));
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> peak_{0};
  std::thread thread_;
};

SizeResult MeasureSize(const std::string& dir, int files, int dayTableFile) {
  SizeResult r;
  r.files = files;
  const int64_t base = bench::StatusKiB("RssAnon");
  r.startRssMiB = MiB(bench::StatusKiB("VmRSS"));
  auto catalog = std::make_unique<CFileCatalog>();
  for (int n = 0; n < files; ++n) catalog->AddIndexFile(dir, Title(n) + ".FIH");
  const int64_t withList = bench::StatusKiB("RssAnon");
  AnonSampler sampler;

  const double t0 = platform::PerfSeconds();
  const platform::Status built = catalog->Build();
  r.buildS = platform::PerfSeconds() - t0;
  r.mappedMiB = MiB(bench::StatusKiB("RssFile") + bench::StatusKiB("RssShmem"));

  std::vector<uint32_t> masks(5 * kDayTableSlots);
  std::vector<uint32_t> dstHours(kDayTableRows);
  int32_t kind = 0, hours = 0;
  catalog->SetDSTRange(1, 3, 29, 2, 10, 25, 3);
  const int32_t date = FirstStart() + dayTableFile * kFileSpan;
  std::vector<double> times;
  for (int run = 0; run < kDayTableRuns; ++run) {
    const double d0 = platform::PerfSeconds();
    catalog->GetDayTable(date, &masks[0], &masks[kDayTableSlots], &masks[2 * kDayTableSlots],
                         &masks[3 * kDayTableSlots], &masks[4 * kDayTableSlots], dstHours.data(),
                         &kind, &hours);
    times.push_back(platform::PerfSeconds() - d0);
  }
  r.dayTableS = bench::Median(times);
  for (int s = 0; s < kDayTableSlots; ++s) r.markedMinutes += masks[s] != 0 ? 1 : 0;

  r.peakAnonMiB = MiB(sampler.Finish());
  r.baseAnonMiB = MiB(base);
  r.listMiB = MiB(withList - base);
  r.peakTotalMiB = MiB(bench::StatusKiB("VmHWM"));
  r.ok = built.ok() && catalog->view.count == files ? 1 : 0;
  catalog.reset();
  return r;
}

// Runs MeasureSize in a child process, so each size has a fresh heap and its own peak.
SizeResult MeasureInChild(const std::string& dir, int files, int dayTableFile) {
  SizeResult r;
  int fds[2];
  if (::pipe(fds) != 0) return r;
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return r;
  }
  if (pid == 0) {
    ::close(fds[0]);
    const SizeResult mine = MeasureSize(dir, files, dayTableFile);
    const bool sent = ::write(fds[1], &mine, sizeof(mine)) == static_cast<ssize_t>(sizeof(mine));
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  if (::read(fds[0], &r, sizeof(r)) != static_cast<ssize_t>(sizeof(r))) r = SizeResult{};
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return r;
}

// Peak resident memory of a run outside the catalogue's mappings and the host's list: the
// process as it started, plus the heap's peak growth beyond the list.
double NetPeakMiB(const SizeResult& r) {
  return r.startRssMiB + (r.peakAnonMiB - r.baseAnonMiB - r.listMiB);
}

}  // namespace

int main(int argc, char** argv) {
  bench::CommonOptions options;
  if (!bench::ParseOptions(argc, argv, &options)) return 2;
  const int fileCount = options.quick ? 8000 : 40000;
  const int smallFiles = options.quick ? 800 : 4000;
  bench::ScratchDir scratch;
  if (!scratch.Make(options.dir, "catbench", "catalogset")) return 1;
  const std::string dir = scratch.path() + "/";
  const char* zone = ::getenv("TZ");
  const char* tmp = ::getenv("TMPDIR");
  std::printf("catalog_bench: TZ %s, mappings in %s, files in %s\n",
              zone != nullptr ? zone : "(unset)", tmp != nullptr ? tmp : "/tmp", dir.c_str());

  const double g0 = platform::PerfSeconds();
  const int32_t firstStart = FirstStart();
  std::vector<uint8_t> bytes(storage::kIndexFileSize);
  bool made = true;
  for (int i = 0; i < fileCount && made; ++i) made = MakeFile(dir, i, firstStart, &bytes);
  std::printf("made %d index files in %.1f s\n", fileCount, platform::PerfSeconds() - g0);

  SizeResult small, large;
  if (made) {
    small = MeasureInChild(dir, smallFiles, smallFiles / 2);
    large = MeasureInChild(dir, fileCount, fileCount / 2);
  }
  scratch.Remove();
  if (small.ok == 0 || large.ok == 0) {
    std::fprintf(stderr, "catalog_bench: a build failed\n");
    return 1;
  }

  for (const SizeResult* r : {&small, &large}) {
    std::printf(
        "%6d files: Build %.2f s, GetDayTable %.3f s (%u minutes marked); peak RSS %.1f MiB "
        "with the mappings (%.1f MiB mapped), %.1f MiB at start; anonymous peak %.1f MiB: "
        "%.1f MiB at start, %.1f MiB for the list of paths\n",
        r->files, r->buildS, r->dayTableS, r->markedMinutes, r->peakTotalMiB, r->mappedMiB,
        r->startRssMiB, r->peakAnonMiB, r->baseAnonMiB, r->listMiB);
  }

  const std::string files = std::to_string(large.files);
  bench::Report({"7-build", "catalogue Build, " + files + " index files", large.buildS, "s",
                 kBuildLimitS, "limit", large.buildS / kBuildLimitS, "<= 10 s",
                 large.buildS <= kBuildLimitS ? 1 : 0});
  bench::Report({"7-daytable", "GetDayTable over " + files + " files", large.dayTableS, "s",
                 kDayTableLimitS, "limit", large.dayTableS / kDayTableLimitS, "<= 1 s",
                 large.dayTableS <= kDayTableLimitS ? 1 : 0});
  const double net = NetPeakMiB(large);
  const double netSmall = NetPeakMiB(small);
  bench::Report({"7-rss", "peak RSS without mappings and path list, " + files + " files", net,
                 "MiB", netSmall, "same at " + std::to_string(small.files) + " files",
                 netSmall > 0 ? net / netSmall : 0, "heap flat in the file count",
                 net - netSmall <= kFlatLimitMiB ? 1 : 0});
  return 0;
}
