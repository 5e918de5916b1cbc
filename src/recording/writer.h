// Writer: the recording files and everything written into them. It holds the write lock and
// every field the lock guards: the rotation set, the header, index and data files (the pair
// in use, the next pair a closer thread prepared and the previous pair handed to it), the
// in-memory index summary of the data file in use, the write buffer and the background
// buffer writer. The two writer threads hand it records under the lock (RunWriterThread);
// START, STOP, the restarting settings and the stream header take the same lock.
//
// It gathers records in the write buffer, keeps the summary, writes both out at every
// change of second, and rotates to the next file of the set at a change of day, at 199 MiB
// or after 119 minute entries. Failures reach the host as events through the sink it is
// given: the errno of a failure travels with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "platform/semaphore.h"
#include "platform/status.h"
#include "platform/thread.h"
#include "recording/buffer_writer.h"
#include "recording/frame_ring.h"
#include "recording/rotation_set.h"
#include "recording/writer_limits.h"
#include "storage/formats.h"
// The public header (event codes); <> so no folder's own recorder.h is picked instead.
#include <recorder.h>

class CFileCloser;

// Raises a host event: code, status and path as the host sees them, and the errno of the
// failure behind it (0 when none).
using WriterEventSink =
    std::function<void(int32_t code, int32_t status, const std::string& path, int error)>;

// Where a record goes, decided from the summary, the record's time and the buffer's fill.
enum class RecordPlace { kSameEntry, kNewEntry, kNewFile };
enum class RecordWrite {
  kNone,        // the same or an earlier second: the record joins the buffer
  kFlush,       // a later second (or a full buffer at one): the buffer is written out first
  kBackground,  // a full buffer within the second: written behind the writer's back
};
struct RecordStep {
  RecordPlace place;
  RecordWrite write;
  bool operator==(const RecordStep&) const = default;
};
// A pure function of its arguments: `summary` of the data file in use, `time` of the record,
// `lastTime` of the record before it, `willOverflow` when the record does not fit the buffer,
// `size` of the record (one that would take the file past its nominal size starts the next).
RecordStep ClassifyRecord(const storage::IndexSummary& summary, platform::CTime time,
                          platform::CTime lastTime, bool willOverflow, uint32_t size = 0);

class Writer {
 public:
  // Room for the longest record and a few hundred kilobytes of ordinary ones beside it.
  static constexpr uint32_t kWriteBufferSize = 12u * 1024u * 1024u;
  static_assert(storage::kMaxRecordSize < kWriteBufferSize);
  // How long a rotation waits for the previous closer thread.
  static constexpr uint32_t kCloserRotationJoinMs = 30000;

  explicit Writer(WriterEventSink events);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // ---- Under the write lock ----
  // Loads the rotation set (from `paths`, or from the header file when that is the source),
  // finds the newest file and opens the one after it. true when recording afterwards.
  bool Start(std::vector<std::string> paths) REQUIRES(lock);
  // Writes out the buffer and the summary and closes every recording file.
  void Stop() REQUIRES(lock);
  // The recorder is going: recording stops, the closer thread ends, every file closes and no
  // event is raised from here on (a writer thread that outlives its join finds nothing to do).
  void Detach() REQUIRES(lock);
  // One record taken from a ring: rotates the files when its time calls for it, counts it in
  // the summary and appends it to the buffer (or discards it).
  void WriteFrame(const uint8_t* record, uint32_t size) REQUIRES(lock);
  // Replaces the summary with the host's (laid out as on disk, cut to its size) and writes it
  // out. 1 when written.
  int32_t WriteStreamHeader(const void* data, uint32_t count) REQUIRES(lock);
  void SetHeaderFile(const std::string& path, int32_t source) REQUIRES(lock);

