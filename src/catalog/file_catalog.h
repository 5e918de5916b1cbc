// CFileCatalog: the data object of one file search. It holds the index files the host
// named, the catalogue of recorded data files built from them (two temporary file
// mappings: one FileInfo and one FileTimeTable per position), the date table, the
// daylight-saving range of the day table, and the read position of the frame reader.
//
// Threads: SetIndexFile, AddIndexFile and Build run on the host's thread while the file
// search is stopped. GetDateTable and GetDayTable may run on any thread and take `lock`
// for their whole run; Clear takes it while it drops the mappings. The frame reader
// (storage/frame_reader.cc) runs only on the playback thread and reads the catalogue
// without the lock: the catalogue is never rebuilt while playback runs, and the playback
// thread is the one that clears it at its end.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalog/catalog_formats.h"
#include "platform/file.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "platform/temp_mapping.h"
#include "platform/thread_annotations.h"
#include "storage/formats.h"

class CFileSearch;

// A data file the frame reader holds open, and the offset in it the reader is at.
struct ReaderFile {
  std::unique_ptr<platform::File> file;
  uint64_t position = 0;
};

class CFileCatalog {
 public:
  // Called by the frame reader with a key frame (FrameHeader + body) it found while playing
  // backwards; the playback thread marks it decode-only and queues it.
  using KeyFrameCallback = void (*)(uint8_t* record, int32_t length, CFileSearch* owner);

  // Results of the reader's single steps: a channel 0..31 means a deliverable record starts
  // at the position.
  static constexpr int32_t kStepAgain = 200;
  static constexpr int32_t kStepEnd = 32;

  CFileCatalog(CFileSearch* owner, KeyFrameCallback keyFrameCallback);
  virtual ~CFileCatalog();
  CFileCatalog(const CFileCatalog&) = delete;
  CFileCatalog& operator=(const CFileCatalog&) = delete;

  void Lock() ACQUIRE(lock) { lock.Lock(); }
  void Unlock() RELEASE(lock) { lock.Unlock(); }

  // Search source (host thread, file search stopped; ignored while a catalogue stands).
  void SetIndexFile(const std::string& directory, const std::string& name);
  void AddIndexFile(const std::string& directory, const std::string& name);

  // Catalogue life.
  int32_t Build() EXCLUDES(lock);
  void Clear() EXCLUDES(lock);
  void CloseDataFiles();
  int32_t BuildFromIndexList() EXCLUDES(lock);
  int32_t LoadIndexFile(const std::string& path) EXCLUDES(lock);

  // Date table, day table and the daylight-saving range.
  void BuildDateTable() EXCLUDES(lock);
  void GetDateTable(uint32_t* table, int32_t* count) EXCLUDES(lock);
  void GetDayTable(int32_t date, uint32_t* anyMask, uint32_t* reason1Mask, uint32_t* reason2Mask,
                   uint32_t* reason4Mask, uint32_t* audioMask, uint32_t* dstHours, int32_t* dayKind,
                   int32_t* hourCount) EXCLUDES(lock);
  void SetDSTRange(int32_t enabled, int32_t startMonth, int32_t startDay, int32_t startHour,
                   int32_t endMonth, int32_t endDay, int32_t endHour);

  // Daylight-saving tests of the day table; public so that tests can check them directly.
  int32_t DayKind(platform::CTime date) const;
  bool IsDaylightHour(platform::CTime t) const;
  static bool IsOnDay(platform::CTime date, platform::CTime t);
  static bool IsValidRange(platform::CTime start, platform::CTime end);

  // Catalogue records by position (null when there is no mapping or j is out of range).
  storage::FileInfo* FileInfoAt(int32_t j) const;
  FileTimeTable* TimeTableAt(int32_t j) const;

  // Fields. Those without GUARDED_BY are written by Build and Clear and read lock-free by
  // the frame reader on the playback thread (see the class comment).
  std::atomic<int32_t> loaded{0};
  std::string headerPath;
  int32_t sourceMode = 0;
  // The two tables, each in a temporary file mapping (the views below point into them).
  std::unique_ptr<platform::TempMapping> timeTableMap;
  std::unique_ptr<platform::TempMapping> fileInfoMap;
  FileTimeTable* timeTables = nullptr;
  storage::FileInfo* fileInfos = nullptr;
  // The range is written by SetDSTRange without the lock while a GetDayTable may read it.
  std::atomic<int32_t> dstEnabled{0};
  std::atomic<int32_t> dstStart[3] = {1, 1, 0};  // month, day, hour
  std::atomic<int32_t> dstEnd[3] = {1, 1, 0};
  platform::Mutex lock;
  CFileSearch* const owner;
  std::vector<std::string> indexPaths;
  std::vector<std::string> dataPaths;
  int32_t fileCount = 0;
  // Most positions a catalogue holds: the reader's open-file slots (tests make it smaller).
  int32_t maxFiles = kOpenFileSlots;
  std::unique_ptr<platform::File> headerFile;
  std::array<std::unique_ptr<ReaderFile>, kOpenFileSlots> openFiles;
  int32_t oldestFile = 0;
  int32_t firstFile = kNoFile;
  int32_t lastFile = kNoFile;
  int32_t currentFile = kNoFile;
  std::array<uint32_t, 32> needKeyFrame{};
  platform::CTime dayStart;
  float playRate = 1.0f;
  std::vector<platform::CTime> dateTable GUARDED_BY(lock);  // allocated for fileCount days
  int32_t dateCount GUARDED_BY(lock) = 0;
  const KeyFrameCallback keyFrameCallback;

