// The frame reader of a file search: reads the FrameRecords of one recorded day straight
// out of its data files, forwards or backwards, for the playback thread (the only caller).
//
// A record is trusted only as far as it has been checked: its head must carry the start
// marker, it must lie wholly inside the file's recorded bytes (forwards) or before the
// current position (backwards), and its trailer must repeat the head's bodySize. Anything
// else ends the readable data of that file (forwards) or of the day (backwards). All size
// arithmetic is 64-bit, and every step either moves the position or ends the data, so a
// corrupt file can neither send a read out of bounds nor spin the thread.
//
// Data files are opened on first use and at most kMaxOpenDataFiles of them stay open (the
// least recently used one is closed), so a day of thousands of files does not run the
// process out of descriptors. Only the position of the file being read matters: every
// other file is positioned explicitly before it is read.
#include <algorithm>
#include <climits>
#include <cstring>

#include "catalog/file_catalog.h"
#include "platform/clock.h"

using platform::CTime;
using storage::FrameHeader;

namespace {

// CRawFile moves by 32-bit signed offsets, so no byte beyond this is ever addressed.
constexpr uint64_t kMaxReadableOffset = INT32_MAX;

bool IsDeliveredRecord(const FrameHeader& header) {
  return header.channel < storage::kChannelCount &&
         (storage::IsDeliveredAudioType(header.type) || storage::IsDeliveredVideoType(header.type));
}

bool Tell(CRawFile* file, uint64_t* position) {
  const uint32_t at = file->SeekTo(0, CRawFile::kCurrent);
  if (at == CRawFile::kBadPosition) return false;
  *position = at;
  return true;
}

bool SeekAbsolute(CRawFile* file, uint64_t position) {
  if (position > kMaxReadableOffset) return false;
  return file->SeekTo(static_cast<int32_t>(position), CRawFile::kBegin) != CRawFile::kBadPosition;
}

// Callers have bounded `delta` by a position inside the readable range.
bool SeekRelative(CRawFile* file, int64_t delta) {
  if (delta > static_cast<int64_t>(kMaxReadableOffset) ||
      delta < -static_cast<int64_t>(kMaxReadableOffset)) {
    return false;
  }
  return file->SeekTo(static_cast<int32_t>(delta), CRawFile::kCurrent) != CRawFile::kBadPosition;
}

// Reads a record head at `start` (the file's position), in two reads as the records are
// laid out: the start marker, then the 36-byte FrameHeader. Accepts it only when the
// whole record fits below `limit`. On success the position is just after the head.
bool ReadHeadForward(CRawFile* file, uint64_t start, uint64_t limit, FrameHeader* header) {
  if (start + storage::kRecordHeadSize > limit) return false;
  uint8_t marker[storage::kStartMarkerSize];
  if (file->ReadExact(marker, sizeof(marker)) != 1 ||
      storage::LoadU32(marker) != storage::kRecordStartMarker) {
    return false;
  }
  if (file->ReadExact(header, storage::kFrameHeaderSize) != 1) return false;
  return start + storage::kRecordOverhead + header->bodySize <= limit;
}

// Reads the trailer at the position and checks that it closes a body of `bodySize` bytes.
bool ReadTrailerMatches(CRawFile* file, uint32_t bodySize) {
  uint8_t trailer[storage::kRecordTrailerSize];
  uint32_t trailerBodySize = 0;
  return file->ReadExact(trailer, sizeof(trailer)) == 1 &&
         storage::ParseRecordTrailer(trailer, &trailerBodySize) && trailerBodySize == bodySize;
}

// True when a whole, consistent record (start marker, length inside `limit`, trailer that
// agrees) starts at `offset`. Moves the position.
bool StartsReadableRecord(CRawFile* file, uint64_t offset, uint64_t limit) {
  FrameHeader header;
  return SeekAbsolute(file, offset) && ReadHeadForward(file, offset, limit, &header) &&
         SeekRelative(file, header.bodySize) && ReadTrailerMatches(file, header.bodySize);
}

// Reads the record that ends at `end` through its trailer: end marker, bodySize, then the
// head, which must carry the start marker and the same bodySize. The record must lie
// wholly between offset 0 and `end`. On success the position is the record's start.
bool ReadRecordBefore(CRawFile* file, uint64_t end, FrameHeader* header) {
  if (end < storage::kRecordOverhead) return false;
  uint32_t bodySize = 0;
  if (!SeekAbsolute(file, end - storage::kRecordTrailerSize)) return false;
  uint8_t trailer[storage::kRecordTrailerSize];
  if (file->ReadExact(trailer, sizeof(trailer)) != 1 ||
      !storage::ParseRecordTrailer(trailer, &bodySize)) {
    return false;
  }
  const uint64_t size = storage::kRecordOverhead + static_cast<uint64_t>(bodySize);
  if (size > end) return false;
  const uint64_t start = end - size;
  if (!SeekAbsolute(file, start)) return false;
  if (!ReadHeadForward(file, start, end, header) || header->bodySize != bodySize) return false;
  return SeekRelative(file, -static_cast<int64_t>(storage::kRecordHeadSize));
}

// Reads records forwards through a window of the file, checking each as ReadHeadForward
// and ReadTrailerMatches do, without three calls per record. A record larger than half the
// window has only its trailer and the next head read. The file's position is left
// anywhere; the caller positions it.
class RecordWindow {
 public:
  RecordWindow(CRawFile* file, uint64_t limit, uint8_t* buffer, uint32_t capacity)
      : file_(file), limit_(limit), buffer_(buffer), capacity_(capacity) {}

