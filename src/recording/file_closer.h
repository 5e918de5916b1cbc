// CFileCloser: the work of one closer thread. After a rotation the writer hands it the
// file pair it has just left; the closer pads that data file to its nominal size, writes
// the index file's header once more and closes both, then opens and pre-allocates the next
// data file of the rotation set (and its index file) so the following rotation finds them
// ready. CRecorder starts one per rotation and keeps it until the next rotation or Stop.
//
// Everything the closer touches is its own: the previous pair and the next name come in by
// value, and the prepared pair goes back through TakePreparedPair under a small lock. An
// owner that gives up waiting for the thread can therefore abandon it safely: it never
// writes into or closes a descriptor of the recorder.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/file.h"
#include "platform/mutex.h"
#include "platform/status.h"
#include "platform/thread_annotations.h"

// Opens an index file of the rotation set for recording: read-write, created when missing,
// write-through. Null (and why in `status`, when given) when it cannot be opened or the name
// is empty.
std::unique_ptr<platform::File> OpenRecordingFile(const std::string& path,
                                                  platform::Status* status = nullptr);
// Opens a data file of the rotation set the same way and takes its writer lock, so no other
// recorder (in this process or another) records into it meanwhile. Null when it cannot be
// opened or another recorder holds it.
std::unique_ptr<platform::File> OpenDataFileForRecording(const std::string& path,
                                                         platform::Status* status = nullptr);
// Reserves the nominal size of a data file on disk (sparsely where the file system cannot
// reserve; nothing beyond the end of a longer file is cut) and flushes; the position goes
// back to 0. Not ok when the disk lacks the space.
platform::Status PreallocateDataFile(platform::File& file);
// Pads a finished data file that is shorter than the nominal size to it, sparsely.
platform::Status PadDataFile(platform::File& file);
// For tests on a small file system: reserve only the first `bytes` of a new data file (the
// rest of the nominal size stays sparse); 0 puts the nominal size back.
void SetDataFileReserveForTest(uint32_t bytes);

class CFileCloser {
 public:
  // Either file of the previous pair may be null; previousSequence is the sequence its index
  // file holds; nextName is the data file to prepare (none when empty).
  CFileCloser(std::unique_ptr<platform::File> previousData,
              std::unique_ptr<platform::File> previousIndex, uint32_t previousSequence,
              std::string nextName);
  CFileCloser(const CFileCloser&) = delete;
  CFileCloser& operator=(const CFileCloser&) = delete;

  // Body of the closer thread: finishes the previous pair, then retries opening the next
  // pair (pausing between attempts) until both are open or a stop is requested.
  void FinishAndPrepareFiles();
  // Asks the thread to give up preparing and return as soon as the previous pair is done.
  void RequestStop();
  // Moves the prepared pair out when it is ready and was prepared for `dataName`. false (and
  // nothing moved) otherwise. The index file may be null when the name has no index name.
  bool TakePreparedPair(const std::string& dataName, std::unique_ptr<platform::File>* data,
                        std::unique_ptr<platform::File>* index);
  // The first failure of finishing the previous pair (padding the data file, rewriting the
  // index file's header), for the writer to report once the thread has ended; ok when none.
  platform::Status TakeFinishFailure();

  // For tests: the longest pause between two attempts to open the next pair.
  static constexpr uint32_t kMaxRetryPauseMs = 200;

 private:
  void FinishPreviousPair();
  // One attempt; true when the next pair was published.
  bool TryPrepareNextPair();

  // Touched only by the closer thread once it runs.
  std::unique_ptr<platform::File> previousData_;
  std::unique_ptr<platform::File> previousIndex_;
  const uint32_t previousSequence_;
  const std::string nextName_;

  std::atomic<bool> stopRequested_{false};
  platform::Event stopEvent_{/*manualReset=*/true, /*initiallySignalled=*/false};

  platform::Mutex preparedLock_;
  bool prepared_ GUARDED_BY(preparedLock_) = false;
  std::unique_ptr<platform::File> preparedData_ GUARDED_BY(preparedLock_);
  std::unique_ptr<platform::File> preparedIndex_ GUARDED_BY(preparedLock_);
  platform::Status finishFailure_ GUARDED_BY(preparedLock_);
};
