// CFileSearch: the object behind every _RECORDER_FILESEARCH_* handle. It owns the
// catalogue of the recordings the host named (CFileCatalog), the frame reader that reads
// the recorded frames through the catalogue's view (storage::CFrameReader), the pacing clock that
// delivers frames to the host (CFrameScheduler), and the playback thread that moves frames from the
// one to the other.
//
// Threads: the host's threads call the control operations, which mostly store a request
// (Requests, under requestLock) and wake the playback thread; the playback thread
// (playback_thread.cc) takes a copy of the requests at the top of every pass, applies what
// is new and is the only reader of the catalogue's frames; the scheduler's pacing thread
// runs the two wrappers that turn queued frames into the host's FrameDescriptor forms.
//
// Lifetime: the object is shared between the host's handle and the playback thread, so a
// thread that misses the bounded join at a stop (and is abandoned) still finds the object
// alive when it comes back; it is destroyed when the last of the two lets go.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "catalog/file_catalog.h"
#include "platform/event.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "platform/status.h"
#include "platform/thread_annotations.h"
#include "recorder.h"
#include "scheduler/frame_scheduler.h"
#include "scheduler/play_mode.h"
#include "storage/frame_reader.h"

namespace platform {
class Thread;
}

class CFileSearch : public std::enable_shared_from_this<CFileSearch>,
                    private storage::FrameSink,
                    private storage::Reporter {
 public:
  static constexpr uint32_t kMaxChannels = 32;
  // The playback thread's copy of the catalogue's date table holds this many days.
  static constexpr int32_t kDateTableSize = 10000;
  // Bytes of the buffer one record (FrameHeader + body) is read into. It grows for a longer
  // frame, up to the longest a recorder stores (storage::kMaxFrameLength), and shrinks
  // back at the next seek.
  static constexpr uint32_t kFrameBufferSize = 614400;
  // Bytes of the side block queued with every frame: 4, the record type, the applied rate,
  // the record's catalogue position (32 bits) and offset (64 bits).
  static constexpr int32_t kSideBlockSize = 24;
  static constexpr uint32_t kSideBlockTag = 4;
  // The host hears the play position on every fourth displayed video frame after a seek.
  static constexpr uint32_t kFramesPerProgress = 4;
  static constexpr uint32_t kDefaultJoinTimeoutMs = 5000;
  // The header of a record read from a file or handed back by the scheduler; false when the
  // record is too short to hold one.
  static bool HeaderOf(const uint8_t* record, int32_t length, storage::FrameHeader* header);

  // Makes a file search for channelCount channels (above 32 counts as 32) with its
  // scheduler open and its pacing thread running. Null when channelCount is 0 or the
  // scheduler cannot be opened. The object keeps a reference to itself for the host until
  // End.
  static CFileSearch* Create(uint32_t channelCount, uintptr_t hostContext,
                             FileSearchFrameCallback frameCallback,
                             FileSearchNotifyCallback notifyCallback);
  // Stops playback and drops the host's reference; the object is destroyed now, or when an
  // abandoned playback thread finally ends.
  static void End(CFileSearch* search);

  virtual ~CFileSearch();
  CFileSearch(const CFileSearch&) = delete;
  CFileSearch& operator=(const CFileSearch&) = delete;

  // The handle the host knows this file search by (given by the registry right after Create;
  // the notify callback receives it).
  FILESEARCH_HANDLE handle() const { return hostHandle.load(); }
  void SetHandle(FILESEARCH_HANDLE handle) { hostHandle.store(handle); }
  // The file search behind a live handle, or null (api/handles.cc); for tests.
  static CFileSearch* FromHandle(FILESEARCH_HANDLE handle);

  // True on a thread that is inside one of the host callbacks of `search`: the exports that
  // would wait for the scheduler's locks (STOP, END, PLAYTIME, PLAYRATE) refuse there. The
  // pointer is only compared, never followed, so any handle value is safe.
  static bool InsideCallbackOf(const CFileSearch* search);

  // Control operations of the exports.
  void SetPath(const char* directory, const char* name, int32_t flag);
  int32_t Start();
  void Stop();
  void Seek(platform::CTime t);
  int32_t PlayTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                   int32_t second);
  int32_t PlayRate(float rate);
  int32_t GetPlayRate(float* rate) const;
  void SetCurrentChannel(uint32_t channel);
  void SetDisplayChannels(const uint32_t* words, int32_t count);
  int32_t SetStatus(int32_t status);
  void SetDSTRange(int32_t enabled, int32_t startMonth, int32_t startDay, int32_t startHour,
                   int32_t endMonth, int32_t endDay, int32_t endHour);
  void GetDateTable(uint32_t* table, int32_t* count);
  void GetDayTable(uint32_t date, uint32_t* anyMask, uint32_t* reason1Mask, uint32_t* reason2Mask,
                   uint32_t* reason4Mask, uint32_t* audioMask, uint32_t* dstHours, int32_t* dayKind,
                   int32_t* hourCount);

  // The instant PLAYTIME plays from: local fields normalised as the calendar does (month
  // 13 is January of the next year), and a local time that occurs twice (the repeated
  // autumn hour) or not at all (the skipped spring hour) resolved to the earlier instant.
  static platform::CTime PlayTimeFromLocal(int32_t year, int32_t month, int32_t day, int32_t hour,
                                           int32_t minute, int32_t second);

  // For tests: the bound of the join at a stop, and a look at the parts.
  void SetJoinTimeoutMs(uint32_t ms) { joinTimeoutMs.store(ms); }
  // Damaged records the playback thread's reader stepped over (reported and skipped) since
  // the last START; the host reads it in the progress notification's statSize.
  uint64_t SkippedRecords() const { return reader->DamageCount() - skippedBefore.load(); }
  // What the last START could not read: the first cause its catalogue build met (ok when
  // it read every index file whole), and every index or data file left out or read short
  // since, with its errno and path (one per data file, the first). The header has no
  // channel for them (START still starts): for the tools and the tests.
  platform::Status CatalogStatus() const EXCLUDES(problemLock);
  std::vector<platform::Status> FileProblems() const EXCLUDES(problemLock);
  scheduler::CFrameScheduler* Scheduler() { return scheduler.get(); }
  CFileCatalog* Catalog() { return catalog.get(); }
  storage::CFrameReader* Reader() { return reader.get(); }
  bool PlaybackThreadAlive() const { return threadActive.load() != 0; }

 private:
  struct PlaybackState;

  // What the host asked the playback thread for: the latest values, and which of them are
  // new since the thread last took a copy.
  struct Requests {
    platform::CTime seekTarget;
    // The record of the frame a step or a reversal starts from; none for a PLAYTIME (or
    // when the record cannot be found again: then seekTarget).
    storage::CFrameReader::Place seekPlace;
    float playRate = 1.0f;
    scheduler::PlayMode mode = scheduler::PlayModeOf(1.0f);
    int32_t direction = 1;  // of the last rate that had one; a pause keeps it
    uint32_t currentChannel = 0;
    std::array<uint32_t, kMaxChannels> display{};
    uint64_t seekSerial = 0;  // counts every seek
    bool seek = false;
    bool rate = false;
    bool displayChanged = false;
    bool channel = false;
  };

  CFileSearch(uint32_t channelCount, uintptr_t hostContext, FileSearchFrameCallback frameCallback,
              FileSearchNotifyCallback notifyCallback);

  // Scheduler wrappers (pacing thread).
  static int32_t VideoWrapper(scheduler::CFrameScheduler* scheduler, uint32_t channel,
                              scheduler::FrameTime time, const uint8_t* data, int32_t dataLength,
                              const uint8_t* second, int32_t secondLength, int32_t display,
                              void* context);
  static int32_t AudioWrapper(scheduler::CFrameScheduler* scheduler, uint32_t channel,
                              scheduler::FrameTime time, const uint8_t* data, int32_t dataLength,
                              const uint8_t* second, int32_t secondLength, void* context);
  void DeliverVideo(uint32_t channel, const scheduler::FrameTime& time, const uint8_t* data,
                    int32_t dataLength, const uint8_t* second, int32_t secondLength,
                    int32_t display);
  void DeliverAudio(uint32_t channel, const scheduler::FrameTime& time, const uint8_t* data,
                    int32_t dataLength, const uint8_t* second, int32_t secondLength);

  // Playback thread (playback_thread.cc).
  void RunPlayback();
  void PlaybackLoop(PlaybackState& state);
  // Copies the requests into the thread's own and clears their marks of new.
  void TakeRequests(Requests* into) EXCLUDES(requestLock);
  bool ApplySeek(PlaybackState& state);
  void ApplyRequests(PlaybackState& state);
  // Queues the frame the reader just read, or passes it over.
  void PlayFrame(PlaybackState& state, int32_t length);
  void OnPrecedingKeyFrame(const uint8_t* record, int32_t length) override;
  // The reader's reports (playback thread): damage is counted by the reader itself; a data
  // file that cannot be opened joins the file problems.
  void Corruption(const std::string&, uint64_t, storage::RecordStatus) override {}
  void OpenFailed(const platform::Status& status) override EXCLUDES(problemLock);
  // At the end of the recording (its start backwards): on from the other end.
  void Wrap(PlaybackState& state);
  // Records the queues' flush count the frames read next are queued under; false when a
  // seek is waiting to be taken first.
  bool TakeFlushCount(PlaybackState& state) EXCLUDES(seekLock, requestLock);
  // Seek's work; seekLock held. `place`, when it names a record, is where play resumes.
  void SeekLocked(platform::CTime t, storage::CFrameReader::Place place = {}) REQUIRES(seekLock)
      EXCLUDES(requestLock);
  int32_t LoadDates();
  bool SleepUnlessStopped(uint32_t ms) const;
  // Queues a record the thread read for the pacing, with its side block.
  void Enqueue(PlaybackState& state, const storage::FrameHeader& header, bool audio,
               const uint8_t* record, int32_t length, int32_t display, float rate);
  bool StopRequested() const { return running.load() == 0 || abandoned.load() != 0; }

  std::atomic<FILESEARCH_HANDLE> hostHandle{nullptr};
  // Fields, in the order the file search keeps them.
  std::unique_ptr<scheduler::CFrameScheduler> scheduler;
  const uint32_t channelCount;
  std::atomic<int32_t> running{0};
  std::unique_ptr<platform::Thread> thread GUARDED_BY(controlLock);
  std::unique_ptr<platform::Event> wakeEvent;
  const uintptr_t hostContext;
  const FileSearchFrameCallback frameCallback;
  const FileSearchNotifyCallback notifyCallback;
  // Written and read by the playback thread only.
  std::array<platform::CTime, kDateTableSize> dates{};
  int32_t dateCount = 0;
  std::atomic<uint32_t> progressCount{0};
  // The reader's damage count at the last START.
  std::atomic<uint64_t> skippedBefore{0};
  std::unique_ptr<CFileCatalog> catalog;
  // Reads the catalogue's view; goes before the catalogue.
  std::unique_ptr<storage::CFrameReader> reader;

  // Serialises START, STOP and SETPATH (and so the thread handle and the catalogue build).
  platform::Mutex controlLock;
  // Serialises seeks, and a seek's flush with the playback thread's reading of the flush
  // count.
  platform::Mutex seekLock ACQUIRED_AFTER(controlLock);
  // Guards the requests; nothing is called while it is held, so every thread (a host
  // callback on the pacing thread too) may take it.
  mutable platform::Mutex requestLock ACQUIRED_AFTER(seekLock);
  Requests requests GUARDED_BY(requestLock);
  // The playback thread's own state while it runs (playback thread only).
  PlaybackState* playbackState = nullptr;
  std::atomic<uint32_t> joinTimeoutMs{kDefaultJoinTimeoutMs};
  // 1 from START until the playback thread has returned, even after it was abandoned.
  std::atomic<int32_t> threadActive{0};
  // Set when a stop gave up waiting for the thread: it must not touch the catalogue again.
  std::atomic<int32_t> abandoned{0};
  // Time stamp of the last displayed video frame, as stored in its record (kNoShownTime
  // when none since the last seek or stop: outside every 32-bit time), and where its record
  // lies (position << 32 | offset; kNoShownPlace when unknown). Reversals and steps resume
  // from that record.
  static constexpr int64_t kNoShownTime = INT64_MIN;
  static constexpr uint64_t kNoShownPlace = UINT64_MAX;
  std::atomic<int64_t> lastShownTime{kNoShownTime};
  std::atomic<uint64_t> lastShownPlace{kNoShownPlace};
  // What START's build and the reader could not read (see FileProblems); taken by no other
  // lock's holder and calls nothing while held.
  mutable platform::Mutex problemLock;
  platform::Status catalogStatus GUARDED_BY(problemLock);
  std::vector<platform::Status> fileProblems GUARDED_BY(problemLock);
  std::unordered_set<std::string> unopenedFiles GUARDED_BY(problemLock);  // reported by the reader
  // The host's reference; dropped by End.
  std::shared_ptr<CFileSearch> hostReference;
};
