// soak: a long real-time run of one recorder and one file search in the same process, for
// finding slow leaks. 32 channels are recorded at 25 frames per second into a rotation set in
// a scratch directory, at a data rate that fills a data file about once a minute; the
// deletion worker runs with the shortest retention there is; a file search is rebuilt every
// minute and plays, 40 seconds behind the live recording, through files that rotation
// reuses and deletion removes under it. Every ten seconds a table row shows the process's
// resident memory, descriptors and threads; at the end a verdict says whether they stayed
// flat once the first rotation had happened, and the exit status says the same.
//
//   soak [--minutes N] [--dir DIR] [--keep] [--mib-per-minute N] [--files N]
//        [--sample-seconds N] [--search-seconds N] [--rss-bound-mib N]
//
// Exit status: 0 flat, 1 something grew or failed, 2 bad usage or no rotation to judge by.
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "recorder.h"
#include "storage/formats.h"
#include "storage/frame_reader.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kChannels = 32;
constexpr int kFramesPerSecond = 25;
constexpr int kKeyFrameInterval = 25;  // one key frame a second per channel
constexpr uint32_t kKeyFrameType = 1;
constexpr uint32_t kPictureFrameType = 3;
// Bytes a stored video record adds to its payload: 52 for a key frame, 152 for the others.
constexpr double kMeanRecordOverhead = (52.0 + 152.0 * (kKeyFrameInterval - 1)) / kKeyFrameInterval;
constexpr int kPlayLagSeconds = 40;

struct Options {
  double minutes = 30;
  std::string dir;
  bool keep = false;
  double mibPerMinute = 200;
  int files = 12;
  int sampleSeconds = 10;
  int searchSeconds = 60;
  double rssBoundMib = 8;
};

void Usage() {
  std::fprintf(stderr,
               "usage: soak [--minutes N] [--dir DIR] [--keep] [--mib-per-minute N] [--files N]\n"
               "            [--sample-seconds N] [--search-seconds N] [--rss-bound-mib N]\n"
               "  --minutes N          length of the run (default 30; fractions allowed)\n"
               "  --dir DIR            scratch directory, no '.' in it (default: a new one under\n"
               "                       /var/tmp); made if missing, removed at the end\n"
               "  --keep               leave the recorded files in place\n"
               "  --mib-per-minute N   data rate of all channels together (default 200, which\n"
               "                       fills a data file about once a minute)\n"
               "  --files N            data files in the rotation set (default 12)\n"
               "  --sample-seconds N   table row period (default 10)\n"
               "  --search-seconds N   file search rebuild period (default 60)\n"
               "  --rss-bound-mib N    allowed rise of the memory peak (default 8)\n");
}

bool ParseNumber(const char* text, double low, double high, double* value) {
  char* end = nullptr;
  const double parsed = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(parsed >= low && parsed <= high)) return false;
  *value = parsed;
  return true;
}

// Returns false (after printing why) on anything it does not understand.
bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    double number = 0;
    auto numberOf = [&](double low, double high) {
      if (!hasValue || !ParseNumber(argv[++i], low, high, &number)) {
        std::fprintf(stderr, "soak: %s needs a number from %g to %g\n", arg.c_str(), low, high);
        return false;
      }
      return true;
    };
    if (arg == "--minutes") {
      if (!numberOf(0.1, 10000)) return false;
      options->minutes = number;
    } else if (arg == "--mib-per-minute") {
      if (!numberOf(1, 2000)) return false;
      options->mibPerMinute = number;
    } else if (arg == "--files") {
      if (!numberOf(2, 1000)) return false;
      options->files = static_cast<int>(number);
    } else if (arg == "--sample-seconds") {
      if (!numberOf(1, 3600)) return false;
      options->sampleSeconds = static_cast<int>(number);
    } else if (arg == "--search-seconds") {
      if (!numberOf(5, 3600)) return false;
      options->searchSeconds = static_cast<int>(number);
    } else if (arg == "--rss-bound-mib") {
      if (!numberOf(0, 100000)) return false;
      options->rssBoundMib = number;
    } else if (arg == "--dir" && hasValue) {
      options->dir = argv[++i];
    } else if (arg == "--keep") {
      options->keep = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      std::exit(0);
    } else {
      std::fprintf(stderr, "soak: unknown or incomplete option %s\n", arg.c_str());
      return false;
    }
  }
  return true;
}