  // ---- Without the lock ----
  bool recording() const { return recording_.load() != 0; }
  void SetOverwriteMode(int32_t mode) { overwriteMode_ = mode; }
  int32_t overwriteMode() const { return overwriteMode_.load(); }
  int32_t overwriteCount() const { return overwriteCount_.load(); }
  // The name of the data file in use (GETCURRENTRECFILE runs inside the host's event
  // callback, under the write lock, so the name has its own small lock). false when none.
  bool CurrentDataFile(std::string* name);
  // Whether a record taken in now has a data file to go to: recording, and the last change
  // of file opened one.
  bool storing() const { return storing_.load(); }
  // While recording without a data file (the next file of a rotation could not be opened):
  // tries the file after it once the second of the failed attempt has passed, unless the
  // write lock is busy. true when a data file is open afterwards. Called by host threads
  // whose frames are refused meanwhile, so the recorder comes back without waiting for them.
  bool RetryOpenIfDue();
  // For tests: shorten the bounded join of the closer thread.
  void SetThreadJoinMsForTest(uint32_t ms) { threadJoinMs_ = ms; }

  platform::Mutex lock;

 private:
  void RaiseEvent(int32_t code, int32_t status, const std::string& path, int error = 0)
      REQUIRES(lock);
  void ReportWriteFailure(const platform::Status& status, const std::string& path) REQUIRES(lock);
  std::string CurrentDataFileName();
  void PublishDataFile(const std::string& name);
  void ClearDataFile();
  // Opens the next file of the set when the data file is missing and the second of the last
  // failed attempt has passed.
  void RetryOpenWhenDue(platform::CTime now) REQUIRES(lock);
  // Records held for want of a data file are lost: out of the summary, and the host told.
  void DropHeldRecords() REQUIRES(lock);

  // The first record after START: starts the summary, tests the data file and writes the
  // index file's header. true when the record can be stored.
  bool BeginRecording(platform::CTime time, bool willOverflow) REQUIRES(lock);
  // Classifies the record and acts: 0 when it is to be stored.
  int32_t CheckTimeAndRotate(platform::CTime time, bool willOverflow, uint32_t size) REQUIRES(lock);
  // Writes out the buffer and the summary; with reset the summary is reset afterwards.
  bool FlushWriteBuffer(bool reset) REQUIRES(lock);
  // The summary to the index file and, when one is open, to the header file record of the
  // data file in use. true when the last write succeeded.
  bool WriteIndexSummary(bool reset) REQUIRES(lock);
  void ResetSummary() REQUIRES(lock);
  // Takes `length` bytes counted in `entry` back out of the summary: they never reached the
  // data file, so readers must not be sent to them.
  void UncountLostRecords(uint32_t length, int32_t entry) REQUIRES(lock);
  // The buffered records are lost when the next record would overflow the buffer.
  void GiveUp(bool willOverflow) REQUIRES(lock);
  uint8_t* FillBuffer() REQUIRES(lock);
  // Waits for everything the buffer writer has in flight and settles it.
  void FinishBufferWrite() REQUIRES(lock);
  void StartBufferWrite() REQUIRES(lock);
  void SettleBufferWrites(const CBufferWriter::Outcome& outcome) REQUIRES(lock);

  // Rotation (writer_rotation.cc).
  bool PrepareFileSet(std::vector<std::string> paths) REQUIRES(lock);
  // Opens the next data and index file pair of the set. true on success.
  bool OpenNextFile() REQUIRES(lock);
  // The position of the next file; false when the set may not be overwritten.
  bool AdvanceFileNumber(int32_t count) REQUIRES(lock);
  std::unique_ptr<platform::File> TakeDataFile(const std::string& name, bool sameFile)
      REQUIRES(lock);
  void OpenIndexFile(const std::string& name, bool sameFile) REQUIRES(lock);
  void CloseRecordingFiles() REQUIRES(lock);
  void CloseFileHandles() REQUIRES(lock);
  // Ends the closer thread (every close of the recording files comes through here first).
  void EndCloserThread() REQUIRES(lock);
  void StopCloser(uint32_t joinMs) REQUIRES(lock);
  void StartCloser() REQUIRES(lock);

