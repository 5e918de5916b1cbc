#include "recording/file_closer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <utility>

#include "storage/formats.h"

std::unique_ptr<platform::File> OpenRecordingFile(const std::string& path,
                                                  platform::Status* status) {
  if (path.empty()) {
    if (status != nullptr) *status = platform::Status::FromErrno("open", path, ENOENT);
    return nullptr;
  }
  std::unique_ptr<platform::File> file = platform::File::Open(
      path, platform::File::Mode::kOpenOrCreate, /*writeThrough=*/true, status);
  if (file && file->created()) {
    // A new name is made durable before anything is recorded under it: on a file system that
    // needs the directory synced, a power cut would otherwise lose the file with its frames.
    const platform::Status synced = platform::SyncDirectoryOf(path);
    if (!synced.ok()) {
      if (status != nullptr) *status = synced;
      file.reset();
    }
  }
  return file;
}

std::unique_ptr<platform::File> OpenDataFileForRecording(const std::string& path,
                                                         platform::Status* status) {
  std::unique_ptr<platform::File> file = OpenRecordingFile(path, status);
  if (file && !file->LockForWriting()) {
    // Another recorder records into the file.
    if (status != nullptr) *status = platform::Status::FromErrno("lock", path, EWOULDBLOCK);
    file.reset();
  }
  return file;
}

namespace {

std::atomic<uint32_t> g_reserveForTest{0};

}  // namespace

void SetDataFileReserveForTest(uint32_t bytes) { g_reserveForTest.store(bytes); }

platform::Status PreallocateDataFile(platform::File& file) {
  // Reserved blocks read back as zeros, like the zero byte written at the last offset, and a
  // full disk shows here, when the file is prepared, not in the middle of a recording. A file
  // of the set that already has its size was reserved when it was made, and is left as it is.
  // A file-size limit below the reservation is refused here, before any write could meet it.
  platform::Status limit = platform::CheckFileSizeLimit(file.path(), storage::kDataFileSize);
  if (!limit.ok()) return limit;
  const int64_t size = file.Size();
  if (size < 0) return platform::Status::FromErrno("stat", file.path(), EIO);
  if (size >= static_cast<int64_t>(storage::kDataFileSize)) return platform::Status();
  const uint32_t forTest = g_reserveForTest.load();
  platform::Status status = file.Reserve(forTest != 0 ? forTest : storage::kDataFileSize);
  if (status.ok() && forTest != 0) status = file.SetLength(storage::kDataFileSize);
  if (status.ok()) status = file.Flush();
  return status;
}

platform::Status PadDataFile(platform::File& file) {
  const int64_t size = file.Size();
  if (size < 0) return platform::Status::FromErrno("stat", file.path(), errno);
  if (size >= static_cast<int64_t>(storage::kDataFileSize)) return platform::Status();
  platform::Status status = file.SetLength(storage::kDataFileSize);
  if (status.ok()) status = file.Flush();
  return status;
}

CFileCloser::CFileCloser(std::unique_ptr<platform::File> previousData,
                         std::unique_ptr<platform::File> previousIndex, uint32_t previousSequence,
                         std::string nextName)
    : previousData_(std::move(previousData)),
      previousIndex_(std::move(previousIndex)),
      previousSequence_(previousSequence),
      nextName_(std::move(nextName)) {}

void CFileCloser::FinishAndPrepareFiles() {
  FinishPreviousPair();
  if (nextName_.empty()) return;  // nothing to prepare
  uint32_t pauseMs = 1;
  while (!stopRequested_.load(std::memory_order_acquire)) {
    if (TryPrepareNextPair()) return;
    // The directory may be missing or the disk full for a long time: pause, a little longer
    // each time, and wake at once when asked to stop.
    stopEvent_.Wait(pauseMs);
    pauseMs = std::min(pauseMs * 2, kMaxRetryPauseMs);
  }
}

void CFileCloser::RequestStop() {
  stopRequested_.store(true, std::memory_order_release);
  stopEvent_.Set();
}

bool CFileCloser::TakePreparedPair(const std::string& dataName,
                                   std::unique_ptr<platform::File>* data,
                                   std::unique_ptr<platform::File>* index) {
  platform::MutexLock hold(&preparedLock_);
  if (!prepared_ || dataName != nextName_) return false;
  *data = std::move(preparedData_);
  *index = std::move(preparedIndex_);
  prepared_ = false;
  return true;
}

platform::Status CFileCloser::TakeFinishFailure() {
  platform::MutexLock hold(&preparedLock_);
  return std::move(finishFailure_);
}

void CFileCloser::FinishPreviousPair() {
  platform::Status padded;
  platform::Status headed;
  if (previousData_) {
    // A file left shorter than the nominal size is padded; one that grew past it keeps
    // its last record.
    padded = PadDataFile(*previousData_);
    previousData_.reset();
  }
  if (previousIndex_) {
    const storage::FileHeader header = storage::MakeFileHeader(1, previousSequence_);
    headed = previousIndex_->WriteAt(0, &header, sizeof(header));
    if (headed.ok()) headed = previousIndex_->Flush();
    previousIndex_.reset();
  }
  platform::MutexLock hold(&preparedLock_);
  finishFailure_ = !padded.ok() ? std::move(padded) : std::move(headed);
}

bool CFileCloser::TryPrepareNextPair() {
  std::unique_ptr<platform::File> data = OpenDataFileForRecording(nextName_);
  if (!data || !PreallocateDataFile(*data).ok()) return false;
  // A data file without an index name can never get an index file: it is ready without one
  // (the rotation reports the missing index file when it takes the pair).
  const std::string indexName = storage::IndexFileName(nextName_);
  std::unique_ptr<platform::File> index;
  if (!indexName.empty()) {
    index = OpenRecordingFile(indexName);
    if (!index) return false;
  }
  platform::MutexLock hold(&preparedLock_);
  preparedData_ = std::move(data);
  preparedIndex_ = std::move(index);
  prepared_ = true;
  return true;
}
