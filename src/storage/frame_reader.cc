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
#include "storage/frame_reader.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/clock.h"

namespace storage {

using platform::CTime;

namespace {

// Data files are addressed by 32-bit signed offsets (they hold 200 MiB), so no byte beyond
// this is ever addressed.
constexpr uint64_t kMaxReadableOffset = INT32_MAX;

bool IsDeliveredRecord(const FrameHeader& header) {
  return header.channel < kChannelCount &&
         (IsDeliveredAudioType(header.type) || IsDeliveredVideoType(header.type));
}

bool Tell(const ReaderFile* file, uint64_t* position) {
  *position = file->position;
  return true;
}

bool SeekAbsolute(ReaderFile* file, uint64_t position) {
  if (position > kMaxReadableOffset) return false;
  file->position = position;
  return true;
}

// Callers have bounded `delta` by a position inside the readable range.
bool SeekRelative(ReaderFile* file, int64_t delta) {
  if (delta > static_cast<int64_t>(kMaxReadableOffset) ||
      delta < -static_cast<int64_t>(kMaxReadableOffset)) {
    return false;
  }
  const int64_t to = static_cast<int64_t>(file->position) + delta;
  if (to < 0) return false;
  file->position = static_cast<uint64_t>(to);
  return true;
}

// Reads exactly `count` bytes at the position, which moves by the bytes actually read; false
// on a failed or short read (the end of the file).
bool ReadExact(ReaderFile* file, void* buffer, uint32_t count) {
  uint64_t got = 0;
  const bool read = file->file->ReadAt(file->position, buffer, count, &got).ok();
  file->position += got;
  return read;
}

// Reads a record head at `start` (the file's position), in two reads as the records are
// laid out: the start marker, then the 36-byte FrameHeader. Accepts it only when the
// whole record fits below `limit`. On success the position is just after the head.
bool ReadHeadForward(ReaderFile* file, uint64_t start, uint64_t limit, FrameHeader* header) {
  if (start + kRecordHeadSize > limit) return false;
  uint8_t marker[kStartMarkerSize];
  if (!ReadExact(file, marker, sizeof(marker)) || LoadU32(marker) != kRecordStartMarker) {
    return false;
  }
  if (!ReadExact(file, header, kFrameHeaderSize)) return false;
  return start + kRecordOverhead + header->bodySize <= limit;
}

// Reads the trailer at the position and checks that it closes a body of `bodySize` bytes.
bool ReadTrailerMatches(ReaderFile* file, uint32_t bodySize) {
  uint8_t trailer[kRecordTrailerSize];
  uint32_t trailerBodySize = 0;
  return ReadExact(file, trailer, sizeof(trailer)) &&
         ParseRecordTrailer(trailer, &trailerBodySize) && trailerBodySize == bodySize;
}

// True when a whole, consistent record (start marker, length inside `limit`, trailer that
// agrees) starts at `offset`. Moves the position.
bool StartsReadableRecord(ReaderFile* file, uint64_t offset, uint64_t limit) {
  FrameHeader header;
  return SeekAbsolute(file, offset) && ReadHeadForward(file, offset, limit, &header) &&
         SeekRelative(file, header.bodySize) && ReadTrailerMatches(file, header.bodySize);
}

// The first place at or after `from` (within one buffer's reach) where a whole record starts
// that is followed by another whole record (or by `limit`): found by its start marker, and
// checked by both trailers, so payload bytes that look like a marker are not taken for one.
bool FindRecordStartFrom(ReaderFile* file, uint64_t from, uint64_t limit, uint8_t* buffer,
                         uint32_t capacity, uint64_t* start, int32_t* time) {
  if (from >= limit || !SeekAbsolute(file, from)) return false;
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(capacity, limit - from));
  if (n < kRecordHeadSize || !ReadExact(file, buffer, n)) return false;
  for (uint32_t i = 0; i + kRecordHeadSize <= n; ++i) {
    if (LoadU32(buffer + i) != kRecordStartMarker) continue;
    FrameHeader header;
    std::memcpy(&header, buffer + i + kStartMarkerSize, sizeof(header));
    const uint64_t candidate = from + i;
    const uint64_t next = candidate + kRecordOverhead + header.bodySize;
    if (next > limit || !StartsReadableRecord(file, candidate, limit)) continue;
    if (next < limit && !StartsReadableRecord(file, next, limit)) continue;
    *start = candidate;
    *time = header.time;
    return true;
  }
  return false;
}

// Reads the record that ends at `end` through its trailer: end marker, bodySize, then the
// head, which must carry the start marker and the same bodySize. The record must lie
// wholly between offset 0 and `end`. On success the position is the record's start.
bool ReadRecordBefore(ReaderFile* file, uint64_t end, FrameHeader* header) {
  if (end < kRecordOverhead) return false;
  uint32_t bodySize = 0;
  if (!SeekAbsolute(file, end - kRecordTrailerSize)) return false;
  uint8_t trailer[kRecordTrailerSize];
  if (!ReadExact(file, trailer, sizeof(trailer)) || !ParseRecordTrailer(trailer, &bodySize)) {
    return false;
  }
  const uint64_t size = kRecordOverhead + static_cast<uint64_t>(bodySize);
  if (size > end) return false;
  const uint64_t start = end - size;
  if (!SeekAbsolute(file, start)) return false;
  if (!ReadHeadForward(file, start, end, header) || header->bodySize != bodySize) return false;
  return SeekRelative(file, -static_cast<int64_t>(kRecordHeadSize));
}

// Reads records forwards through a window of the file, checking each as ReadHeadForward
// and ReadTrailerMatches do, without three calls per record. A record larger than half the
// window has only its trailer and the next head read. The file's position is left
// anywhere; the caller positions it.
class RecordWindow {
 public:
  RecordWindow(ReaderFile* file, uint64_t limit, uint8_t* buffer, uint32_t capacity)
      : file_(file), limit_(limit), buffer_(buffer), capacity_(capacity) {}