// What the recorder's and the file search's callbacks count. The recorder calls from its
// writer and deletion threads, the file search from its pacing thread: atomics only.
struct Counters {
  std::atomic<uint64_t> framesWritten{0};
  std::atomic<uint64_t> framesRefused{0};
  std::atomic<uint64_t> framesPlayed{0};
  std::atomic<uint64_t> dataFilesOpened{0};
  std::atomic<uint64_t> filesOpened{0};
  std::atomic<uint64_t> filesDeleted{0};
  std::atomic<uint64_t> failures{0};  // failed opens and failed writes
  std::atomic<uint64_t> searchRestarts{0};
  std::atomic<uint64_t> searchSkipped{0};  // rebuilds that found no index file
};

Counters g_counters;

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

void OnRecorderEvent(RECORDER_HANDLE, uintptr_t, int32_t code, int32_t status, const char* path,
                     int32_t pathLength) {
  const std::string name = (path != nullptr && pathLength > 0)
                               ? std::string(path, static_cast<size_t>(pathLength))
                               : std::string();
  if (code == RECORDER_EVENT_FILE_OPENED && status == 0) {
    g_counters.filesOpened.fetch_add(1);
    if (EndsWith(name, ".VDB")) g_counters.dataFilesOpened.fetch_add(1);
  } else if (code == RECORDER_EVENT_FILE_DELETED) {
    g_counters.filesDeleted.fetch_add(1);
  } else {
    g_counters.failures.fetch_add(1);
    std::fprintf(stderr, "soak: recorder %s %s\n",
                 code == RECORDER_EVENT_FILE_OPENED ? "cannot open" : "write failed on",
                 name.c_str());
  }
}

void OnFramePlayed(uintptr_t, uint32_t, const FrameDescriptor*, int32_t) {
  g_counters.framesPlayed.fetch_add(1, std::memory_order_relaxed);
}

// The process as /proc sees it, plus the bytes the allocator has handed out.
struct ProcessSample {
  double rssMib = 0;
  double hwmMib = 0;
  double heapMib = 0;
  int fds = 0;
  int setFds = 0;  // of them, descriptors on the files of the recording directory
  int threads = 0;
};

int CountEntries(const char* dir) {
  std::error_code error;
  int count = 0;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

// Descriptors whose file lies in `dir` (empty: none is counted).
int CountDescriptorsIn(const std::string& dir) {
  if (dir.empty()) return 0;
  std::error_code error;
  const std::string prefix = fs::weakly_canonical(dir, error).string() + "/";
  int count = 0;
  for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    std::error_code unreadable;
    const std::string target = fs::read_symlink(it->path(), unreadable).string();
    if (!unreadable && (target.rfind(prefix, 0) == 0 || target + "/" == prefix)) ++count;
  }
  return count;
}

ProcessSample SampleProcess(const std::string& setDir = "") {
  ProcessSample sample;
  // Each rebuilt file search queues a few seconds of frames (about 16 MiB at this rate) from
  // its new playback thread, and glibc serves a new thread from whichever per-thread arena is
  // free. Freed pools stay resident in their arena until trimmed, so without the trim the
  // resident size steps up by a pool whenever the pools land in an arena that never held
  // them, which says nothing about the library. Trimmed, it follows what is really in use.
  malloc_trim(0);
  const struct mallinfo2 heap = mallinfo2();
  sample.heapMib = static_cast<double>(heap.uordblks + heap.hblkhd) / 1048576.0;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    const double mib = std::strtod(line.c_str() + std::min<size_t>(line.size(), 7), nullptr) / 1024;
    if (line.rfind("VmRSS:", 0) == 0) sample.rssMib = mib;
    if (line.rfind("VmHWM:", 0) == 0) sample.hwmMib = mib;
  }
  // The listing's own descriptor is counted too, in every sample alike.
  sample.fds = CountEntries("/proc/self/fd");
  sample.setFds = CountDescriptorsIn(setDir);
  sample.threads = CountEntries("/proc/self/task");
  return sample;
}

