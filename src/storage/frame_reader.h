// CFrameReader: a cursor over every FrameRecord of a catalogue, read straight out of its
// data files in time order across files and days, forwards or backwards. It reads the
// catalogue through a CatalogView that the catalogue fills (positions in start-time order),
// hands the key frames backward play needs to a FrameSink, and tells a Reporter of every
// damaged record it steps over. Playback, `dvrtool` and the tests all read through it.
//
// Threads: every method but the stopReading flag runs on the playback thread. The view is
// read without a lock: the catalogue is never rebuilt while playback runs, and the playback
// thread closes the reader's files before the catalogue is cleared.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/local_time.h"
#include "storage/catalog_view.h"
#include "storage/formats.h"
#include "storage/record_reporter.h"

namespace storage {

// Where the reader's frames go besides its return values.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // A key frame (FrameHeader + body) the reader found while playing backwards: the one the
  // group of the next frame it returns needs decoded first.
  virtual void OnPrecedingKeyFrame(const uint8_t* frame, int32_t length) = 0;
};

// The longest frame (FrameHeader + body) a recorder stores: the record of the longest
// payload without the record's 12 bytes of marker and trailer.
inline constexpr uint32_t kMaxFrameLength = kMaxRecordSize - (kRecordOverhead - kFrameHeaderSize);

// A data file the frame reader holds open, and the offset in it the reader is at.
struct ReaderFile {
  std::unique_ptr<platform::File> file;
  std::string path;
  uint64_t position = 0;
  uint64_t serial = 0;  // of its opening, never 0: tells the reader's window which file it holds
};

class RecordWindow;
class HeadView;

class CFrameReader {
 public:
  // Results of the single steps: a channel 0..31 means a deliverable record starts at the
  // position.
  static constexpr int32_t kStepAgain = 200;
  static constexpr int32_t kStepEnd = 32;
  // At most this many data files are open at once (least recently used closed): the file
  // being read, the one before it (records written late), a look-back's and a step's. A file
  // left behind is closed soon, so one that retention deletes gives its space back.
  static constexpr int32_t kMaxOpenDataFiles = 4;
  // Buffer of the key frame that backward play hands to the sink; it grows for a larger key
  // frame, up to kMaxFrameLength, and shrinks back after it.
  static constexpr uint32_t kKeyFrameBufferSize = 512000;
  // How far past the target the seek looks for a channel's first video frame (to tell
  // whether it needs the frames before the target). The look back for that channel's key
  // frame is not bounded in time: it crosses files and days to the recording's start.
  static constexpr int32_t kLeadWindowSeconds = 60;
  // The most frames a channel's lead holds; a channel whose key frame lies further back
  // starts at its next key frame instead (more than 18 minutes at 60 frames a second).
  static constexpr size_t kMaxLeadFrames = 65536;
  // How far a record may lie behind the records written before it (recording around a
  // trigger writes a channel's kept seconds late): forward play holds back what it has read
  // this far ahead, so it hands records out in time order, and a seek starts this much early.
  static constexpr int32_t kLateSeconds = 30;
  // ReadNextFrame sleeps this long while the rate is 0.
  static constexpr uint32_t kPausedReadSleepMs = 10;

  // `sink` and `reporter` may be null (then key frames and damage go unreported).
  CFrameReader(const CatalogView* catalogue, FrameSink* sink, Reporter* reporter = nullptr);
  ~CFrameReader();
  CFrameReader(const CFrameReader&) = delete;
  CFrameReader& operator=(const CFrameReader&) = delete;

  // Set when the playback thread is to end: the reader's loops that can run long (stepping
  // over records, the backward key-frame scan, the seek's walk over a minute of records)
  // give up at once, so a stop is never held up by a slow disk.
  std::atomic<int32_t> stopReading{0};