  // The record that starts at `start`: its header and the offset just after it.
  bool Next(uint64_t start, FrameHeader* header, uint64_t* end) {
    if (start + storage::kRecordHeadSize > limit_) return false;
    if (!Has(start, storage::kRecordHeadSize) &&
        !Load(start, capacity_, storage::kRecordHeadSize)) {
      return false;
    }
    const uint8_t* head = At(start);
    if (storage::LoadU32(head) != storage::kRecordStartMarker) return false;
    std::memcpy(header, head + storage::kStartMarkerSize, storage::kFrameHeaderSize);
    const uint64_t trailerAt = start + storage::kRecordHeadSize + header->bodySize;
    if (trailerAt + storage::kRecordTrailerSize > limit_) return false;
    if (!Has(trailerAt, storage::kRecordTrailerSize)) {
      const bool large = header->bodySize >= capacity_ / 2;
      const uint32_t want = large ? storage::kRecordOverhead : capacity_;
      if (!Load(trailerAt, want, storage::kRecordTrailerSize)) return false;
    }
    uint32_t trailerBodySize = 0;
    if (!storage::ParseRecordTrailer(At(trailerAt), &trailerBodySize) ||
        trailerBodySize != header->bodySize) {
      return false;
    }
    *end = trailerAt + storage::kRecordTrailerSize;
    return true;
  }

 private:
  bool Has(uint64_t offset, uint32_t n) const {
    return offset >= begin_ && offset + n <= begin_ + length_;
  }
  const uint8_t* At(uint64_t offset) const { return buffer_ + (offset - begin_); }

  // Fills the window from `offset` with up to `want` bytes below the limit; at least `need`
  // of them must be read. A file shorter than its recorded bytes still yields what it has.
  bool Load(uint64_t offset, uint32_t want, uint32_t need) {
    length_ = 0;
    const uint64_t room = std::min<uint64_t>(want, limit_ - offset);
    if (room < need || !SeekAbsolute(file_, offset)) return false;
    uint32_t got = static_cast<uint32_t>(room);
    if (file_->ReadExact(buffer_, got) != 1) {
      got = need;
      if (!SeekAbsolute(file_, offset) || file_->ReadExact(buffer_, got) != 1) return false;
    }
    begin_ = offset;
    length_ = got;
    return true;
  }

