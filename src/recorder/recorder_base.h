// CRecorderBase: the object behind a recorder handle. It holds all of a recorder's state
// (frame rings, slot semaphores, locks, file handles, per-channel switches and counters,
// the 8 MiB write buffer, the path list and the deletion manager) and its lifecycle:
// construction, Initialise, Start, Stop and bounded destruction. The file-handling steps of
// the lifecycle are four virtual operations that do nothing here; CRecorder supplies them.
//
// The exports (src/api), intake, the writer threads, the stream writes and the statistics
// (src/recording) and the scan of existing files work directly on the fields below, which
// is why they are public. What each field is guarded by is noted beside it:
//  - "writeLock": only touched while holding writeLock;
//  - "atomic": written and read by several threads without a lock;
//  - "intake": only touched by intake under its intake lock (statistics under
//    videoIntakeLock), read by getters through atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "platform/semaphore.h"
#include "platform/thread.h"
// The public header; <> so this folder's recorder/recorder.h is not picked instead.
#include <recorder.h>

#include "recording/frame_ring.h"
#include "storage/formats.h"

class CBufferWriter;
class CDeleteManager;
class CPathList;
class CRecorderBase;

// What a writer thread shares with its recorder. The threads hold it jointly with the
// recorder, so a writer that misses its bounded join at destruction (and is abandoned)
// still finds a valid lock and learns that the recorder is gone.
struct WriterThreadShared {
  platform::Mutex writeLock;
  // The recorder while it lives; cleared under writeLock by its destructor. A writer that
  // holds writeLock and finds it set may use the recorder until it unlocks.
  CRecorderBase* recorder GUARDED_BY(writeLock) = nullptr;
};

// Body of a writer thread (recording/writer_thread.cc): takes records from `ring` until it
// reports closed, hands each to the recorder under writeLock, releases it and gives one
// slot back.
void RunWriterThread(std::shared_ptr<WriterThreadShared> shared, std::shared_ptr<CFrameRing> ring,
                     std::shared_ptr<platform::Semaphore> slots);

class CRecorderBase {
 public:
  static constexpr uint32_t kChannelCount = 32;
  static constexpr uint32_t kAudioRingCapacity = 17600;
  static constexpr uint32_t kVideoRingCapacity = 3136000;
  static constexpr uint32_t kWriteBufferSize = 8388608;
  static constexpr int32_t kRingSlots = 8;
  static constexpr uint32_t kSlotWaitMs = 5000;
  static constexpr uint32_t kThreadJoinMs = 5000;

  CRecorderBase();
  // Stops recording, closes the rings, ends the writer threads (bounded) and releases
  // everything the recorder owns.
  virtual ~CRecorderBase();
  CRecorderBase(const CRecorderBase&) = delete;
  CRecorderBase& operator=(const CRecorderBase&) = delete;

  // ---- File-handling steps of the lifecycle: all return 0 and do nothing here. ----
  // Opens the next data and index file pair of the rotation set; non-zero on success.
  virtual int32_t OpenNextFile() REQUIRES(writeLock);
  // Fills fileNames with the rotation set; non-zero when it found at least one name.
  virtual int32_t LoadFileList() REQUIRES(writeLock);
  // Sets currentFile to the most recently written file of the set; > 0 on success.
  virtual int32_t FindNewestFile() REQUIRES(writeLock);
  // Called when LoadFileList fails, before it is tried a second time.
  virtual int32_t CreateFileList() REQUIRES(writeLock);

  // ---- Lifecycle (recorder_base.cc) ----
  void Initialise(const char* name, uintptr_t context, RecorderEventCallback callback);
  // 1 when the recorder is recording afterwards.
  int32_t Start();
  // Waits (bounded) for the writer threads to take every record already in the rings,
  // then stops.
  void Stop();
  // true when both rings emptied within timeoutMs.
  bool WaitForRingsToDrain(uint32_t timeoutMs);
  // Stop with writeLock already held (the destructor of CRecorder stops the recorder in the
  // same hold in which it waits for the closer thread).
  void StopLocked() REQUIRES(writeLock);

  // The handle the host knows this recorder by (given by the registry before Initialise; it
  // is what every event callback receives).
  RECORDER_HANDLE handle() const { return hostHandle; }
  void SetHandle(RECORDER_HANDLE handle) { hostHandle = handle; }
  // The recorder behind a live handle, or null (api/handles.cc). It does not keep the recorder
  // alive: for tests and for callers that hold the handle's registry entry otherwise.
  static CRecorderBase* FromHandle(RECORDER_HANDLE handle);