  // Closes every data file and forgets the position (before the catalogue changes).
  void Close();
  // Positions for play from t. Forward (direction > 0): at the first record stamped at or
  // after t; 0 when the recording has none. For each channel of leadChannels whose first
  // video frame from there is not a key frame, the reader starts earlier, at that channel's
  // last key frame before it (wherever it lies: in an earlier file or day), and marks the
  // frames it reads before t as lead frames (LastFrameIsLead): the frames a decoder needs
  // before the one at t. Other records before t are passed over. Backward (direction < 0):
  // just after the last record stamped at or before t, so the first backward step reads that
  // record (at the recording's start when t lies before it); 0 only when there is no data.
  // The jump uses the index entries, so it never lands after the target.
  int32_t SeekToTime(platform::CTime t, int32_t direction = 1, uint32_t leadChannels = 0);
  // Positions next to a record a frame was read from (see LastFramePlace): forward just
  // after it, with lead for leadChannels as SeekToTime has it (the record itself is a lead
  // frame of its channel); backward at its start, so the first backward step reads the
  // record before it. 0 when no whole record starts there.
  int32_t SeekToRecord(int32_t position, uint64_t offset, int32_t direction,
                       uint32_t leadChannels = 0);
  // True when the frame ReadNextFrame returned last lies before the seek target and is one a
  // decoder needs for the first frame at the target (see SeekToTime).
  bool LastFrameIsLead() const { return lastFrameLead; }
  // Where the frame ReadNextFrame returned last starts: catalogue position and offset.
  struct Place {
    int32_t position = kNoFile;
    uint64_t offset = 0;
  };
  Place LastFramePlace() const { return lastPlace; }
  // The wrap: direction > 0 positions at the recording's start, < 0 at its end, and every
  // channel starts again at a key frame. 1, or 0 when nothing is recorded.
  int32_t ResetReadPosition(int32_t direction);
  void SetPlayRate(float rate);
  // Next frame (FrameHeader + body) in the direction of the play rate: its length, 0 when
  // nothing can be read now (paused, or a record larger than capacity), -1 at the end of
  // the recording (its start when playing backwards).
  int32_t ReadNextFrame(uint8_t* buffer, uint32_t capacity);
  // The same into a buffer that grows for a longer frame, up to maxCapacity bytes.
  int32_t ReadNextFrame(std::vector<uint8_t>* buffer, uint32_t maxCapacity);
  // Damaged records reported since the reader was made.
  uint64_t DamageCount() const { return damageCount.load(std::memory_order_relaxed); }
  // Data files the reader holds open now.
  int32_t OpenDataFileCount() const;

  // A record of one data file as WalkFileRecords meets it.
  struct FileRecord {
    uint64_t offset = 0;                      // where it starts
    RecordStatus status = RecordStatus::kOk;  // what is wrong with it, if anything
    FrameHeader header{};                     // its head, when whole
    // Where the walk goes on: the record's end, or after a damaged record the next record
    // start the index knows of that reads whole (the recorded end when there is none).
    uint64_t next = 0;
  };
  // The records of the data file at catalogue position `position`, in file order from its
  // start to its recorded end, read and stepped over as forward play reads them (a damaged
  // record is reported, and the walk goes on at the next record the index knows of).
  // `visit` returns false to end the walk early. The play position is left alone. False
  // when the data file cannot be opened.
  bool WalkFileRecords(int32_t position, const std::function<bool(const FileRecord&)>& visit);