std::vector<std::string> FilesWithSuffix(const std::string& dir, const char* suffix) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (EndsWith(name, suffix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string DataFileName(const std::string& dir, int i) {
  char name[32];
  std::snprintf(name, sizeof(name), "/soak%03d.VDB", i);
  return dir + name;
}

// The rotation set is given through a header file, so the recorder's path list is free to
// name the directory for the deletion worker (which reads path-list entries as directories).
bool WriteHeaderFile(const std::string& path, const std::string& dir, int files) {
  std::string bytes;
  storage::HeaderFileHead head{};
  head.recordCount = static_cast<uint32_t>(files);
  bytes.append(reinterpret_cast<const char*>(&head), sizeof(head));
  for (int i = 0; i < files; ++i) {
    storage::FileInfo info{};
    storage::SetFileInfoPath(&info, DataFileName(dir, i));
    info.summary = storage::MakeEmptySummary();
    bytes.append(reinterpret_cast<const char*>(&info), sizeof(info));
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

// Stops the helper threads when the run is over; they wait on it instead of sleeping.
class StopSignal {
 public:
  void Raise() {
    platform::MutexLock hold(&mutex_);
    raised_ = true;
    changed_.SignalAll();
  }
  // false when the signal was raised before `until`.
  bool WaitUntil(Clock::time_point until) {
    platform::MutexLock hold(&mutex_);
    while (!raised_ && changed_.WaitUntil(&mutex_, until)) {
    }
    return !raised_;
  }

 private:
  platform::Mutex mutex_;
  platform::CondVar changed_;
  bool raised_ GUARDED_BY(mutex_) = false;
};

// The camera side: every 40 ms one frame for each of the 32 channels, paced on the clock so a
// stalled write is caught up rather than dropped from the schedule.
void Feed(RECORDER_HANDLE recorder, uint32_t payloadSize, StopSignal* stop) {
  std::vector<uint8_t> payload(payloadSize);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 131 + 7);
  const auto start = Clock::now();
  for (uint32_t serial = 0;; ++serial) {
    if (!stop->WaitUntil(start + std::chrono::milliseconds(1000 / kFramesPerSecond) * serial)) {
      return;
    }
    const bool key = serial % kKeyFrameInterval == 0;
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
      FrameDescriptor frame;
      std::memset(&frame, 0, sizeof(frame));
      frame.type = key ? kKeyFrameType : kPictureFrameType;
      frame.keyFlag = key ? 1 : 0;
      frame.tag = serial;
      frame.videoData = payload.data();
      frame.dataEnd = payloadSize;
      frame.statSize = payloadSize;
      if (_RECORDER_WRITEVIDEO(recorder, channel, &frame) == 1) {
        g_counters.framesWritten.fetch_add(1, std::memory_order_relaxed);
      } else {
        g_counters.framesRefused.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
}

// The viewer side: a fresh file search over whatever index files the directory holds now,
// playing all channels from 40 s ago. Data files may vanish between the listing and the
// build, or while they are played; the file search has to live with that.
FILESEARCH_HANDLE StartSearch(const std::string& dir, time_t recordingStart) {
  const std::vector<std::string> indexFiles = FilesWithSuffix(dir, ".FIH");
  if (indexFiles.empty()) {
    g_counters.searchSkipped.fetch_add(1);
    return nullptr;
  }
  FILESEARCH_HANDLE search = _RECORDER_FILESEARCH_INIT(kChannels, 0, &OnFramePlayed, nullptr);
  if (search == nullptr) return nullptr;
  for (const std::string& name : indexFiles) {
    _RECORDER_FILESEARCH_SETPATH(search, dir.c_str(), name.c_str(), 1);
  }
  _RECORDER_FILESEARCH_START(search);
  uint32_t display[kChannels];
  std::fill(std::begin(display), std::end(display), 1u);
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search, display, kChannels);
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(search, kChannels);  // no audio is recorded
  _RECORDER_FILESEARCH_PLAYRATE(search, 1.0f);
  const time_t from = std::max(recordingStart, std::time(nullptr) - kPlayLagSeconds);
  std::tm local{};
  localtime_r(&from, &local);
  _RECORDER_FILESEARCH_PLAYTIME(search, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec);
  g_counters.searchRestarts.fetch_add(1);
  return search;
}

void View(const std::string& dir, time_t recordingStart, int periodSeconds, int sampleSeconds,
          StopSignal* stop) {
  // The first search waits until there is something to play. A rebuild drops one search's
  // queued frames and fills the next one's, so rebuilds fall half a sample period away from
  // the table's samples, which then always see a search that has settled.
  auto next = Clock::now() + std::chrono::milliseconds(sampleSeconds * 1500);
  FILESEARCH_HANDLE search = nullptr;
  while (stop->WaitUntil(next)) {
    if (search != nullptr) _RECORDER_FILESEARCH_END(search);
    search = StartSearch(dir, recordingStart);
    next += std::chrono::seconds(periodSeconds);
  }
  if (search != nullptr) _RECORDER_FILESEARCH_END(search);
}

struct Row {
  double elapsed = 0;
  ProcessSample process;
  int dataFiles = 0;
  uint64_t rotations = 0;
  uint64_t written = 0;
  uint64_t played = 0;
  uint64_t opened = 0;
  uint64_t deleted = 0;
  uint64_t failures = 0;
};

Row TakeRow(const std::string& dir, double elapsed) {
  Row row;
  row.elapsed = elapsed;
  row.process = SampleProcess(dir);
  row.dataFiles = static_cast<int>(FilesWithSuffix(dir, ".VDB").size());
  const uint64_t dataOpens = g_counters.dataFilesOpened.load();
  row.rotations = dataOpens > 0 ? dataOpens - 1 : 0;  // START opens the first one
  row.written = g_counters.framesWritten.load();
  row.played = g_counters.framesPlayed.load();
  row.opened = g_counters.filesOpened.load();
  row.deleted = g_counters.filesDeleted.load();
  row.failures = g_counters.failures.load();
  return row;
}

void PrintHeading() {
  std::printf("%7s %8s %8s %8s %5s %6s %7s %5s %4s %10s %10s %16s\n", "elapsed", "rss_mib",
              "hwm_mib", "heap_mib", "fds", "in_set", "threads", "files", "rot", "written",
              "played", "events o/d/f");
}

void PrintRow(const Row& row) {
  char events[48];
  std::snprintf(
      events, sizeof(events), "%llu/%llu/%llu", static_cast<unsigned long long>(row.opened),
      static_cast<unsigned long long>(row.deleted), static_cast<unsigned long long>(row.failures));
  std::printf("%7.0f %8.1f %8.1f %8.1f %5d %6d %7d %5d %4llu %10llu %10llu %16s\n", row.elapsed,
              row.process.rssMib, row.process.hwmMib, row.process.heapMib, row.process.fds,
              row.process.setFds, row.process.threads, row.dataFiles,
              static_cast<unsigned long long>(row.rotations),
              static_cast<unsigned long long>(row.written),
              static_cast<unsigned long long>(row.played), events);
  std::fflush(stdout);
}

struct Range {
  double min = 0;
  double max = 0;
};

template <typename Get>
Range RangeOf(const std::vector<Row>& rows, size_t from, size_t to, Get get) {
  Range range{get(rows[from]), get(rows[from])};
  for (size_t i = from; i < to; ++i) {
    range.min = std::min(range.min, get(rows[i]));
    range.max = std::max(range.max, get(rows[i]));
  }
  return range;
}

// Judges the rows taken after the first rotation. Resident memory swings as a search's chunk
// pools grow with what it has queued and go when the search is rebuilt, and the allocator
// may keep what it once reached, so memory settling at a level already seen is no growth; a
// leak makes new peaks, so the peak of the later half of the samples may exceed the peak of
// the earlier half by at most the bound. Threads, and descriptors on anything but the
// recording's files, come and go with a rotation (the closer thread) and a search rebuild
// (its playback thread), so a single sample may sit above the others; a leak instead lifts
// the floor. The rule: the lowest count of the later half of the samples is no higher than
// the lowest of the earlier half, and no sample exceeds the floor by more than these
// transients can explain. Descriptors on the recording's own files depend on where the
// recorder and the search stand (a search holds the files it reads and a few it left behind,
// more after it crossed a file than before), so their floor moves either way; they are held
// to what the recorder and one search may hold at once, which a leak outgrows.
struct Verdict {
  bool flat = true;
  std::vector<std::string> findings;
};

constexpr int kTransientFds = 2;      // outside the recording: a rebuild or rotation's moment
constexpr int kTransientThreads = 3;  // closer thread, a search's threads mid-rebuild
// The recorder's current pair, the next pair and the pair being finished, the directory and
// the header file; a search's data files and, while it is built, two index files.
constexpr int kMostSetFds = 6 + 2 + storage::CFrameReader::kMaxOpenDataFiles + 2;

void CheckCount(const std::vector<Row>& rows, size_t first, const char* what, int transient,
                int (*get)(const Row&), Verdict* verdict) {
  auto value = [&](const Row& row) { return static_cast<double>(get(row)); };
  const Range all = RangeOf(rows, first, rows.size(), value);
  std::printf("%-8s min %4.0f  max %4.0f", what, all.min, all.max);
  const size_t count = rows.size() - first;
  if (count >= 2) {
    const size_t middle = first + count / 2;
    const Range earlier = RangeOf(rows, first, middle, value);
    const Range later = RangeOf(rows, middle, rows.size(), value);
    std::printf("  floor earlier %.0f, later %.0f", earlier.min, later.min);
    if (later.min > earlier.min) {
      verdict->flat = false;
      verdict->findings.push_back(std::string(what) + " floor rose from " +
                                  std::to_string(static_cast<int>(earlier.min)) + " to " +
                                  std::to_string(static_cast<int>(later.min)));
    }
  }
  std::printf("\n");
  if (all.max - all.min > transient) {
    verdict->flat = false;
    verdict->findings.push_back(std::string(what) + " spread " +
                                std::to_string(static_cast<int>(all.max - all.min)) +
                                " above the allowed " + std::to_string(transient));
  }
}

void CheckMib(const std::vector<Row>& rows, size_t first, const char* what, double bound,
              double (*get)(const Row&), Verdict* verdict) {
  const Range range = RangeOf(rows, first, rows.size(), get);
  std::printf("%-8s min %6.1f  max %6.1f MiB  spread %.1f MiB", what, range.min, range.max,
              range.max - range.min);
  const size_t count = rows.size() - first;
  if (count >= 2) {
    const size_t middle = first + count / 2;
    const Range earlier = RangeOf(rows, first, middle, get);
    const Range later = RangeOf(rows, middle, rows.size(), get);
    const double rise = later.max - earlier.max;
    std::printf("  earlier half %.1f-%.1f, later half %.1f-%.1f (bound on the peak's rise %.1f)",
                earlier.min, earlier.max, later.min, later.max, bound);
    if (rise > bound) {
      verdict->flat = false;
      char text[96];
      std::snprintf(text, sizeof(text), "%s rose by %.1f MiB (bound %.1f)", what, rise, bound);
      verdict->findings.push_back(text);
    }
  }
  std::printf("\n");
}

Verdict Judge(const std::vector<Row>& rows, const Options& options) {
  Verdict verdict;
  size_t first = 0;
  while (first < rows.size() && rows[first].rotations == 0) ++first;
  if (first >= rows.size()) {
    verdict.flat = false;
    verdict.findings.push_back("no rotation happened: nothing to judge by");
    return verdict;
  }
  std::printf("\nafter the first rotation (%zu samples from %.0f s):\n", rows.size() - first,
              rows[first].elapsed);
  CheckMib(
      rows, first, "rss", options.rssBoundMib, [](const Row& row) { return row.process.rssMib; },
      &verdict);
  CheckMib(
      rows, first, "heap", options.rssBoundMib, [](const Row& row) { return row.process.heapMib; },
      &verdict);
  CheckCount(
      rows, first, "fds_out", kTransientFds,
      [](const Row& row) { return row.process.fds - row.process.setFds; }, &verdict);
  const Range inSet =
      RangeOf(rows, first, rows.size(), [](const Row& row) { return double(row.process.setFds); });
  std::printf("in_set   min %4.0f  max %4.0f  (at most %d)\n", inSet.min, inSet.max, kMostSetFds);
  if (inSet.max > kMostSetFds) {
    verdict.flat = false;
    verdict.findings.push_back("descriptors on the recording's files reached " +
                               std::to_string(static_cast<int>(inSet.max)) + ", more than " +
                               std::to_string(kMostSetFds));
  }
  CheckCount(
      rows, first, "threads", kTransientThreads, [](const Row& row) { return row.process.threads; },
      &verdict);
  if (rows.back().played <= rows[first].played && rows.size() - first >= 2) {
    verdict.flat = false;
    verdict.findings.push_back("playback delivered no frame after the first rotation");
  }
  return verdict;
}

// Threads that ended may stay listed in /proc for a moment, so the count is given time to
// settle before it is compared with the count before the run.
ProcessSample SettledSample(int expectedThreads, int expectedFds) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  ProcessSample sample = SampleProcess();
  while ((sample.threads > expectedThreads || sample.fds > expectedFds) &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sample = SampleProcess();
  }
  return sample;
}

bool PrepareDirectory(Options* options, bool* created) {
  *created = false;
  if (options->dir.empty()) {
    char pattern[] = "/var/tmp/recsoak_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::fprintf(stderr, "soak: cannot make a directory under /var/tmp\n");
      return false;
    }
    options->dir = pattern;
    *created = true;
    return true;
  }
  // The recorder names an index file after everything before the first '.' of the path.
  if (options->dir.find('.') != std::string::npos) {
    std::fprintf(stderr, "soak: the directory must not contain a '.': %s\n", options->dir.c_str());
    return false;
  }
  while (options->dir.size() > 1 && options->dir.back() == '/') options->dir.pop_back();
  std::error_code error;
  if (!fs::exists(options->dir, error)) {
    if (!fs::create_directories(options->dir, error)) {
      std::fprintf(stderr, "soak: cannot make %s: %s\n", options->dir.c_str(),
                   error.message().c_str());
      return false;
    }
    *created = true;
  }
  return true;
}

// Removes what the run made: the whole directory when the run made it, else only its files.
void CleanUp(const Options& options, const std::string& headerPath, bool created) {
  std::error_code error;
  if (created) {
    fs::remove_all(options.dir, error);
    return;
  }
  fs::remove(headerPath, error);
  for (int i = 0; i < options.files; ++i) {
    const std::string data = DataFileName(options.dir, i);
    fs::remove(data, error);
    fs::remove(data.substr(0, data.size() - 4) + ".FIH", error);
  }
}

int Run(Options options) {
  bool created = false;
  if (!PrepareDirectory(&options, &created)) return 2;
  const std::string headerPath = options.dir + "/soakset.hdr";
  if (!WriteHeaderFile(headerPath, options.dir, options.files)) {
    std::fprintf(stderr, "soak: cannot write %s\n", headerPath.c_str());
    CleanUp(options, headerPath, created);
    return 2;
  }
  const double recordBytes =
      options.mibPerMinute * 1048576.0 / (kChannels * kFramesPerSecond * 60.0);
  const auto payloadSize =
      static_cast<uint32_t>(std::max(16.0, recordBytes - kMeanRecordOverhead + 0.5));
  // A sanitizer starts a helper thread of its own with the first thread of the process; one
  // short-lived thread first puts it in the baseline, so only the run's own threads count.
  // The thread may stay listed in /proc for a moment after the join: the lowest counts of
  // half a second of samples are the baseline.
  std::thread([] {}).join();
  ProcessSample before = SampleProcess();
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const ProcessSample next = SampleProcess();
    before.threads = std::min(before.threads, next.threads);
    before.fds = std::min(before.fds, next.fds);
  }
  std::printf(
      "soak: %.1f min, %d channels x %d fps, %u-byte frames (%.0f MiB/min), %d data files in "
      "%s,\n      deletion retention 0 (scans every 10 min), file search rebuilt every %d s\n",
      options.minutes, kChannels, kFramesPerSecond, payloadSize, options.mibPerMinute,
      options.files, options.dir.c_str(), options.searchSeconds);

  RECORDER_HANDLE recorder = _RECORDER_INIT("soak", 0, &OnRecorderEvent);
  if (recorder == nullptr) {
    std::fprintf(stderr, "soak: the library did not create a recorder\n");
    CleanUp(options, headerPath, created);
    return 2;
  }
  _RECORDER_SETHEADERFILEPATH(recorder, headerPath.c_str(), 1);
  _RECORDER_ADDFILEPATH(recorder, options.dir.c_str());
  _RECORDER_SETOVERWRITEMODE(recorder, 1);
  for (uint32_t channel = 0; channel < kChannels; ++channel) {
    _RECORDER_SETRECORD(recorder, channel, 1);
  }
  const time_t recordingStart = std::time(nullptr);
  if (_RECORDER_START(recorder) != 1) {
    std::fprintf(stderr, "soak: the recorder did not start in %s\n", options.dir.c_str());
    _RECORDER_END(recorder);
    CleanUp(options, headerPath, created);
    return 2;
  }
  // Retention 0: every data file not held open by the recorder or a file search goes at the
  // worker's next scan.
  _RECORDER_DELETEMAN_START(recorder, 0, 0);

  StopSignal stop;
  std::thread feeder(Feed, recorder, payloadSize, &stop);
  std::thread viewer(View, options.dir, recordingStart, options.searchSeconds,
                     options.sampleSeconds, &stop);

  PrintHeading();
  std::vector<Row> rows;
  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(static_cast<int64_t>(options.minutes * 60000));
  for (int k = 1;; ++k) {
    const auto at = std::min(end, start + std::chrono::seconds(options.sampleSeconds) * k);
    std::this_thread::sleep_until(at);
    rows.push_back(TakeRow(options.dir, std::chrono::duration<double>(at - start).count()));
    PrintRow(rows.back());
    if (at >= end) break;
  }
  stop.Raise();
  feeder.join();
  viewer.join();
  _RECORDER_DELETEMAN_STOP(recorder);
  _RECORDER_STOP(recorder);
  _RECORDER_END(recorder);

  Verdict verdict = Judge(rows, options);
  const ProcessSample after = SettledSample(before.threads, before.fds);
  std::printf("after the end: fds %d (before the run %d), threads %d (before %d)\n", after.fds,
              before.fds, after.threads, before.threads);
  if (after.fds > before.fds) {
    verdict.flat = false;
    verdict.findings.push_back("descriptors left open after the end: " +
                               std::to_string(after.fds - before.fds));
  }
  if (after.threads > before.threads) {
    verdict.flat = false;
    verdict.findings.push_back("threads left running after the end: " +
                               std::to_string(after.threads - before.threads));
  }
  const Row& last = rows.back();
  std::printf(
      "totals: %llu frames written, %llu refused, %llu played, %llu rotations, %llu files "
      "opened, %llu deleted, %llu failures, %llu search rebuilds (%llu with no index file)\n",
      static_cast<unsigned long long>(g_counters.framesWritten.load()),
      static_cast<unsigned long long>(g_counters.framesRefused.load()),
      static_cast<unsigned long long>(g_counters.framesPlayed.load()),
      static_cast<unsigned long long>(last.rotations),
      static_cast<unsigned long long>(g_counters.filesOpened.load()),
      static_cast<unsigned long long>(g_counters.filesDeleted.load()),
      static_cast<unsigned long long>(g_counters.failures.load()),
      static_cast<unsigned long long>(g_counters.searchRestarts.load()),
      static_cast<unsigned long long>(g_counters.searchSkipped.load()));
  if (g_counters.failures.load() > 0) {
    verdict.flat = false;
    verdict.findings.push_back("the recorder reported failed opens or writes");
  }
  if (g_counters.framesRefused.load() > 0) {
    verdict.flat = false;
    verdict.findings.push_back("the recorder refused frames");
  }

  if (options.keep) {
    std::printf("files kept in %s\n", options.dir.c_str());
  } else {
    CleanUp(options, headerPath, created);
  }
  if (verdict.flat) {
    std::printf("verdict: flat\n");
    return 0;
  }
  std::string text;
  for (const std::string& finding : verdict.findings) {
    text += (text.empty() ? "" : "; ") + finding;
  }
  std::printf("verdict: NOT flat: %s\n", text.c_str());
  return last.rotations == 0 ? 2 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage();
    return 2;
  }
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 2;
  }
}