  // The record that starts at `start`: its header and the offset just after it.
  bool Next(uint64_t start, FrameHeader* header, uint64_t* end) {
    if (start + kRecordHeadSize > limit_) return false;
    if (!Has(start, kRecordHeadSize) && !Load(start, capacity_, kRecordHeadSize)) {
      return false;
    }
    const uint8_t* head = At(start);
    if (LoadU32(head) != kRecordStartMarker) return false;
    std::memcpy(header, head + kStartMarkerSize, kFrameHeaderSize);
    const uint64_t trailerAt = start + kRecordHeadSize + header->bodySize;
    if (trailerAt + kRecordTrailerSize > limit_) return false;
    if (!Has(trailerAt, kRecordTrailerSize)) {
      const bool large = header->bodySize >= capacity_ / 2;
      const uint32_t want = large ? kRecordOverhead : capacity_;
      if (!Load(trailerAt, want, kRecordTrailerSize)) return false;
    }
    uint32_t trailerBodySize = 0;
    if (!ParseRecordTrailer(At(trailerAt), &trailerBodySize) ||
        trailerBodySize != header->bodySize) {
      return false;
    }
    *end = trailerAt + kRecordTrailerSize;
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
    if (!ReadExact(file_, buffer_, got)) {
      got = need;
      if (!SeekAbsolute(file_, offset) || !ReadExact(file_, buffer_, got)) return false;
    }
    begin_ = offset;
    length_ = got;
    return true;
  }