  // ---- Settings and queries (settings.cc) ----
  void SetHeaderFilePath(const char* path, int32_t source);
  void AddFilePath(const char* path);
  void RemoveFilePath(const char* path);
  void ClearFilePath();
  int32_t GetFilePathCount();
  int32_t GetFilePath(int32_t index, char* buffer, int32_t size);
  int32_t GetCurrentRecFile(char* buffer, int32_t size);
  void SetOverwriteMode(int32_t mode) { overwriteMode = mode; }
  int32_t GetOverwriteMode() const { return overwriteMode; }
  int32_t GetOverwriteCount() const { return overwriteCount; }
  void SetRecord(uint32_t channel, int32_t enabled);
  int32_t GetRecord(uint32_t channel) const;
  void SetStatus(uint32_t channel, uint32_t bits);
  uint32_t GetStatus(uint32_t channel) const;
  void SetPrePostTime(int32_t pre, int32_t post);
  void DeleteManagerStart(int32_t days, int32_t hours);
  void DeleteManagerStop();

  // ---- Frame intake (recording/intake.cc). 1 taken in, 0 refused. ----
  int32_t WriteVideo(uint32_t channel, FrameDescriptor* frame);
  int32_t WriteAudio(uint32_t channel, FrameDescriptor* frame);
  int32_t WriteRecData(uint32_t channel, FrameDescriptor* frame);

  // ---- Throughput statistics (recording/statistics.cc). ----
  // Counts one video or kind-0 rec-data frame of statSize bytes for the channel (intake,
  // under videoIntakeLock).
  void RecordThroughput(uint32_t channel, uint32_t statSize);
  int32_t GetBps(uint32_t channel, double* bytesPerSecond);
  int32_t GetFps(uint32_t channel, double* framesPerSecond);

  // ---- Stream writes (recording/stream.cc). ----
  int32_t WriteStreamHeader(int32_t unused1, const void* data, uint32_t count, int32_t unused2);
  int32_t WriteStreamData(int32_t unused1, const void* data, uint32_t count, int32_t fileId,
                          int32_t unused2, int32_t unused3);

  // ---- Writer side (recording/writer_thread.cc) ----
  // Writes out writeBuffer to the data file and updates the index summary; with reset the
  // in-memory summary is reset afterwards. 1 on success.
  int32_t FlushWriteBuffer(int32_t reset) REQUIRES(writeLock);
  // One record taken from a ring by a writer thread: rotates the files when its time calls
  // for it, counts it in the summary and appends it to writeBuffer (or discards it).
  void WriteFrame(const uint8_t* record, uint32_t size) REQUIRES(writeLock);
  // Starts a new file when the record's local day is later than the current entry's, at
  // 199 MiB or after 119 minute entries (the record is the new file's first), a new entry
  // when its minute is later than the current entry's, and writes out the buffer at a change
  // of second or when the next record would not fit (willOverflow). 0: the record is stored.
  int32_t CheckTimeAndRotate(platform::CTime time, bool willOverflow) REQUIRES(writeLock);
  // Writes the in-memory IndexSummary to the index file and, when one is open, to the header
  // file record of the data file in use; with reset the summary is reset afterwards. The
  // result of the last write (0 when nothing could be written).
  int32_t WriteIndexSummary(int32_t reset) REQUIRES(writeLock);
  // Ends the thread that finishes and prepares file pairs (CRecorder); nothing here.
  virtual void EndCloserThread() REQUIRES(writeLock) {}
  // Closes the seven file handles without writing anything.
  void CloseFileHandles() REQUIRES(writeLock);

  // ---- Helpers shared by the recorder's parts (recorder_base.cc) ----
  // Raises a host event (codes 2 and 3 from the writer side) when a callback is set. The
  // thread counts as inside the recorder's event callback meanwhile (CEventCallbackScope).
  void RaiseEvent(int32_t code, int32_t status, const std::string& path);
  // currentIndexRecord back to an unused file: empty path, start and end at the no-time
  // value, no bytes, entry 0, every entry zero.
  void ResetCurrentIndexRecord() REQUIRES(writeLock);
  // Publishes the data file in use for GETCURRENTRECFILE (the rotation calls it with the
  // new name; closing the files calls ClearCurrentDataFile).
  void SetCurrentDataFile(const std::string& name);
  void ClearCurrentDataFile();
  // Writes out the buffer and closes every recording file (used by Start and Stop).
  void CloseRecordingFiles() REQUIRES(writeLock);
  // Empties the rotation set and sets fileCount and currentFile to 0.
  void ClearFileSet() REQUIRES(writeLock);
  // Start's preparation: resets the per-start values, loads the rotation set and finds the
  // newest file. true when the newest-file search succeeded.
  bool PrepareFileSet() REQUIRES(writeLock);

  // For tests: shorten the bounded joins of destruction.
  void SetThreadJoinMsForTest(uint32_t ms) { threadJoinMs = ms; }