 private:
  // A place in the recording: catalogue position, then offset.
  struct ReadPosition {
    int32_t file = kNoFile;
    uint64_t offset = 0;
    bool operator<(const ReadPosition& o) const {
      return file != o.file ? file < o.file : offset < o.offset;
    }
  };
  // `header` (when given) receives the head of the record a channel is returned for.
  int32_t StepForward(FrameHeader* header = nullptr);
  // Forward play in time order: records read ahead wait here, by time stamp and then in the
  // order they were read, until nothing read later can come before them.
  struct Ahead {
    uint32_t time = 0;
    uint64_t order = 0;
    ReadPosition at;
    uint32_t channel = 0;
    bool video = false;
    bool key = false;
  };
  struct AheadLater {
    bool operator()(const Ahead& a, const Ahead& b) const {
      return a.time != b.time ? a.time > b.time : a.order > b.order;
    }
  };
  // Reads the next record's head at the read-ahead frontier and queues it; false at the end.
  bool ReadAhead();
  // Forgets what was read ahead; the next forward read starts at the current position.
  void DropReadAhead();
  // A frame held for a decoder before the seek target.
  struct Held {
    uint32_t time = 0;
    ReadPosition at;
  };
  // The next record to hand out forwards (false: none left), and whether it is a lead frame.
  bool NextInTimeOrder(ReadPosition* at, bool* lead);
  // Starts forward play at `landing` with the target of a seek (what was read ahead is
  // already dropped): records stamped before the target are passed over, but for the lead of
  // leadChannels (PlanLead holds it; frames of those channels written late join it).
  void StartForward(ReadPosition landing, platform::CTime target, uint32_t leadChannels);
  int32_t StepBackward();
  // Finds the key frame of `channel`'s group before the position and hands it to the sink.
  void DeliverPrecedingKeyFrame(uint32_t channel);
  void HandOverKeyFrame();
  void CloseFiles();
  // The one way to openFiles: null outside 0 <= position < min(kOpenFileSlots, count).
  std::unique_ptr<ReaderFile>* OpenFileSlot(int32_t position);
  // The open data file of a position, opened on first use.
  ReaderFile* DataFileAt(int32_t position);
  void RewindOpenFiles();
  // Takes in every position of the catalogue; false when it has none.
  bool SelectAll();
  uint64_t RecordedBytesAt(int32_t position) const;
  // A position that holds recorded bytes.
  bool IsReadablePosition(int32_t position) const;
  int32_t NextReadablePosition(int32_t from) const;
  int32_t PreviousReadablePosition(int32_t from) const;
  // The same, passing over positions whose data file cannot be opened (deleted by
  // retention after the reader closed it, for example): the rest still plays.
  int32_t NextOpenPosition(int32_t from);
  int32_t PreviousOpenPosition(int32_t from);
  // Puts the current file at its recorded end, so the next forward step takes the next file.
  void EndFileData();

  void Report(const ReaderFile& file, uint64_t offset, RecordStatus status);
  bool StartsReadableRecord(const ReaderFile& file, uint64_t offset, uint64_t limit);
  // After a damaged record at `damagedAt` of the current file: reports it and positions at
  // the next record start the index knows of (the first record of a later minute entry),
  // or at the file's recorded end when there is none.
  void ResyncForward(uint64_t damagedAt, RecordStatus status);
  uint64_t NextEntryStart(int32_t position, const ReaderFile& file, uint64_t damagedAt,
                          uint64_t limit);
  // Reads the heads of the records of `position` from `from` up to `end` as forward play
  // steps over them (a damaged record is reported, and the scan goes on at the next record
  // the index knows of), without their bodies, calling visit(header, offset) for each until
  // it returns false. True when the scan reached `end`.
  template <typename Visit>
  bool ScanHeads(int32_t position, uint64_t from, uint64_t end, Visit visit);
  // Offsets in a position's data where a minute entry's first record starts.
  std::vector<uint64_t> EntryStarts(int32_t position) const;
  // Offset of the first index entry of `position` before which every record is stamped
  // before t: the seek's jump.
  uint64_t EntryJumpOffset(int32_t position, platform::CTime t) const;
  // The record that ends at `end`; on kOk the position is its start.
  RecordStatus ReadRecordBefore(ReaderFile* file, uint64_t end, FrameHeader* header);
  // Moves from the position to the start of the record before it (into the previous file
  // at a file's start) and reads its head; false when there is none. A damaged
  // record is reported and stepped over to the last whole record before it that the index
  // lets the reader find.
  bool StepBackOneRecord(FrameHeader* header);
  // End of the last whole record that lies before `end` in the current file, found by
  // walking forward from a minute entry's first record; 0 when none.
  uint64_t LastGoodEndBefore(uint64_t end);
  // Reads the record at the position (FrameHeader + body) and moves past it. 0 with kOk for
  // a record larger than the buffer can grow to.
  // `lone`: the record is read by itself (see RecordWindow::Check).
  int32_t ReadRecordChecked(uint8_t* buffer, uint32_t capacity, RecordStatus* status,
                            std::vector<uint8_t>* growable = nullptr, uint32_t growLimit = 0,
                            bool lone = false);
  int32_t ReadNextFrameInto(uint8_t* buffer, uint32_t capacity, std::vector<uint8_t>* growable,
                            uint32_t growLimit);