  CRawFile* const file_;
  const uint64_t limit_;
  uint8_t* const buffer_;
  const uint32_t capacity_;
  uint64_t begin_ = 0;
  uint32_t length_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Open data files.

std::unique_ptr<CRawFile>* CFileCatalog::OpenFileSlot(int32_t position) {
  if (position < 0 || position >= std::min(fileCount, kOpenFileSlots)) return nullptr;
  return &openFiles[static_cast<size_t>(position)];
}

CRawFile* CFileCatalog::DataFileAt(int32_t position) {
  std::unique_ptr<CRawFile>* slot = OpenFileSlot(position);
  if (slot == nullptr) return nullptr;
  if (*slot) {
    if (openOrder.empty() || openOrder.back() != position) {
      auto it = std::find(openOrder.begin(), openOrder.end(), position);
      if (it != openOrder.end()) openOrder.erase(it);
      openOrder.push_back(position);
    }
    return slot->get();
  }
  // Only the files of the selected day are opened.
  if (firstFile == kNoFile || position < firstFile || position > lastFile) return nullptr;
  const storage::FileInfo* info = FileInfoAt(position);
  if (info == nullptr) return nullptr;
  std::unique_ptr<CRawFile> file = CRawFile::OpenForReading(storage::FileInfoPath(*info));
  if (!file) return nullptr;

  // Forget positions whose files were closed behind the reader's back (CloseDataFiles),
  // then make room by closing the least recently used files.
  std::erase_if(openOrder, [this](int32_t p) {
    std::unique_ptr<CRawFile>* s = OpenFileSlot(p);
    return s == nullptr || !*s;
  });
  while (openOrder.size() >= static_cast<size_t>(kMaxOpenDataFiles)) {
    std::unique_ptr<CRawFile>* oldest = OpenFileSlot(openOrder.front());
    if (oldest != nullptr && *oldest) {
      (*oldest)->Close();
      oldest->reset();
    }
    openOrder.erase(openOrder.begin());
  }
  *slot = std::move(file);
  openOrder.push_back(position);
  platform::SleepMs(0);
  return slot->get();
}

int32_t CFileCatalog::OpenDataFileCount() {
  int32_t count = 0;
  for (int32_t p : openOrder) {
    std::unique_ptr<CRawFile>* slot = OpenFileSlot(p);
    if (slot != nullptr && *slot) ++count;
  }
  return count;
}

void CFileCatalog::OpenDayFiles() {
  // Every file the reader holds is listed in openOrder; the day's files are then opened
  // as the reader reaches them.
  for (int32_t p : openOrder) {
    std::unique_ptr<CRawFile>* slot = OpenFileSlot(p);
    if (slot != nullptr && *slot) {
      (*slot)->Close();
      slot->reset();
    }
    platform::SleepMs(0);
  }
  openOrder.clear();
}

void CFileCatalog::RewindOpenDayFiles() {
  if (firstFile == kNoFile) return;
  for (int32_t p : openOrder) {
    if (p < firstFile || p > lastFile) continue;
    std::unique_ptr<CRawFile>* slot = OpenFileSlot(p);
    if (slot != nullptr && *slot) SeekAbsolute(slot->get(), 0);
  }
}

// ---------------------------------------------------------------------------------------
// Positions of the selected day.

bool CFileCatalog::IsSameDay(CTime a, CTime b) {
  const platform::LocalFields x = a.Local();
  const platform::LocalFields y = b.Local();
  return x.year == y.year && x.month == y.month && x.day == y.day;
}

bool CFileCatalog::SelectDay(CTime t) {
  firstFile = lastFile = currentFile = kNoFile;
  const platform::LocalFields day = t.Local();
  const int32_t count = std::min(fileCount, kOpenFileSlots);
  for (int32_t j = 0; j < count; ++j) {
    const FileTimeTable* table = TimeTableAt(j);
    if (table == nullptr) break;
    const platform::LocalFields start = CTime(table->startTime).Local();
    if (start.year != day.year || start.month != day.month || start.day != day.day) continue;
    if (firstFile == kNoFile) firstFile = j;
    lastFile = j;
  }
  return firstFile != kNoFile;
}

uint64_t CFileCatalog::RecordedBytesAt(int32_t position) const {
  const FileTimeTable* table = TimeTableAt(position);
  if (table == nullptr) return 0;
  return std::min<uint64_t>(table->dataBytes, kMaxReadableOffset);
}

bool CFileCatalog::IsOnSelectedDay(int32_t t) const {
  if (dayBounds.day != dayStart.seconds() || !dayBounds.known) {
    const platform::LocalFields f = dayStart.Local();
    dayBounds.day = dayStart.seconds();
    dayBounds.begin = CTime::FromLocal(f.year, f.month, f.day, 0, 0, 0, -1).seconds();
    dayBounds.end = CTime::FromLocal(f.year, f.month, f.day + 1, 0, 0, 0, -1).seconds();
    const int64_t length = dayBounds.end - dayBounds.begin;
    dayBounds.known = f.year != 0 && length >= 22 * 3600 && length <= 26 * 3600;
  }
  // Within a few hours of either bound a zone's own rules could move the date (a clock
  // change at midnight), so there the dates are compared.
  constexpr int64_t kMargin = 3 * 3600;
  if (dayBounds.known) {
    if (t >= dayBounds.begin + kMargin && t < dayBounds.end - kMargin) return true;
    if (t < dayBounds.begin - kMargin || t >= dayBounds.end + kMargin) return false;
  }
  return IsSameDay(CTime(t), dayStart);
}

bool CFileCatalog::IsReadablePosition(int32_t position) const {
  if (firstFile == kNoFile || position < firstFile || position > lastFile) return false;
  const FileTimeTable* table = TimeTableAt(position);
  return table != nullptr && table->dataBytes != 0 && IsOnSelectedDay(table->startTime);
}

int32_t CFileCatalog::NextReadablePosition(int32_t from) const {
  if (firstFile == kNoFile || from < firstFile - 1 || from > lastFile) return kNoFile;
  for (int32_t j = from + 1; j <= lastFile; ++j) {
    if (IsReadablePosition(j)) return j;
  }
  return kNoFile;
}

int32_t CFileCatalog::PreviousReadablePosition(int32_t from) const {
  if (firstFile == kNoFile || from < firstFile || from > lastFile + 1) return kNoFile;
  for (int32_t j = from - 1; j >= firstFile; --j) {
    if (IsReadablePosition(j)) return j;
  }
  return kNoFile;
}

void CFileCatalog::EndFileData() {
  CRawFile* file = DataFileAt(currentFile);
  if (file != nullptr) SeekAbsolute(file, RecordedBytesAt(currentFile));
}

// ---------------------------------------------------------------------------------------
// Selecting a day and a position.

int32_t CFileCatalog::SeekToTime(CTime t) {
  dayStart = t.LocalMidnight();
  return SeekForwardToTime(t);
}

int32_t CFileCatalog::SeekForwardToTime(CTime t) {
  if (!SelectDay(t)) return 0;
  OpenDayFiles();

  const platform::LocalFields local = t.Local();
  const CTime target(t.seconds() - local.second);
  currentFile = lastFile;
  for (int32_t j = firstFile; j <= lastFile; ++j) {
    if (IsReadablePosition(j) && TimeTableAt(j)->endTime >= target.seconds()) {
      currentFile = j;
      break;
    }
  }

  // Jump to the first byte of the target minute: the bytes of every minute from the start
  // of the file's first hour up to the target minute.
  const FileTimeTable* table = TimeTableAt(currentFile);
  if (table == nullptr) return 0;
  const platform::LocalFields first = CTime(table->startTime).Local();
  const int firstSlot = std::clamp(first.hour * 60, 0, kMinuteSlots);
  const int targetSlot = std::clamp(local.hour * 60 + local.minute, 0, kMinuteSlots);
  uint64_t offset = 0;
  for (int slot = firstSlot; slot < targetSlot; ++slot) offset += table->minuteBytes[slot];

  CRawFile* file = DataFileAt(currentFile);
  if (file == nullptr) return 0;
  // The writer threads store video and audio of one minute in two streams, so a late audio
  // record of a minute may follow the next minute's first record and the sum can point
  // into a record. Then the file is read from its start instead.
  const uint64_t limit = RecordedBytesAt(currentFile);
  if (offset != limit && !StartsReadableRecord(file, offset, limit)) offset = 0;
  if (!SeekAbsolute(file, offset)) return 0;

  if (WalkToTime(t) == 0) return 0;
  needKeyFrame.fill(0);
  return 1;
}

int32_t CFileCatalog::WalkToTime(CTime t) {
  const int32_t noTime = CTime::NoTime().seconds();
  if (!walkWindow) walkWindow = std::make_unique<uint8_t[]>(kWalkWindowSize);
  // True while the current file was entered at its start by this walk and none of its
  // records has been read: a failure there ends the walk, as it ends PeekNextRecordTime.
  bool entered = false;
  uint32_t passed = 0;
  for (;;) {
    CRawFile* file = IsReadablePosition(currentFile) ? DataFileAt(currentFile) : nullptr;
    uint64_t at = 0;
    if (file != nullptr && Tell(file, &at)) {
      RecordWindow window(file, RecordedBytesAt(currentFile), walkWindow.get(), kWalkWindowSize);
      FrameHeader header;
      uint64_t end = 0;
      while (window.Next(at, &header, &end)) {
        entered = false;
        at = end;
        if (header.time == noTime) {
          SeekAbsolute(file, at);
          return 0;
        }
        if (!(t > CTime(header.time))) return SeekAbsolute(file, at) ? 1 : 0;
        if (++passed % 1024 == 0 && stopReading.load() != 0) return 0;
      }
    }
    if (entered || stopReading.load() != 0) return 0;
    const int32_t next = NextReadablePosition(currentFile);
    if (next == kNoFile) return 0;
    currentFile = next;
    file = DataFileAt(next);
    if (file == nullptr || !SeekAbsolute(file, 0)) return 0;
    entered = true;
  }
}

int32_t CFileCatalog::OpenDay(CTime t) {
  dayStart = t.LocalMidnight();
  RewindOpenDayFiles();
  const bool found = SelectDay(t);
  if (found) {
    const int32_t first = NextReadablePosition(firstFile - 1);
    currentFile = first != kNoFile ? first : firstFile;
  }
  OpenDayFiles();
  needKeyFrame.fill(1);
  return found ? 1 : 0;
}

int32_t CFileCatalog::ResetReadPosition(int32_t direction) {
  RewindOpenDayFiles();
  if (direction > 0) {
    const int32_t first = NextReadablePosition(firstFile - 1);
    currentFile = first != kNoFile ? first : firstFile;
    if (CRawFile* file = DataFileAt(currentFile)) SeekAbsolute(file, 0);
    needKeyFrame.fill(1);
  } else if (direction < 0) {
    const int32_t last = PreviousReadablePosition(lastFile + 1);
    currentFile = last != kNoFile ? last : lastFile;
    if (CRawFile* file = DataFileAt(currentFile)) {
      SeekAbsolute(file, RecordedBytesAt(currentFile));
    }
    needKeyFrame.fill(0);
  }
  return 1;
}

void CFileCatalog::SetPlayRate(float rate) { playRate = rate; }

// ---------------------------------------------------------------------------------------
// Stepping.

int32_t CFileCatalog::StepForward() {
  FrameHeader header;
  bool found = false;
  if (IsReadablePosition(currentFile)) {
    CRawFile* file = DataFileAt(currentFile);
    if (file == nullptr) return kStepEnd;
    uint64_t start = 0;
    found =
        Tell(file, &start) && ReadHeadForward(file, start, RecordedBytesAt(currentFile), &header);
  }
  if (!found) {
    // The rest of this file is not readable: the next file of the day starts at its start.
    const int32_t next = NextReadablePosition(currentFile);
    if (next == kNoFile) return kStepEnd;
    currentFile = next;
    CRawFile* file = DataFileAt(next);
    if (file == nullptr || !SeekAbsolute(file, 0) ||
        !ReadHeadForward(file, 0, RecordedBytesAt(next), &header)) {
      return kStepEnd;
    }
  }
  CRawFile* file = DataFileAt(currentFile);
  if (!IsDeliveredRecord(header)) {
    // Pass over it; a trailer that does not close it ends this file's data.
    if (!SeekRelative(file, header.bodySize) || !ReadTrailerMatches(file, header.bodySize)) {
      EndFileData();
    }
    return kStepAgain;
  }
  if (!SeekRelative(file, -static_cast<int64_t>(storage::kRecordHeadSize))) return kStepEnd;
  if (storage::IsDeliveredVideoType(header.type)) needKeyFrame[header.channel] = 1;
  return header.channel;
}

bool CFileCatalog::StepBackOneRecord(FrameHeader* header) {
  CRawFile* file = nullptr;
  uint64_t end = 0;
  if (IsReadablePosition(currentFile)) {
    file = DataFileAt(currentFile);
    if (file == nullptr || !Tell(file, &end)) return false;
  }
  if (file == nullptr || end == 0) {
    const int32_t previous = PreviousReadablePosition(currentFile);
    if (previous == kNoFile) return false;
    currentFile = previous;
    file = DataFileAt(previous);
    end = RecordedBytesAt(previous);
    if (file == nullptr) return false;
  }
  if (end > RecordedBytesAt(currentFile)) return false;
  return ReadRecordBefore(file, end, header);
}

int32_t CFileCatalog::StepBackward() {
  FrameHeader header;
  if (!StepBackOneRecord(&header)) return kStepEnd;
  if (!IsDeliveredRecord(header)) return kStepAgain;  // at its start: the next step passes it
  const uint32_t channel = header.channel;
  if (storage::IsDeliveredVideoType(header.type)) {
    if (needKeyFrame[channel] == 0) {
      DeliverPrecedingKeyFrame(channel);
      needKeyFrame[channel] = 1;
    }
    // Once the group's key frame itself has gone out, the next older group needs its own.
    if ((header.keyFrame & 1) != 0) needKeyFrame[channel] = 0;
  }
  return static_cast<int32_t>(channel);
}

void CFileCatalog::BackUpOneRecord() {
  CRawFile* file = DataFileAt(currentFile);
  uint64_t end = 0;
  if (file == nullptr || !Tell(file, &end)) return;
  FrameHeader header;
  const uint64_t saved = end;
  if (!ReadRecordBefore(file, end, &header)) SeekAbsolute(file, saved);
}

void CFileCatalog::DeliverPrecedingKeyFrame(uint32_t channel) {
  const int32_t savedFile = currentFile;
  CRawFile* file = DataFileAt(savedFile);
  uint64_t savedPosition = 0;
  if (file == nullptr || !Tell(file, &savedPosition)) return;

  FrameHeader header;
  bool found = ReadHeadForward(file, savedPosition, RecordedBytesAt(savedFile), &header) &&
               SeekAbsolute(file, savedPosition);
  while (found && stopReading.load() == 0) {
    if ((header.keyFrame & 1) != 0 && header.channel == channel) {
      if (!keyFrameBuffer) keyFrameBuffer = std::make_unique<uint8_t[]>(kKeyFrameBufferSize);
      bool corrupt = false;
      const int32_t length = ReadRecordChecked(keyFrameBuffer.get(), kKeyFrameBufferSize, &corrupt);
      if (!corrupt && keyFrameCallback != nullptr) {
        keyFrameCallback(keyFrameBuffer.get(), length, owner);
      }
      break;
    }
    found = StepBackOneRecord(&header);
  }

  currentFile = savedFile;
  file = DataFileAt(savedFile);
  if (file != nullptr) SeekAbsolute(file, savedPosition);
}

CTime CFileCatalog::PeekNextRecordTime() {
  for (bool advanced = false;; advanced = true) {
    if (IsReadablePosition(currentFile)) {
      if (CRawFile* file = DataFileAt(currentFile)) {
        FrameHeader header;
        uint64_t start = 0;
        if (Tell(file, &start) &&
            ReadHeadForward(file, start, RecordedBytesAt(currentFile), &header) &&
            SeekRelative(file, header.bodySize) && ReadTrailerMatches(file, header.bodySize)) {
          return CTime(header.time);
        }
      }
    }
    if (advanced) break;
    const int32_t next = NextReadablePosition(currentFile);
    if (next == kNoFile) break;
    currentFile = next;
    CRawFile* file = DataFileAt(next);
    if (file == nullptr || !SeekAbsolute(file, 0)) break;
  }
  return CTime::NoTime();
}

// ---------------------------------------------------------------------------------------
// Reading records.

int32_t CFileCatalog::ReadRecordChecked(uint8_t* buffer, uint32_t capacity, bool* corrupt) {
  *corrupt = true;
  CRawFile* file = DataFileAt(currentFile);
  uint64_t start = 0;
  if (file == nullptr || buffer == nullptr || !Tell(file, &start)) return 0;
  FrameHeader header;
  if (!ReadHeadForward(file, start, RecordedBytesAt(currentFile), &header)) return 0;
  const uint64_t bodySize = header.bodySize;
  const uint64_t room = std::min<uint64_t>(capacity, INT32_MAX);
  const uint64_t frameLength = storage::kFrameHeaderSize + bodySize;
  if (frameLength > room) {
    // Too big for the caller: pass over it whole.
    *corrupt = false;
    if (room >= storage::kFrameHeaderSize) std::memcpy(buffer, &header, sizeof(header));
    if (!SeekRelative(file, static_cast<int64_t>(bodySize + storage::kRecordTrailerSize))) {
      *corrupt = true;
    }
    return 0;
  }
  std::memcpy(buffer, &header, sizeof(header));
  uint8_t* body = buffer + storage::kFrameHeaderSize;
  uint8_t trailer[storage::kRecordTrailerSize];
  if (frameLength + storage::kRecordTrailerSize <= room) {
    // Body and trailer in one read; the trailer bytes land after the frame.
    if (file->ReadExact(body, static_cast<uint32_t>(bodySize + storage::kRecordTrailerSize)) != 1) {
      return 0;
    }
    std::memcpy(trailer, body + bodySize, sizeof(trailer));
  } else if (file->ReadExact(body, static_cast<uint32_t>(bodySize)) != 1 ||
             file->ReadExact(trailer, sizeof(trailer)) != 1) {
    return 0;
  }
  uint32_t trailerBodySize = 0;
  if (!storage::ParseRecordTrailer(trailer, &trailerBodySize) || trailerBodySize != bodySize) {
    return 0;
  }
  *corrupt = false;
  return static_cast<int32_t>(frameLength);
}

int32_t CFileCatalog::ReadRecord(uint8_t* buffer, uint32_t capacity) {
  bool corrupt = false;
  return ReadRecordChecked(buffer, capacity, &corrupt);
}

int32_t CFileCatalog::ReadNextFrame(uint8_t* buffer, uint32_t capacity) {
  const bool forward = playRate > 0.0f;
  const bool backward = playRate < 0.0f;
  if (!forward && !backward) {
    platform::SleepMs(kPausedReadSleepMs);
    return 0;
  }
  for (;;) {
    int32_t step;
    do {
      // A stop ends a long run of records that are not delivered.
      if (stopReading.load() != 0) return 0;
      step = forward ? StepForward() : StepBackward();
    } while (step == kStepAgain);
    if (step == kStepEnd) return -1;

    CRawFile* file = DataFileAt(currentFile);
    uint64_t start = 0;
    if (file == nullptr || !Tell(file, &start)) return -1;
    bool corrupt = false;
    const int32_t length = ReadRecordChecked(buffer, capacity, &corrupt);
    if (corrupt) {
      if (backward) return -1;
      EndFileData();  // the next step goes on with the next file of the day
      continue;
    }
    if (backward) {
      // Back to the record's start, so the next backward step finds the record before it.
      BackUpOneRecord();
      uint64_t now = 0;
      if (!Tell(file, &now) || now != start) SeekAbsolute(file, start);
    }
    return length;
  }
}