  WriterEventSink events_ GUARDED_BY(lock);
  std::atomic<int32_t> recording_{0};  // changed under the lock
  std::atomic<bool> storing_{false};   // recording with a data file open; changed under the lock
  // The clock's second of the last failed attempt to open a data file.
  platform::CTime failedOpenAt_ GUARDED_BY(lock) = platform::CTime::NoTime();
  // Why it failed: what a record lost for want of a data file is reported with.
  platform::Status openFailure_ GUARDED_BY(lock);
  std::atomic<int32_t> overwriteMode_{1};
  std::atomic<int32_t> overwriteCount_{0};  // changed under the lock
  std::atomic<uint32_t> threadJoinMs_{5000};

  std::string headerFilePath_ GUARDED_BY(lock);
  int32_t fileSetSource_ GUARDED_BY(lock) = RotationSet::kFromPathList;
  RotationSet set_ GUARDED_BY(lock);
  int32_t currentFile_ GUARDED_BY(lock) = 0;  // position in set_; -1 before the first
  // The sequence written into the index file of the data file in use: one more than the
  // highest of the set at START, counted up at every file opened.
  uint32_t sequence_ GUARDED_BY(lock) = 0;
  // The header file record of the data file in use (-1: none, or not from a header file).
  int32_t openFileRecord_ GUARDED_BY(lock) = -1;

  // Recording files, null when closed.
  std::unique_ptr<platform::File> headerFile_ GUARDED_BY(lock);
  std::unique_ptr<platform::File> indexFile_ GUARDED_BY(lock);
  std::unique_ptr<platform::File> dataFile_ GUARDED_BY(lock);
  std::unique_ptr<platform::File> nextIndexFile_ GUARDED_BY(lock);
  std::unique_ptr<platform::File> nextDataFile_ GUARDED_BY(lock);
  std::unique_ptr<platform::File> previousIndexFile_ GUARDED_BY(lock);
  std::unique_ptr<platform::File> previousDataFile_ GUARDED_BY(lock);
  std::string indexFileName_ GUARDED_BY(lock);
  // The thread that finishes the previous pair and prepares the next one, and its work.
  std::unique_ptr<platform::Thread> closerThread_ GUARDED_BY(lock);
  std::shared_ptr<CFileCloser> fileCloser_ GUARDED_BY(lock);

  storage::IndexSummary summary_ GUARDED_BY(lock) = storage::MakeEmptySummary();
  platform::CTime lastFrameTime_ GUARDED_BY(lock) = platform::CTime::NoTime();
  bool needHeader_ GUARDED_BY(lock) = true;
  // Where the next write of records goes in the data file: the end of what reached it,
  // counting a buffer in flight on the buffer writer.
  uint64_t dataWriteOffset_ GUARDED_BY(lock) = 0;
  uint32_t writeFill_ GUARDED_BY(lock) = 0;
  // The index entry the buffered records were counted in, so a failed buffer write can take
  // them back out of the summary.
  int32_t bufferedEntry_ GUARDED_BY(lock) = 0;
  // Writes full buffers on threads of its own; started on first use.
  std::shared_ptr<CBufferWriter> bufferWriter_ GUARDED_BY(lock);

  platform::Mutex nameLock_;
  bool dataFileOpen_ GUARDED_BY(nameLock_) = false;
  std::string dataFileName_ GUARDED_BY(nameLock_);

  // Records not yet written to the data file. Last, so the fields above share cache lines
  // with each other rather than with the buffer's tail.
  alignas(64) uint8_t writeBuffer_[kWriteBufferSize] GUARDED_BY(lock);
};

// Body of a writer thread: takes records from `ring` until it reports closed, hands each to
// the writer under its lock, releases it and gives one slot back. The thread co-owns what it
// waits on and the writer, so one that misses its bounded join (and is abandoned) still
// finds them valid.
void RunWriterThread(std::shared_ptr<Writer> writer, std::shared_ptr<CFrameRing> ring,
                     std::shared_ptr<platform::Semaphore> slots);