  // The seek: the file of the landing's minute and its index entry, the walk's start.
  bool JumpToMinute(platform::CTime landing);
  // The lead of a forward seek that lands at `landing` for target t: for each channel of
  // leadChannels whose first video frame from the landing is not a key frame, the frames
  // from its last key frame before the landing are held (heldLead) to go out before it.
  void PlanLead(platform::CTime t, ReadPosition landing, uint32_t leadChannels);
  // The look back of PlanLead by the index's minute entries: each entry before the landing,
  // newest first and across earlier files and days, is scanned forwards (heads only) for
  // the video frames of each channel of `need` from its last key frame in it, until every
  // such channel has met its key frame; those frames become the channel's held lead.
  void LookBack(ReadPosition landing, uint32_t need);
  uint32_t ChannelsNeedingLead(ReadPosition landing, int64_t until, uint32_t leadChannels);
  // The walk of the seek: passes records until the first one stamped at or after t and
  // stops at its start (kWalkFound); at the end of the data it stops there (kWalkEnd).
  // kWalkFailed when it cannot read on.
  static constexpr int32_t kWalkFailed = 0;
  static constexpr int32_t kWalkFound = 1;
  static constexpr int32_t kWalkEnd = 2;
  int32_t WalkToTime(platform::CTime t);
  bool WalkFile(const ReaderFile& file, uint64_t at, platform::CTime t, uint64_t* found);
  // A walk longer than kHalvingSpan is first narrowed by halving, to a record stamped more
  // than kWalkMarginSeconds before the target (the most a record is written out of order).
  uint64_t NarrowByHalving(const ReaderFile& file, uint64_t at, uint64_t limit, platform::CTime t);
  // The first whole record within a window's reach from `from` that is followed by another
  // (or by `limit`), so payload bytes that look like a start marker are not taken for one.
  bool FindRecordStartFrom(const ReaderFile& file, uint64_t from, uint64_t limit, uint64_t* start,
                           uint32_t* time);

  // Bytes the reader's window reads at once.
  static constexpr uint32_t kWindowSize = 65536;
  static constexpr uint64_t kHalvingSpan = 1u << 20;
  static constexpr int64_t kWalkMarginSeconds = 5;

  const CatalogView* const catalogue;
  FrameSink* const sink;
  Reporter* const reporter;
  std::vector<std::unique_ptr<ReaderFile>> openFiles;  // grown to the catalogue on first use
  std::vector<int32_t> openOrder;  // positions with an open file, least recently used first
  uint64_t openSerial = 0;
  std::unique_ptr<RecordWindow> window;
  // The seek's look back reads record heads through this (only during a seek).
  std::unique_ptr<HeadView> heads;
  int32_t firstFile = kNoFile;
  int32_t lastFile = kNoFile;
  int32_t currentFile = kNoFile;
  std::array<uint32_t, 32> needKeyFrame{};
  float playRate = 1.0f;
  std::vector<uint8_t> keyFrameBuffer;  // made on first use
  bool lastFrameLead = false;
  Place lastPlace;
  std::priority_queue<Ahead, std::vector<Ahead>, AheadLater> ahead;
  uint64_t aheadOrder = 0;
  int64_t aheadLatest = INT64_MIN;
  bool aheadEnded = false;
  bool frontierSet = false;
  ReadPosition frontier;
  // The seek target forward play starts from, and per channel the frames before it from the
  // channel's last key frame, held until its first frame at or after the target. The look
  // back collects those before the landing; forward play adds the ones written late.
  bool targetSet = false;
  uint32_t targetTime = 0;
  uint32_t targetLeads = 0;
  uint32_t targetReached = 0;
  std::array<std::vector<Held>, 32> heldLead;
  std::deque<std::pair<ReadPosition, bool>> handOut;  // next to hand out, and whether lead
  std::atomic<uint64_t> damageCount{0};
};

}  // namespace storage