 private:
  struct DstRange {
    bool valid;
    int32_t startMonth, startDay, startHour, endMonth, endDay, endHour;
  };
  // One consistent snapshot of the range for the length of one call.
  DstRange LoadRange() const;
  static bool IsDaylightHourIn(const DstRange& range, platform::CTime t);
  static int32_t DayKindIn(const DstRange& range, platform::CTime date);

  // Closes the data files of positions 0 .. count-1 (and the header file).
  void CloseDataFilesUpTo(int32_t count);
  // Releases both mappings and nulls their views.
  void ReleaseMappings() REQUIRES(lock);
  // Creates both mappings for `count` positions; on failure releases both and returns false.
  bool CreateMappings(uint64_t count) REQUIRES(lock);

  // ---------------------------------------------------------------------------------------
  // Frame reader (storage/frame_reader.cc)
  // Reads the records of the selected day out of its data files, forwards or backwards.
  // Called only on the playback thread, without `lock`. Step results: a channel 0..31 (a
  // deliverable record starts at the position), kStepAgain or kStepEnd.
 public:
  // At most this many data files of the day are open at once (least recently used closed).
  static constexpr int32_t kMaxOpenDataFiles = 64;
  // Buffer of the key frame that backward play hands to keyFrameCallback; it grows for a
  // larger key frame, up to kMaxFrameLength, and shrinks back after it.
  static constexpr uint32_t kKeyFrameBufferSize = 512000;
  // The longest frame (FrameHeader + body) a recorder stores: a key frame whose record fills
  // the recorder's video ring.
  static const uint32_t kMaxFrameLength;
  // How far the seek looks for what a channel's first frame after the target needs: a
  // minute of recorded time on either side of the target.
  static constexpr int32_t kLeadWindowSeconds = 60;
  // ReadNextFrame sleeps this long while the rate is 0.
  static constexpr uint32_t kPausedReadSleepMs = 10;
  // Set by the file search when its playback thread is to end: the reader's loops that can
  // run long (stepping over records, the backward key-frame scan, the seek's walk over a
  // minute of records) give up at once, so a stop is never held up by a slow disk.
  std::atomic<int32_t> stopReading{0};

  // Closes the reader's data files; the selected day's files are opened on first use.
  void OpenDayFiles();
  // Selects the day of t and positions for play from t. Forward (direction > 0): at the
  // first record stamped at or after t; 0 when the day has none. For each channel of
  // leadChannels whose first video frame from there is not a key frame, the reader starts
  // earlier, at that channel's last key frame before it (looked for within
  // kLeadWindowSeconds and the day), and marks the frames it reads before t as lead frames
  // (LastFrameIsLead): the frames a decoder needs before the one at t. Other records before
  // t are passed over. Backward (direction < 0): just after the last record stamped at or
  // before t, so the first backward step reads that record; 0 only when the day has no
  // data. The jump uses the index entries, so it never lands after the target.
  int32_t SeekToTime(platform::CTime t, int32_t direction = 1, uint32_t leadChannels = 0);
  int32_t SeekForwardToTime(platform::CTime t, int32_t direction = 1, uint32_t leadChannels = 0);
  // True when the frame ReadNextFrame returned last lies before the seek target and is one a
  // decoder needs for the first frame at the target (see SeekToTime).
  bool LastFrameIsLead() const { return lastFrameLead; }
  // Selects the day of t and positions at its first file's start. 1, or 0 when no file.
  int32_t OpenDay(platform::CTime t);
  // direction > 0: start of the selected day; < 0: its end. Returns 1.
  int32_t ResetReadPosition(int32_t direction);
  void SetPlayRate(float rate);
  // Next frame (FrameHeader + body) in the direction of playRate: its length, 0 when
  // nothing can be read now (paused, or a record larger than capacity), -1 at the end of
  // the selected day's data.
  int32_t ReadNextFrame(uint8_t* buffer, uint32_t capacity);
  // The same into a buffer that grows for a longer frame, up to maxCapacity bytes.
  int32_t ReadNextFrame(std::vector<uint8_t>* buffer, uint32_t maxCapacity);
  int32_t StepForward();
  int32_t StepBackward();
  void BackUpOneRecord();
  void DeliverPrecedingKeyFrame(uint32_t channel);
  // Reads the record at the position into buffer: 36 + bodySize bytes, or 0.
  int32_t ReadRecord(uint8_t* buffer, uint32_t capacity);
  static bool IsSameDay(platform::CTime a, platform::CTime b);
  // Data files the reader holds open now.
  int32_t OpenDataFileCount();