  ReaderFile* const file_;
  const uint64_t limit_;
  uint8_t* const buffer_;
  const uint32_t capacity_;
  uint64_t begin_ = 0;
  uint32_t length_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Open data files.

CFrameReader::CFrameReader(const CatalogView* catalogue, FrameSink* sink, Reporter* reporter)
    : catalogue(catalogue), sink(sink), reporter(reporter), dayStart(CTime::NoTime()) {}

std::unique_ptr<ReaderFile>* CFrameReader::OpenFileSlot(int32_t position) {
  const int32_t slots = std::min(catalogue->count, kOpenFileSlots);
  if (position < 0 || position >= slots) return nullptr;
  if (openFiles.size() < static_cast<size_t>(slots)) openFiles.resize(static_cast<size_t>(slots));
  return &openFiles[static_cast<size_t>(position)];
}

ReaderFile* CFrameReader::DataFileAt(int32_t position) {
  std::unique_ptr<ReaderFile>* slot = OpenFileSlot(position);
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
  const FileInfo* info = catalogue->InfoAt(position);
  if (info == nullptr) return nullptr;
  auto file = std::make_unique<ReaderFile>();
  file->path = FileInfoPath(*info);
  file->file = platform::File::OpenReadOnly(file->path);
  if (!file->file) return nullptr;

  // Forget positions whose files were closed behind the reader's back (CloseDataFiles),
  // then make room by closing the least recently used files.
  std::erase_if(openOrder, [this](int32_t p) {
    std::unique_ptr<ReaderFile>* s = OpenFileSlot(p);
    return s == nullptr || !*s;
  });
  while (openOrder.size() >= static_cast<size_t>(kMaxOpenDataFiles)) {
    std::unique_ptr<ReaderFile>* oldest = OpenFileSlot(openOrder.front());
    if (oldest != nullptr) oldest->reset();
    openOrder.erase(openOrder.begin());
  }
  *slot = std::move(file);
  openOrder.push_back(position);
  return slot->get();
}

int32_t CFrameReader::OpenDataFileCount() const {
  int32_t count = 0;
  for (int32_t p : openOrder) {
    if (p >= 0 && static_cast<size_t>(p) < openFiles.size() && openFiles[p]) ++count;
  }
  return count;
}

void CFrameReader::CloseFiles() {
  // Every file the reader holds is listed in openOrder; the day's files are then opened
  // as the reader reaches them.
  for (int32_t p : openOrder) {
    if (p >= 0 && static_cast<size_t>(p) < openFiles.size()) openFiles[p].reset();
  }
  openOrder.clear();
}

void CFrameReader::Close() {
  CloseFiles();
  std::vector<std::unique_ptr<ReaderFile>>().swap(openFiles);
  firstFile = lastFile = currentFile = kNoFile;
  leadActive = lastFrameLead = false;
}

void CFrameReader::RewindOpenDayFiles() {
  if (firstFile == kNoFile) return;
  for (int32_t p : openOrder) {
    if (p < firstFile || p > lastFile) continue;
    std::unique_ptr<ReaderFile>* slot = OpenFileSlot(p);
    if (slot != nullptr && *slot) SeekAbsolute(slot->get(), 0);
  }
}

// ---------------------------------------------------------------------------------------
// Positions of the selected day.

bool CFrameReader::SelectDay(CTime t) {
  firstFile = lastFile = currentFile = kNoFile;
  const platform::LocalFields day = t.Local();
  const int32_t count = std::min(catalogue->count, kOpenFileSlots);
  for (int32_t j = 0; j < count; ++j) {
    const FileTimeTable* table = catalogue->TableAt(j);
    if (table == nullptr) break;
    const platform::LocalFields start = CTime(table->startTime).Local();
    if (start.year != day.year || start.month != day.month || start.day != day.day) continue;
    if (firstFile == kNoFile) firstFile = j;
    lastFile = j;
  }
  return firstFile != kNoFile;
}

uint64_t CFrameReader::RecordedBytesAt(int32_t position) const {
  const FileTimeTable* table = catalogue->TableAt(position);
  if (table == nullptr) return 0;
  return std::min<uint64_t>(table->dataBytes, kMaxReadableOffset);
}

bool CFrameReader::IsOnSelectedDay(int32_t t) const {
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
  const platform::LocalFields x = CTime(t).Local();
  const platform::LocalFields y = dayStart.Local();
  return x.year == y.year && x.month == y.month && x.day == y.day;
}

bool CFrameReader::IsReadablePosition(int32_t position) const {
  if (firstFile == kNoFile || position < firstFile || position > lastFile) return false;
  const FileTimeTable* table = catalogue->TableAt(position);
  return table != nullptr && table->dataBytes != 0 && IsOnSelectedDay(table->startTime);
}

int32_t CFrameReader::NextReadablePosition(int32_t from) const {
  if (firstFile == kNoFile || from < firstFile - 1 || from > lastFile) return kNoFile;
  for (int32_t j = from + 1; j <= lastFile; ++j) {
    if (IsReadablePosition(j)) return j;
  }
  return kNoFile;
}

int32_t CFrameReader::PreviousReadablePosition(int32_t from) const {
  if (firstFile == kNoFile || from < firstFile || from > lastFile + 1) return kNoFile;
  for (int32_t j = from - 1; j >= firstFile; --j) {
    if (IsReadablePosition(j)) return j;
  }
  return kNoFile;
}

void CFrameReader::EndFileData() {
  ReaderFile* file = DataFileAt(currentFile);
  if (file != nullptr) SeekAbsolute(file, RecordedBytesAt(currentFile));
}

// ---------------------------------------------------------------------------------------
// Selecting a day and a position.

std::vector<uint64_t> CFrameReader::EntryStarts(int32_t position) const {
  std::vector<uint64_t> starts;
  const FileInfo* info = catalogue->InfoAt(position);
  if (info == nullptr) return starts;
  const IndexSummary& summary = info->summary;
  const uint64_t limit = RecordedBytesAt(position);
  const int32_t last = std::min<int32_t>(summary.lastEntry, kLastEntryMax);
  uint64_t sum = 0;
  for (int32_t k = 0; k <= last && sum < limit; ++k) {
    starts.push_back(sum);
    sum += summary.entries[k].bytes;
  }
  return starts;
}

uint64_t CFrameReader::EntryJumpOffset(int32_t position, CTime t) const {
  // Every record of an entry is stamped within the minute of the entry's time or earlier:
  // the writer starts an entry at each change of minute (older files: also when a late
  // record goes back a minute; newer files: late records join the current entry). So the
  // records before entry k all lie before the end of the latest minute among entries
  // 0..k-1, and entry k is a safe place to start when that end is not after t. Times are
  // instants, so the repeated hour of an autumn change does not mislead the jump.
  const FileInfo* info = catalogue->InfoAt(position);
  if (info == nullptr) return 0;
  const IndexSummary& summary = info->summary;
  const uint64_t limit = RecordedBytesAt(position);
  const int32_t last = std::min<int32_t>(summary.lastEntry, kLastEntryMax);
  const auto minuteEnd = [](int32_t time) {
    const int64_t seconds = time;
    return (seconds >= 0 ? seconds / 60 : (seconds - 59) / 60) * 60 + 60;
  };
  uint64_t sum = 0;
  uint64_t jump = 0;
  int64_t latestEnd = INT64_MIN;
  for (int32_t k = 0; k <= last && sum < limit; ++k) {
    if (latestEnd <= t.seconds()) jump = sum;
    latestEnd = std::max(latestEnd, minuteEnd(summary.entries[k].time));
    sum += summary.entries[k].bytes;
  }
  return jump;
}

int32_t CFrameReader::SeekToTime(CTime t, int32_t direction, uint32_t leadChannels) {
  dayStart = t.LocalMidnight();
  leadActive = false;
  lastFrameLead = false;
  if (!SelectDay(t)) return 0;
  CloseFiles();

  // Backward play lands just after the last record at or before t: on the first one after.
  const int64_t landing64 = direction < 0 ? int64_t{t.seconds()} + 1 : t.seconds();
  const CTime landing(static_cast<int32_t>(std::min<int64_t>(landing64, INT32_MAX)));
  const platform::LocalFields local = landing.Local();
  const int32_t minuteStart = landing.seconds() - local.second;
  currentFile = kNoFile;
  for (int32_t j = firstFile; j <= lastFile; ++j) {
    if (IsReadablePosition(j) && catalogue->TableAt(j)->endTime >= minuteStart) {
      currentFile = j;
      break;
    }
  }
  if (currentFile == kNoFile) currentFile = PreviousReadablePosition(lastFile + 1);
  if (currentFile == kNoFile) return 0;
  ReaderFile* file = DataFileAt(currentFile);
  if (file == nullptr) {
    const int32_t next = NextOpenPosition(currentFile);
    if (next == kNoFile) return 0;
    currentFile = next;
    file = DataFileAt(next);
  }
  uint64_t offset = EntryJumpOffset(currentFile, landing);
  const uint64_t limit = RecordedBytesAt(currentFile);
  if (offset != 0 && offset != limit && !StartsReadableRecord(file, offset, limit)) offset = 0;
  if (!SeekAbsolute(file, offset)) return 0;

  const int32_t walked = WalkToTime(landing);
  if (walked == kWalkFailed || (walked == kWalkEnd && direction >= 0)) return 0;
  needKeyFrame.fill(0);
  if (direction >= 0 && leadChannels != 0) PlanLead(t, leadChannels);
  return 1;
}

void CFrameReader::PlanLead(CTime t, uint32_t leadChannels) {
  ReaderFile* file = DataFileAt(currentFile);
  uint64_t landingOffset = 0;
  if (file == nullptr || !Tell(file, &landingOffset)) return;
  const ReadPosition landing{currentFile, landingOffset};
  const int32_t windowStart = t.seconds() - kLeadWindowSeconds;
  const int64_t windowEnd = int64_t{t.seconds()} + kLeadWindowSeconds;

  // Only a channel whose first video frame from the landing is not a key frame needs the
  // frames before it; one without video near the target needs nothing.
  uint32_t seen = 0;
  uint32_t need = 0;
  {
    RecordWindow window(file, RecordedBytesAt(currentFile), walkWindow.get(), kWalkWindowSize);
    FrameHeader header;
    uint64_t at = landingOffset, end = 0;
    uint32_t passed = 0;
    while ((seen & leadChannels) != leadChannels && window.Next(at, &header, &end)) {
      at = end;
      if (header.time > windowEnd || (++passed % 1024 == 0 && stopReading.load() != 0)) break;
      if (header.channel >= kChannelCount || !IsDeliveredVideoType(header.type)) {
        continue;
      }
      const uint32_t bit = 1u << header.channel;
      if ((seen & bit) == 0 && (header.keyFrame & 1) == 0) need |= bit & leadChannels;
      seen |= bit;
    }
  }

  // Back from the landing to each remaining channel's last key frame.
  if (!SeekAbsolute(file, landingOffset)) return;
  uint32_t found = 0;
  ReadPosition earliest = landing;
  FrameHeader header;
  uint32_t stepped = 0;
  while (need != 0 && stopReading.load() == 0 && StepBackOneRecord(&header)) {
    if (header.time < windowStart) break;
    if (++stepped % 4096 == 0 && stopReading.load() != 0) break;
    const uint32_t bit = header.channel < kChannelCount ? 1u << header.channel : 0;
    if ((need & bit) == 0 || (header.keyFrame & 1) == 0 || !IsDeliveredVideoType(header.type)) {
      continue;
    }
    ReaderFile* at = DataFileAt(currentFile);
    uint64_t offset = 0;
    if (at == nullptr || !Tell(at, &offset)) break;
    leadStart[header.channel] = {currentFile, offset};
    earliest = std::min(earliest, leadStart[header.channel]);
    found |= bit;
    need &= ~bit;
  }

  currentFile = earliest.file;
  file = DataFileAt(currentFile);
  if (file == nullptr || !SeekAbsolute(file, earliest.offset)) {
    // Start at the landing after all, without lead.
    currentFile = landing.file;
    file = DataFileAt(currentFile);
    if (file != nullptr) SeekAbsolute(file, landing.offset);
    return;
  }
  leadFound = found;
  leadEnd = landing;
  leadActive = found != 0;
}

int32_t CFrameReader::WalkToTime(CTime t) {
  if (!walkWindow) walkWindow = std::make_unique<uint8_t[]>(kWalkWindowSize);
  uint32_t passed = 0;
  for (;;) {
    ReaderFile* file = IsReadablePosition(currentFile) ? DataFileAt(currentFile) : nullptr;
    uint64_t at = 0;
    if (file != nullptr && Tell(file, &at)) {
      const uint64_t limit = RecordedBytesAt(currentFile);
      // A long walk is first narrowed by halving: the records lie in time order but for the
      // writers' lag of a few seconds, so one stamped more than kWalkMarginSeconds before t
      // has no record at or after t before it.
      for (uint64_t hi = limit; hi - at > kHalvingSpan && stopReading.load() == 0;) {
        const uint64_t mid = at + (hi - at) / 2;
        uint64_t found = 0;
        int32_t stamped = 0;
        if (FindRecordStartFrom(file, mid, hi, walkWindow.get(), kWalkWindowSize, &found,
                                &stamped) &&
            int64_t{stamped} < int64_t{t.seconds()} - kWalkMarginSeconds) {
          at = found;
        } else {
          hi = mid;
        }
      }
      RecordWindow window(file, limit, walkWindow.get(), kWalkWindowSize);
      FrameHeader header;
      uint64_t end = 0;
      for (;;) {
        while (window.Next(at, &header, &end)) {
          if (!(t > CTime(header.time))) return SeekAbsolute(file, at) ? kWalkFound : kWalkFailed;
          at = end;
          if (++passed % 1024 == 0 && stopReading.load() != 0) return kWalkFailed;
        }
        if (at >= limit) break;
        // A damaged record: go on at the next minute entry's first record.
        uint64_t resume = limit;
        for (uint64_t start : EntryStarts(currentFile)) {
          if (start > at && StartsReadableRecord(file, start, limit)) {
            resume = start;
            break;
          }
        }
        if (resume >= limit) break;
        at = resume;
      }
    }
    if (stopReading.load() != 0) return kWalkFailed;
    const int32_t next = NextOpenPosition(currentFile);
    if (next == kNoFile) {
      // The day's data ends before t: stay at the end of its last file.
      if (file != nullptr) EndFileData();
      return file != nullptr ? kWalkEnd : kWalkFailed;
    }
    currentFile = next;
    file = DataFileAt(next);
    if (file == nullptr || !SeekAbsolute(file, 0)) return kWalkFailed;
  }
}

int32_t CFrameReader::OpenDay(CTime t) {
  dayStart = t.LocalMidnight();
  leadActive = false;
  lastFrameLead = false;
  RewindOpenDayFiles();
  const bool found = SelectDay(t);
  if (found) {
    const int32_t first = NextReadablePosition(firstFile - 1);
    currentFile = first != kNoFile ? first : firstFile;
  }
  CloseFiles();
  needKeyFrame.fill(1);
  return found ? 1 : 0;
}

int32_t CFrameReader::ResetReadPosition(int32_t direction) {
  leadActive = false;
  lastFrameLead = false;
  RewindOpenDayFiles();
  if (direction > 0) {
    const int32_t first = NextReadablePosition(firstFile - 1);
    currentFile = first != kNoFile ? first : firstFile;
    if (ReaderFile* file = DataFileAt(currentFile)) SeekAbsolute(file, 0);
    needKeyFrame.fill(1);
  } else if (direction < 0) {
    const int32_t last = PreviousReadablePosition(lastFile + 1);
    currentFile = last != kNoFile ? last : lastFile;
    if (ReaderFile* file = DataFileAt(currentFile)) {
      SeekAbsolute(file, RecordedBytesAt(currentFile));
    }
    needKeyFrame.fill(0);
  }
  return 1;
}

void CFrameReader::SetPlayRate(float rate) {
  // The lead belongs to forward play from the seek target.
  if (!(rate > 0.0f)) leadActive = false;
  playRate = rate;
}

// ---------------------------------------------------------------------------------------
// Stepping.

int32_t CFrameReader::NextOpenPosition(int32_t from) {
  for (int32_t j = NextReadablePosition(from); j != kNoFile; j = NextReadablePosition(j)) {
    if (DataFileAt(j) != nullptr) return j;
  }
  return kNoFile;
}

int32_t CFrameReader::PreviousOpenPosition(int32_t from) {
  for (int32_t j = PreviousReadablePosition(from); j != kNoFile; j = PreviousReadablePosition(j)) {
    if (DataFileAt(j) != nullptr) return j;
  }
  return kNoFile;
}

void CFrameReader::ResyncForward(uint64_t damagedAt) {
  ReaderFile* file = DataFileAt(currentFile);
  if (file == nullptr) return;
  const uint64_t limit = RecordedBytesAt(currentFile);
  for (uint64_t start : EntryStarts(currentFile)) {
    if (start > damagedAt && StartsReadableRecord(file, start, limit)) {
      SeekAbsolute(file, start);
      return;
    }
  }
  SeekAbsolute(file, limit);
}

int32_t CFrameReader::StepForward() {
  FrameHeader header;
  for (;;) {
    ReaderFile* file = IsReadablePosition(currentFile) ? DataFileAt(currentFile) : nullptr;
    uint64_t start = 0;
    if (file != nullptr && Tell(file, &start)) {
      const uint64_t limit = RecordedBytesAt(currentFile);
      if (ReadHeadForward(file, start, limit, &header)) break;
      if (start < limit) {
        // A damaged record: on at the next record the index knows of in this file.
        ResyncForward(start);
        uint64_t now = 0;
        if (Tell(file, &now) && now > start && now < limit) continue;
      }
    }
    // The rest of this file is not readable: the next file of the day starts at its start.
    const int32_t next = NextOpenPosition(currentFile);
    if (next == kNoFile || stopReading.load() != 0) return kStepEnd;
    currentFile = next;
    ReaderFile* nextFile = DataFileAt(next);
    if (nextFile == nullptr || !SeekAbsolute(nextFile, 0)) return kStepEnd;
  }
  ReaderFile* file = DataFileAt(currentFile);
  if (!IsDeliveredRecord(header)) {
    // Pass over it; a trailer that does not close it is damage.
    uint64_t start = 0;
    Tell(file, &start);
    if (start >= kRecordHeadSize) start -= kRecordHeadSize;
    if (!SeekRelative(file, header.bodySize) || !ReadTrailerMatches(file, header.bodySize)) {
      ResyncForward(start);
    }
    return kStepAgain;
  }
  if (!SeekRelative(file, -static_cast<int64_t>(kRecordHeadSize))) return kStepEnd;
  if (IsDeliveredVideoType(header.type)) needKeyFrame[header.channel] = 1;
  return header.channel;
}

uint64_t CFrameReader::LastGoodEndBefore(uint64_t end) {
  ReaderFile* file = DataFileAt(currentFile);
  if (file == nullptr) return 0;
  if (!walkWindow) walkWindow = std::make_unique<uint8_t[]>(kWalkWindowSize);
  const std::vector<uint64_t> starts = EntryStarts(currentFile);
  for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
    if (*it >= end || !StartsReadableRecord(file, *it, end)) continue;
    RecordWindow window(file, end, walkWindow.get(), kWalkWindowSize);
    FrameHeader header;
    uint64_t at = *it, next = 0;
    while (at < end && window.Next(at, &header, &next)) at = next;
    return at < end ? at : 0;
  }
  return 0;
}

bool CFrameReader::StepBackOneRecord(FrameHeader* header) {
  ReaderFile* file = nullptr;
  uint64_t end = 0;
  if (IsReadablePosition(currentFile)) {
    file = DataFileAt(currentFile);
    if (file != nullptr && !Tell(file, &end)) return false;
  }
  for (;;) {
    if (file == nullptr || end == 0) {
      const int32_t previous = PreviousOpenPosition(currentFile);
      if (previous == kNoFile || stopReading.load() != 0) return false;
      currentFile = previous;
      file = DataFileAt(previous);
      end = RecordedBytesAt(previous);
      if (file == nullptr) return false;
    }
    if (end > RecordedBytesAt(currentFile)) return false;
    if (ReadRecordBefore(file, end, header)) return true;
    // The record before `end` is damaged: go back to the last whole record before it.
    const uint64_t good = LastGoodEndBefore(end);
    if (good >= end) return false;
    end = good;
    if (end == 0) SeekAbsolute(file, 0);
  }
}

int32_t CFrameReader::StepBackward() {
  FrameHeader header;
  if (!StepBackOneRecord(&header)) return kStepEnd;
  if (!IsDeliveredRecord(header)) return kStepAgain;  // at its start: the next step passes it
  const uint32_t channel = header.channel;
  if (IsDeliveredVideoType(header.type)) {
    const bool key = (header.keyFrame & 1) != 0;
    // A key frame needs nothing before it; any other frame gets its group's key frame first.
    if (needKeyFrame[channel] == 0 && !key) {
      DeliverPrecedingKeyFrame(channel);
      needKeyFrame[channel] = 1;
    }
    // Once the group's key frame itself has gone out, the next older group needs its own.
    if (key) needKeyFrame[channel] = 0;
  }
  return static_cast<int32_t>(channel);
}

void CFrameReader::DeliverPrecedingKeyFrame(uint32_t channel) {
  const int32_t savedFile = currentFile;
  ReaderFile* file = DataFileAt(savedFile);
  uint64_t savedPosition = 0;
  if (file == nullptr || !Tell(file, &savedPosition)) return;

  FrameHeader header;
  bool found = ReadHeadForward(file, savedPosition, RecordedBytesAt(savedFile), &header) &&
               SeekAbsolute(file, savedPosition);
  while (found && stopReading.load() == 0) {
    // Only a video frame of the channel can start what the decoder is given, never a
    // record of another kind that happens to carry the key bit.
    if ((header.keyFrame & 1) != 0 && header.channel == channel &&
        IsDeliveredVideoType(header.type)) {
      if (keyFrameBuffer.empty()) keyFrameBuffer.resize(kKeyFrameBufferSize);
      bool corrupt = false;
      const int32_t length =
          ReadRecordChecked(keyFrameBuffer.data(), static_cast<uint32_t>(keyFrameBuffer.size()),
                            &corrupt, &keyFrameBuffer, kMaxFrameLength);
      if (!corrupt && length > 0 && sink != nullptr) {
        sink->OnPrecedingKeyFrame(keyFrameBuffer.data(), length);
      }
      // A buffer grown for a large key frame is given back.
      if (keyFrameBuffer.size() > kKeyFrameBufferSize) std::vector<uint8_t>().swap(keyFrameBuffer);
      break;
    }
    found = StepBackOneRecord(&header);
  }

  currentFile = savedFile;
  file = DataFileAt(savedFile);
  if (file != nullptr) SeekAbsolute(file, savedPosition);
}

// ---------------------------------------------------------------------------------------
// Reading records.

int32_t CFrameReader::ReadRecordChecked(uint8_t* buffer, uint32_t capacity, bool* corrupt,
                                        std::vector<uint8_t>* growable, uint32_t growLimit) {
  *corrupt = true;
  ReaderFile* file = DataFileAt(currentFile);
  uint64_t start = 0;
  if (file == nullptr || buffer == nullptr || !Tell(file, &start)) return 0;
  FrameHeader header;
  if (!ReadHeadForward(file, start, RecordedBytesAt(currentFile), &header)) return 0;
  const uint64_t bodySize = header.bodySize;
  uint64_t room = std::min<uint64_t>(capacity, INT32_MAX);
  const uint64_t frameLength = kFrameHeaderSize + bodySize;
  if (frameLength > room && growable != nullptr && frameLength <= growLimit) {
    // Room for the frame and its trailer, so both come in one read.
    try {
      growable->resize(static_cast<size_t>(frameLength + kRecordTrailerSize));
      buffer = growable->data();
      room = growable->size();
    } catch (const std::bad_alloc&) {
    }
  }
  if (frameLength > room) {
    // Too big for the caller: pass over it whole.
    *corrupt = false;
    if (room >= kFrameHeaderSize) std::memcpy(buffer, &header, sizeof(header));
    if (!SeekRelative(file, static_cast<int64_t>(bodySize + kRecordTrailerSize))) {
      *corrupt = true;
    }
    return 0;
  }
  std::memcpy(buffer, &header, sizeof(header));
  uint8_t* body = buffer + kFrameHeaderSize;
  uint8_t trailer[kRecordTrailerSize];
  if (frameLength + kRecordTrailerSize <= room) {
    // Body and trailer in one read; the trailer bytes land after the frame.
    if (!ReadExact(file, body, static_cast<uint32_t>(bodySize + kRecordTrailerSize))) {
      return 0;
    }
    std::memcpy(trailer, body + bodySize, sizeof(trailer));
  } else if (!ReadExact(file, body, static_cast<uint32_t>(bodySize)) ||
             !ReadExact(file, trailer, sizeof(trailer))) {
    return 0;
  }
  uint32_t trailerBodySize = 0;
  if (!ParseRecordTrailer(trailer, &trailerBodySize) || trailerBodySize != bodySize) {
    return 0;
  }
  *corrupt = false;
  return static_cast<int32_t>(frameLength);
}

int32_t CFrameReader::ReadNextFrame(uint8_t* buffer, uint32_t capacity) {
  return ReadNextFrameInto(buffer, capacity, nullptr, 0);
}

int32_t CFrameReader::ReadNextFrame(std::vector<uint8_t>* buffer, uint32_t maxCapacity) {
  if (buffer == nullptr || buffer->empty()) return 0;
  return ReadNextFrameInto(buffer->data(), static_cast<uint32_t>(buffer->size()), buffer,
                           maxCapacity);
}

int32_t CFrameReader::ReadNextFrameInto(uint8_t* buffer, uint32_t capacity,
                                        std::vector<uint8_t>* growable, uint32_t growLimit) {
  const bool forward = playRate > 0.0f;
  const bool backward = playRate < 0.0f;
  lastFrameLead = false;
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

    ReaderFile* file = DataFileAt(currentFile);
    uint64_t start = 0;
    if (file == nullptr || !Tell(file, &start)) return -1;
    bool lead = false;
    if (forward && leadActive) {
      const ReadPosition at{currentFile, start};
      if (at < leadEnd) {
        const uint32_t channel = static_cast<uint32_t>(step);
        FrameHeader header;
        if (!ReadHeadForward(file, start, RecordedBytesAt(currentFile), &header)) {
          ResyncForward(start);
          continue;
        }
        lead = IsDeliveredVideoType(header.type) && (leadFound & (1u << channel)) != 0 &&
               !(at < leadStart[channel]);
        if (!lead) {
          // Before the target and not needed by a decoder: passed over.
          if (!SeekAbsolute(file, start + kRecordOverhead + header.bodySize)) {
            ResyncForward(start);
          }
          continue;
        }
        SeekAbsolute(file, start);
      } else {
        leadActive = false;
      }
    }
    bool corrupt = false;
    const int32_t length =
        ReadRecordChecked(growable != nullptr ? growable->data() : buffer,
                          growable != nullptr ? static_cast<uint32_t>(growable->size()) : capacity,
                          &corrupt, growable, growLimit);
    if (corrupt) {
      if (backward) {
        // Back at the record's start: the next backward step goes on before it.
        if (!SeekAbsolute(file, start)) return -1;
        continue;
      }
      ResyncForward(start);  // the next step goes on after the damage
      continue;
    }
    if (backward) {
      // Back to the record's start, so the next backward step finds the record before it.
      SeekAbsolute(file, start);
    }
    lastFrameLead = lead;
    return length;
  }
}

}  // namespace storage
