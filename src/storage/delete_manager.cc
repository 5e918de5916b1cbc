#include "storage/delete_manager.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <set>
#include <utility>

#include "platform/file.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "platform/paths.h"
#include "storage/event_callback_scope.h"
#include "storage/formats.h"
#include "storage/recent_recordings.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kSecondsPerHour = 3600;

}  // namespace

// The scan itself, with everything it touches. The worker thread holds a reference, so an
// abandoned worker still finds its paths, callback and candidate list alive.
class CDeleteManager::DeletionJob : public CWorkerThread::Job {
 public:
  DeletionJob(RECORDER_HANDLE owner, PathSource paths) : owner_(owner), paths_(std::move(paths)) {}

  void SetCallback(uintptr_t context, RecorderEventCallback callback) {
    platform::MutexLock lock(&callbackMu_);
    context_ = context;
    callback_ = callback;
  }

  void SetRetention(int32_t days, int32_t hours) {
    // 64-bit so that a large "keep forever" value cannot wrap negative and delete everything.
    retentionSeconds_.store(int64_t{days} * kSecondsPerDay + int64_t{hours} * kSecondsPerHour);
  }

  uint64_t CompletedScans() const { return completedScans_.load(); }

  void WorkStep(const CWorkerThread::Control& control) override {
    platform::MutexLock lock(&scanMu_);
    Scan(control);
    completedScans_.fetch_add(1);
  }

 private:
  void Scan(const CWorkerThread::Control& control) REQUIRES(scanMu_) {
    const int64_t now = platform::CTime::Now().seconds();
    candidates_.clear();
    if (owner_ == nullptr || !paths_) return;
    const int64_t retention = retentionSeconds_.load();

    std::set<std::string> scanned;
    for (const std::string& entry : paths_()) {
      // An empty entry would search the working directory; it names no directory at all.
      if (entry.empty()) continue;
      // The path list names the data files of the rotation set: their directories are
      // scanned. An entry that is a directory is scanned as it is.
      const std::string dir = platform::NormalizeDirectory(
          platform::IsDirectory(entry) ? entry : platform::DirectoryOf(entry));
      if (!scanned.insert(dir).second) continue;
      FindCandidates(dir, now, retention);
    }

    for (const std::string& dataFile : candidates_) {
      // A file that is open (being recorded or played) or already gone is skipped quietly
      // and stays a candidate for the next scan; its index file is left alone with it.
      if (!control.running.load() || !platform::DeleteFileIfUnused(dataFile)) continue;
      Report(control, dataFile);
      // The index file the recorder wrote beside this data file.
      const std::string indexFile = storage::IndexFileName(dataFile);
      if (!control.running.load() || !platform::DeleteFileIfUnused(indexFile)) continue;
      Report(control, indexFile);
    }
  }

  // The data files of `dir` older than the retention period. Only regular files count (a
  // link, a FIFO or a device named like a data file is never opened, followed or deleted).
  void FindCandidates(const std::string& dir, int64_t now, int64_t retention) REQUIRES(scanMu_) {
    struct Found {
      std::string name;
      platform::FileId id;
      int64_t written;
      uint32_t sequence = 0;
    };
    std::vector<Found> found;
    bool anyOld = false;
    for (const platform::DirectoryEntry& entry :
         platform::FindFiles(dir, std::string(storage::kDataFileSuffix))) {
      if (!entry.isRegular) continue;
      // Last-write times are taken as UTC calendar fields read as local ones, so in a
      // zone east of UTC files become old enough earlier by the zone's offset.
      const int64_t written = platform::CTime::FromUtcFieldsAsLocal(entry.lastWriteUtc).seconds();
      anyOld = anyOld || now - written > retention;
      found.push_back({entry.name, entry.id, written});
    }
    if (!anyOld) return;
    // A file numbered later in its set was recorded after every file numbered before it: it
    // is at least as recent as the latest of their last writes, whatever the clock said while
    // it was recorded (a boot with a dead real-time clock stamps the year 2000).
    for (Found& file : found) file.sequence = SequenceOf(dir + file.name);
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.sequence < b.sequence; });
    int64_t latestBefore = INT64_MIN;
    for (size_t i = 0; i < found.size();) {
      // Files of one sequence share what came before them.
      size_t end = i;
      int64_t latestHere = INT64_MIN;
      for (; end < found.size() && found[end].sequence == found[i].sequence; ++end) {
        latestHere = std::max(latestHere, found[end].written);
      }
      for (; i < end; ++i) {
        const Found& file = found[i];
        const int64_t recorded =
            file.sequence == 0 ? file.written : std::max(file.written, latestBefore);
        if (now - recorded <= retention) continue;
        // Footage this process recorded within the period of elapsed time stays, whatever
        // the wall clock did meanwhile.
        const double since = storage::SecondsSinceRecordedInto(file.id);
        if (since >= 0 && since <= static_cast<double>(retention)) continue;
        candidates_.push_back(dir + file.name);
      }
      if (found[end - 1].sequence != 0) latestBefore = std::max(latestBefore, latestHere);
    }
  }

  // The sequence in the index file beside a data file (0 when there is none to read).
  static uint32_t SequenceOf(const std::string& dataFile) {
    std::unique_ptr<platform::File> index =
        platform::File::OpenReadOnly(storage::IndexFileName(dataFile));
    storage::FileHeader header;
    if (!index || !index->ReadAt(0, &header, sizeof(header)).ok()) return 0;
    return header.sequence;
  }

  void Report(const CWorkerThread::Control& control, const std::string& path) {
    uintptr_t context;
    RecorderEventCallback callback;
    {
      platform::MutexLock lock(&callbackMu_);
      context = context_;
      callback = callback_;
    }
    // Never call the host once its recorder is being torn down.
    if (callback == nullptr || !control.running.load()) return;
    CEventCallbackScope inside(owner_);
    callback(owner_, context, RECORDER_EVENT_FILE_DELETED, 0, path.c_str(),
             static_cast<int32_t>(path.size()));
  }

  const RECORDER_HANDLE owner_;
  const PathSource paths_;
  std::atomic<int64_t> retentionSeconds_{0};
  std::atomic<uint64_t> completedScans_{0};

  platform::Mutex callbackMu_;
  uintptr_t context_ GUARDED_BY(callbackMu_) = 0;
  RecorderEventCallback callback_ GUARDED_BY(callbackMu_) = nullptr;

  // One scan at a time: the worker's and a direct RunDeletionScan never overlap.
  platform::Mutex scanMu_;
  std::vector<std::string> candidates_ GUARDED_BY(scanMu_);
};

CDeleteManager::CDeleteManager(RECORDER_HANDLE owner, PathSource paths, uint32_t periodMs)
    : CWorkerThread(periodMs), job_(std::make_shared<DeletionJob>(owner, std::move(paths))) {
  StartThread(job_);
}

CDeleteManager::~CDeleteManager() {
  // The thread first, so no scan runs while the job is released.
  StopThread();
  job_.reset();
}

void CDeleteManager::SetCallback(uintptr_t context, RecorderEventCallback callback) {
  job_->SetCallback(context, callback);
}

void CDeleteManager::Start(int32_t days, int32_t hours) {
  job_->SetRetention(days, hours);
  EnableWork();
}

void CDeleteManager::Stop() { DisableWork(); }

void CDeleteManager::RunDeletionScan() {
  if (!IsRunning()) return;
  job_->WorkStep(*control());
}

uint64_t CDeleteManager::CompletedScans() const { return job_->CompletedScans(); }