 private:
  // The one way to openFiles: null outside 0 <= position < min(kOpenFileSlots, fileCount).
  std::unique_ptr<ReaderFile>* OpenFileSlot(int32_t position);
  // The open data file of a position of the selected day, opened on first use.
  ReaderFile* DataFileAt(int32_t position);
  void RewindOpenDayFiles();
  bool SelectDay(platform::CTime t);
  uint64_t RecordedBytesAt(int32_t position) const;
  // A position of the selected day that holds recorded bytes of that day.
  bool IsReadablePosition(int32_t position) const;
  int32_t NextReadablePosition(int32_t from) const;
  int32_t PreviousReadablePosition(int32_t from) const;
  // The same, passing over positions whose data file cannot be opened (deleted by
  // retention after the reader closed it, for example): the rest of the day still plays.
  int32_t NextOpenPosition(int32_t from);
  int32_t PreviousOpenPosition(int32_t from);
  // Puts the current file at its recorded end, so the next forward step takes the next file.
  void EndFileData();
  // After a damaged record at `damagedAt` of the current file: positions at the next
  // record start the index knows of (the first record of a later minute entry), or at the
  // file's recorded end when there is none.
  void ResyncForward(uint64_t damagedAt);
  // Offsets in the current file's data where a minute entry's first record starts.
  std::vector<uint64_t> EntryStarts(int32_t position) const;
  // Offset of the first index entry of `position` before which every record is stamped
  // before t: the seek's jump.
  uint64_t EntryJumpOffset(int32_t position, platform::CTime t) const;
  // Moves from the position to the start of the record before it (into the previous file
  // of the day at a file's start) and reads its head; false when there is none. A damaged
  // record is stepped over to the last whole record before it that the index lets the
  // reader find.
  bool StepBackOneRecord(storage::FrameHeader* header);
  // End of the last whole record that lies before `end` in the current file, found by
  // walking forward from a minute entry's first record; 0 when none.
  uint64_t LastGoodEndBefore(uint64_t end);
  int32_t ReadRecordChecked(uint8_t* buffer, uint32_t capacity, bool* corrupt,
                            std::vector<uint8_t>* growable = nullptr, uint32_t growLimit = 0);
  int32_t ReadNextFrameInto(uint8_t* buffer, uint32_t capacity, std::vector<uint8_t>* growable,
                            uint32_t growLimit);
  // Works out where a forward seek starts reading so that each channel of leadChannels gets
  // its key frame (see SeekToTime); the position is the landing record's start.
  void PlanLead(platform::CTime t, uint32_t leadChannels);
  // True when t falls on the local day of dayStart. Decided from the day's bounds, kept
  // for the current dayStart, so the reader's per-record checks need no zone conversion.
  bool IsOnSelectedDay(int32_t t) const;
  // The walk of SeekForwardToTime: passes records until the first one stamped at or after t
  // and stops at its start (kWalkFound), reading the record heads through a window; at the
  // end of the day's data it stops there (kWalkEnd). kWalkFailed when it cannot read on.
  static constexpr int32_t kWalkFailed = 0;
  static constexpr int32_t kWalkFound = 1;
  static constexpr int32_t kWalkEnd = 2;
  int32_t WalkToTime(platform::CTime t);

  // Local bounds [begin, end) of the day of `day` (a dayStart value); `known` is false when
  // they could not be had, and then every test converts.
  struct DayBounds {
    int32_t day = 0;
    bool known = false;
    int64_t begin = 0;
    int64_t end = 0;
  };
  mutable DayBounds dayBounds;
  // Bytes the seek's walk reads at once.
  static constexpr uint32_t kWalkWindowSize = 65536;
  // A walk longer than this is first narrowed by halving, to a record stamped more than
  // kWalkMarginSeconds before the target (the most a record is written out of time order).
  static constexpr uint64_t kHalvingSpan = 1u << 20;
  static constexpr int64_t kWalkMarginSeconds = 5;
  std::unique_ptr<uint8_t[]> walkWindow;  // made on the first seek

  std::vector<int32_t> openOrder;       // positions with an open file, least recently used first
  std::vector<uint8_t> keyFrameBuffer;  // made on first use

  // A place in the selected day's data: catalogue position, then offset.
  struct ReadPosition {
    int32_t file = kNoFile;
    uint64_t offset = 0;
    bool operator<(const ReadPosition& o) const {
      return file != o.file ? file < o.file : offset < o.offset;
    }
  };
  // The lead of the last forward seek: records before leadEnd are lead frames of channel c
  // from leadStart[c] on when c is in leadFound, and are passed over otherwise.
  bool leadActive = false;
  ReadPosition leadEnd;
  uint32_t leadFound = 0;
  std::array<ReadPosition, 32> leadStart{};
  bool lastFrameLead = false;
};