  // ================================ Fields ================================
  RECORDER_HANDLE hostHandle = nullptr;           // set once, before Initialise
  uintptr_t callbackContext = 0;                  // set once by Initialise
  RecorderEventCallback eventCallback = nullptr;  // set once by Initialise
  // [0] empties videoRing, [1] empties audioRing.
  std::unique_ptr<platform::Thread> writerThreads[2];
  std::atomic<int32_t> recording{0};  // atomic; changed under writeLock
  // Rings and slot semaphores are shared with the writer threads (see WriterThreadShared).
  std::shared_ptr<CFrameRing> audioRing;
  std::shared_ptr<CFrameRing> videoRing;
  platform::Mutex audioIntakeLock;
  platform::Mutex videoIntakeLock;
  std::shared_ptr<WriterThreadShared> writerShared;
  platform::Mutex& writeLock;  // writerShared->writeLock
  std::shared_ptr<platform::Semaphore> audioSlots;
  std::shared_ptr<platform::Semaphore> videoSlots;
  storage::FileInfo currentIndexRecord;  // writeLock
  // Recording files, null when closed. writeLock (the closer thread works on the previous
  // and next pairs as the rotation hands them over).
  std::unique_ptr<platform::File> headerFile;
  std::unique_ptr<platform::File> indexFile;
  std::unique_ptr<platform::File> dataFile;
  // Where the next write of records (or stream data) goes in dataFile (writeLock): the end
  // of what reached the file, counting a buffer in flight on the CBufferWriter.
  uint64_t dataWriteOffset = 0;
  std::unique_ptr<platform::File> nextIndexFile;
  std::unique_ptr<platform::File> nextDataFile;
  std::unique_ptr<platform::File> previousIndexFile;
  std::unique_ptr<platform::File> previousDataFile;
  std::atomic<int32_t> preRecordSeconds{5};   // atomic; stored only
  std::atomic<int32_t> postRecordSeconds{5};  // atomic; stored only
  platform::CTime lastFrameTime;              // writeLock
  int32_t needHeader = 1;                     // writeLock
  std::atomic<int32_t> overwriteMode{1};      // atomic
  std::atomic<int32_t> intakeEnabled{1};      // atomic
  int32_t streamFileId = -1;                  // writeLock
  std::atomic<int32_t> overwriteCount{0};     // atomic; written under writeLock
  const uint32_t channelCount = kChannelCount;
  // Per-channel values, kChannelCount entries each.
  std::array<std::atomic<int32_t>, kChannelCount> recordEnabled{};     // atomic
  std::array<std::atomic<uint32_t>, kChannelCount> channelStatus{};    // atomic
  std::array<std::atomic<int32_t>, kChannelCount> recordNow{};         // atomic
  std::array<std::atomic<uint32_t>, kChannelCount> bytesInWindow{};    // intake
  std::array<std::atomic<uint32_t>, kChannelCount> framesInWindow{};   // intake
  std::array<std::atomic<uint32_t>, kChannelCount> windowStartTick{};  // atomic
  std::array<std::atomic<double>, kChannelCount> bytesPerSecond{};     // atomic
  std::array<std::atomic<double>, kChannelCount> framesPerSecond{};    // atomic
  // The rotation set (writeLock). In header-file mode fileRecordNumbers[i] is the header
  // file record that listed fileNames[i] (records with an empty path are not listed, so
  // the two numberings can differ); in path-list mode it is i.
  std::vector<std::string> fileNames;
  std::vector<int32_t> fileRecordNumbers;
  std::string currentIndexFileName;               // writeLock
  std::string headerFilePath;                     // writeLock
  std::atomic<int32_t> fileSetSource{0};          // atomic
  std::atomic<int32_t> fileCount{0};              // atomic; changed under writeLock
  std::atomic<int32_t> currentFile{0};            // atomic; changed under writeLock
  std::unique_ptr<CDeleteManager> deleteManager;  // created by Initialise
  uint32_t writeFill = 0;                         // writeLock
  // Shared with the deletion worker's path source, which may outlive a bounded join.
  std::shared_ptr<CPathList> pathList;  // created by Initialise

  // GETCURRENTRECFILE runs inside the host's event callback, under writeLock, so the name of
  // the data file in use and whether one is open have their own small lock.
  platform::Mutex currentDataFileLock;
  bool dataFileOpen GUARDED_BY(currentDataFileLock) = false;
  std::string currentDataFileName GUARDED_BY(currentDataFileLock);

  uint32_t threadJoinMs = kThreadJoinMs;

  // Writer side (writeLock). The header file record of the data file in use (-1: none, or
  // not from a header file), and the index entry the buffered records were counted in, so a
  // failed buffer write can take them back out of the summary.
  int32_t openFileRecord = -1;
  int32_t bufferedEntry = 0;
  // Writes full write buffers on a thread of its own (recording/buffer_writer.h); started
  // by the writer side on first use (writeLock).
  std::shared_ptr<CBufferWriter> bufferWriter;

  // Records not yet written to the data file (writeLock). Last, so the fields above share
  // cache lines with each other rather than with the buffer's tail.
  alignas(64) uint8_t writeBuffer[kWriteBufferSize];
};
