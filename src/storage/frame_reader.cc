// The frame reader. A record is trusted only as far as ParseRecord has checked it: its head
// must carry the start marker, it must lie wholly inside the file's recorded bytes
// (forwards) or before the current position (backwards), and its trailer must repeat the
// head's bodySize. Anything else is reported as damage, and the reader goes on at the next
// record the index knows of. All size arithmetic is 64-bit, and every step either moves the
// position or ends the data, so a corrupt file can neither send a read out of bounds nor
// spin the thread.
//
// The catalogue lists its data files in start-time order, and the reader moves from one to
// the next as it moves within one: a change of day is no different from a change of file.
// Data files are opened on first use and at most kMaxOpenDataFiles of them stay open (the
// least recently used one is closed), so thousands of files do not run the process out of
// descriptors. Records are read with positioned reads through one window of
// kWindowSize bytes, so a run of small records costs one read call.
#include "storage/frame_reader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

#include "platform/clock.h"
#include "platform/read_mapping.h"

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

bool SeekAbsolute(ReaderFile* file, uint64_t position) {
  if (position > kMaxReadableOffset) return false;
  file->position = position;
  return true;
}

uint64_t RecordEnd(uint64_t start, const FrameHeader& header) {
  return start + kRecordOverhead + header.bodySize;
}

}  // namespace

// Bytes of one data file, read ahead with one positioned read and checked with ParseRecord.
class RecordWindow {
 public:
  explicit RecordWindow(uint32_t capacity)
      : capacity_(capacity), bytes_(std::make_unique<uint8_t[]>(capacity)) {}

  // Checks the record at `start` of a file whose recorded bytes end at `limit`: ParseRecord
  // over the whole record when it fits half the window, else over its head and its trailer
  // (its body is not read). A head or trailer that cannot be read is kShortHead. `lone`: a
  // record read by itself among others that are not (a seek's lead frames, one channel's of
  // many), whose head and trailer are read alone rather than a window of what follows.
  RecordStatus Check(const ReaderFile& file, uint64_t start, uint64_t limit, FrameHeader* header,
                     bool lone = false) {
    if (start >= limit || limit - start < kRecordHeadSize ||
        !Fetch(file, start, kRecordHeadSize, lone ? kRecordHeadSize : capacity_)) {
      return RecordStatus::kShortHead;
    }
    const RecordStatus head = ParseRecordStart(At(start), limit - start, header);
    if (head != RecordStatus::kOk) return head;
    const uint64_t size = kRecordOverhead + uint64_t{header->bodySize};
    if (size <= capacity_ / 2 && !lone) {
      if (!Fetch(file, start, static_cast<uint32_t>(size), capacity_)) {
        return RecordStatus::kShortHead;
      }
      return ParseRecord(At(start), size, nullptr);
    }
    // A large record: its trailer and the next head come in one short read.
    const uint64_t trailerAt = start + size - kRecordTrailerSize;
    if (!Fetch(file, trailerAt, kRecordTrailerSize, kRecordOverhead)) {
      return RecordStatus::kShortHead;
    }
    return ParseRecordEnd(At(trailerAt), header->bodySize);
  }

  // The bodySize a trailer that ends at `end` claims; false when it cannot be read.
  bool TrailerBefore(const ReaderFile& file, uint64_t end, uint32_t* bodySize) {
    if (end < kRecordTrailerSize) return false;
    // Backwards: the window ends at `end`, so the records before it come with it.
    const uint64_t begin = end - std::min<uint64_t>(end, capacity_);
    if (!Has(file, end - kRecordTrailerSize, kRecordTrailerSize) &&
        !Load(file, begin, static_cast<uint32_t>(end - begin), kRecordTrailerSize)) {
      return false;
    }
    *bodySize = LoadAs<FrameRecordTrailer>(At(end - kRecordTrailerSize)).bodySize;
    return true;
  }

  // The n bytes at `offset` when the window holds them, else null.
  const uint8_t* Bytes(const ReaderFile& file, uint64_t offset, uint64_t n) const {
    return Has(file, offset, n) ? At(offset) : nullptr;
  }

  // 1 when a start marker is at `offset`, 0 when not, -1 when it cannot be read.
  int32_t MarkerAt(const ReaderFile& file, uint64_t offset) {
    if (!Fetch(file, offset, kStartMarkerSize, capacity_)) return -1;
    return LoadU32(At(offset)) == kRecordStartMarker ? 1 : 0;
  }

 private:
  bool Has(const ReaderFile& file, uint64_t offset, uint64_t n) const {
    return serial_ == file.serial && serial_ != 0 && offset >= begin_ &&
           offset + n <= begin_ + length_;
  }
  const uint8_t* At(uint64_t offset) const { return bytes_.get() + (offset - begin_); }
  bool Fetch(const ReaderFile& file, uint64_t offset, uint32_t need, uint32_t want) {
    return Has(file, offset, need) || Load(file, offset, want, need);
  }
  // Reads up to `want` bytes from `offset`; at least `need` of them must be there (a file
  // shorter than its recorded bytes still yields what it has).
  bool Load(const ReaderFile& file, uint64_t offset, uint32_t want, uint32_t need) {
    serial_ = 0;
    if (offset > kMaxReadableOffset) return false;
    uint64_t got = 0;
    (void)file.file->ReadAt(offset, bytes_.get(), std::min(want, capacity_), &got);
    if (got < need) return false;
    serial_ = file.serial;
    begin_ = offset;
    length_ = static_cast<uint32_t>(got);
    return true;
  }

  const uint32_t capacity_;
  std::unique_ptr<uint8_t[]> bytes_;
  uint64_t serial_ = 0;  // of the file the bytes come from; 0 = none
  uint64_t begin_ = 0;
  uint32_t length_ = 0;
};

// The heads and trailers of a data file's records, read through a read-only mapping of a
// bounded span of it, so a scan over many records touches a few bytes of each instead of
// copying them all. Where a file cannot be mapped (or a record is longer than the span) the
// window's positioned reads check the record instead, with the same verdicts. The data
// files keep their full length for their life (the recorder reserves them and never
// shortens them), and the span is cut to the file's size when it is mapped.
class HeadView {
 public:
  // kSpan bytes are mapped at once: a few of them fit the address space of a 32-bit board.
  static constexpr uint64_t kSpan = 16u << 20;

  explicit HeadView(RecordWindow* fallback) : fallback_(fallback) {}

  // RecordWindow::Check without the body: the record at `start` of a file whose recorded
  // bytes end at `limit`, mapped no further than `mapLimit`.
  RecordStatus Check(const ReaderFile& file, uint64_t start, uint64_t limit, uint64_t mapLimit,
                     FrameHeader* header) {
    if (start >= limit || limit - start < kRecordHeadSize) return RecordStatus::kShortHead;
    const uint8_t* head = Bytes(file, start, kRecordHeadSize, start, mapLimit);
    if (head == nullptr) return fallback_->Check(file, start, limit, header);
    const RecordStatus status = ParseRecordStart(head, limit - start, header);
    if (status != RecordStatus::kOk) return status;
    const uint64_t trailerAt = RecordEnd(start, *header) - kRecordTrailerSize;
    const uint8_t* trailer = Bytes(file, trailerAt, kRecordTrailerSize, start, mapLimit);
    if (trailer == nullptr) return fallback_->Check(file, start, limit, header);
    return ParseRecordEnd(trailer, header->bodySize);
  }
  // Gives the mapping back (the view maps again on its next use, and tries again a file
  // that could not be mapped).
  void Release() {
    mapping_.reset();
    serial_ = 0;
    failedSerial_ = 0;
  }

 private:
  // The n bytes at `at`, mapping a new span from `from` when the one held lacks them; null
  // when they cannot be mapped.
  const uint8_t* Bytes(const ReaderFile& file, uint64_t at, uint64_t n, uint64_t from,
                       uint64_t mapLimit) {
    if (serial_ == file.serial && mapping_) {
      if (const uint8_t* bytes = mapping_->Bytes(at, n)) return bytes;
    }
    if (failedSerial_ == file.serial || at + n > mapLimit || from >= mapLimit) return nullptr;
    mapping_.reset();
    serial_ = 0;
    mapping_ = platform::ReadMapping::Map(*file.file, from, std::min(kSpan, mapLimit - from));
    if (!mapping_) {
      failedSerial_ = file.serial;  // read this file through the window until Release
      return nullptr;
    }
    serial_ = file.serial;
    return mapping_->Bytes(at, n);
  }

  RecordWindow* const fallback_;
  std::unique_ptr<platform::ReadMapping> mapping_;
  uint64_t serial_ = 0;  // of the file mapped; 0 = none
  uint64_t failedSerial_ = 0;
};

// ---------------------------------------------------------------------------------------
// Open data files.

CFrameReader::CFrameReader(const CatalogView* catalogue, FrameSink* sink, Reporter* reporter)
    : catalogue(catalogue),
      sink(sink),
      reporter(reporter),
      window(std::make_unique<RecordWindow>(kWindowSize)),
      heads(std::make_unique<HeadView>(window.get())) {}

CFrameReader::~CFrameReader() = default;

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
  if (firstFile == kNoFile || position < firstFile || position > lastFile) return nullptr;
  const FileInfo* info = catalogue->InfoAt(position);
  if (info == nullptr) return nullptr;
  auto file = std::make_unique<ReaderFile>();
  file->path = FileInfoPath(*info);
  file->serial = ++openSerial;
  platform::Status opened;
  file->file = platform::File::OpenReadOnly(file->path, &opened);
  if (!file->file) {
    if (reporter != nullptr) reporter->OpenFailed(opened);
    return nullptr;
  }

  // Forget positions the catalogue no longer has, then make room by closing the least
  // recently used files.
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
  // Every file the reader holds is listed in openOrder; files are then opened as the
  // reader reaches them.
  for (int32_t p : openOrder) {
    if (p >= 0 && static_cast<size_t>(p) < openFiles.size()) openFiles[p].reset();
  }
  openOrder.clear();
}

void CFrameReader::Close() {
  CloseFiles();
  std::vector<std::unique_ptr<ReaderFile>>().swap(openFiles);
  firstFile = lastFile = currentFile = kNoFile;
  lastFrameLead = false;
  heads->Release();
  DropReadAhead();
}

void CFrameReader::RewindOpenFiles() {
  if (firstFile == kNoFile) return;
  for (int32_t p : openOrder) {
    if (p < firstFile || p > lastFile) continue;
    std::unique_ptr<ReaderFile>* slot = OpenFileSlot(p);
    if (slot != nullptr && *slot) SeekAbsolute(slot->get(), 0);
  }
}

// ---------------------------------------------------------------------------------------
// Positions.

bool CFrameReader::SelectAll() {
  const int32_t count = std::min(catalogue->count, kOpenFileSlots);
  if (count <= 0 || catalogue->TableAt(0) == nullptr) {
    firstFile = lastFile = currentFile = kNoFile;
    return false;
  }
  firstFile = 0;
  lastFile = count - 1;
  if (currentFile != kNoFile && (currentFile < firstFile || currentFile > lastFile)) {
    currentFile = kNoFile;
  }
  return true;
}

uint64_t CFrameReader::RecordedBytesAt(int32_t position) const {
  const FileTimeTable* table = catalogue->TableAt(position);
  if (table == nullptr) return 0;
  return std::min<uint64_t>(table->dataBytes, kMaxReadableOffset);
}

bool CFrameReader::IsReadablePosition(int32_t position) const {
  if (firstFile == kNoFile || position < firstFile || position > lastFile) return false;
  const FileTimeTable* table = catalogue->TableAt(position);
  // A file without recorded bytes has no recording; any other is read whatever its times (a
  // board whose clock died stamps 2000-01-01 or 1970, and that footage is listed too).
  return table != nullptr && table->dataBytes != 0;
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
// Selecting a position.

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
  const auto minuteEnd = [](uint32_t time) { return int64_t{time} / 60 * 60 + 60; };
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
  lastFrameLead = false;
  DropReadAhead();
  if (!SelectAll()) return 0;
  // Backward play lands just after the last record at or before t: on the first one after.
  const int64_t landing64 = direction < 0 ? int64_t{t.seconds()} + 1 : t.seconds();
  const CTime landing(static_cast<uint32_t>(std::min<int64_t>(landing64, UINT32_MAX)));
  if (!JumpToMinute(landing)) return 0;
  const int32_t walked = WalkToTime(landing);
  if (walked == kWalkFailed || (walked == kWalkEnd && direction >= 0)) return 0;
  needKeyFrame.fill(0);
  if (direction < 0) return 1;
  const ReaderFile* file = DataFileAt(currentFile);
  if (file == nullptr) return 0;
  // Forwards, reading starts at the landing: nothing before it is handed out but the lead,
  // which the look back collects.
  const ReadPosition found{currentFile, file->position};
  StartForward(found, t, leadChannels);
  return 1;
}

int32_t CFrameReader::SeekToRecord(int32_t position, uint64_t offset, int32_t direction,
                                   uint32_t leadChannels) {
  lastFrameLead = false;
  if (!SelectAll() || !IsReadablePosition(position)) return 0;
  ReaderFile* file = DataFileAt(position);
  FrameHeader header;
  if (file == nullptr ||
      window->Check(*file, offset, RecordedBytesAt(position), &header) != RecordStatus::kOk) {
    return 0;
  }
  currentFile = position;
  needKeyFrame.fill(0);
  DropReadAhead();
  if (direction < 0) return SeekAbsolute(file, offset) ? 1 : 0;
  const ReadPosition landing{position, RecordEnd(offset, header)};
  if (!SeekAbsolute(file, landing.offset)) return 0;
  const CTime t(header.time);
  StartForward(landing, t, leadChannels);
  return 1;
}

void CFrameReader::DropReadAhead() {
  ahead = {};
  handOut.clear();
  aheadOrder = 0;
  aheadLatest = INT64_MIN;
  aheadEnded = false;
  frontierSet = false;
  targetSet = false;
  for (auto& held : heldLead) held.clear();
}

void CFrameReader::StartForward(ReadPosition landing, CTime target, uint32_t leadChannels) {
  frontier = landing;
  frontierSet = true;
  targetSet = true;
  targetTime = target.seconds();
  targetLeads = leadChannels;
  targetReached = 0;
  if (leadChannels != 0) PlanLead(target, landing, leadChannels);
}

bool CFrameReader::ReadAhead() {
  currentFile = frontier.file;
  if (ReaderFile* file = IsReadablePosition(currentFile) ? DataFileAt(currentFile) : nullptr) {
    SeekAbsolute(file, frontier.offset);
  }
  FrameHeader header;
  int32_t step;
  do {
    if (stopReading.load() != 0) return false;
    step = StepForward(&header);
  } while (step == kStepAgain);
  if (step == kStepEnd) return false;
  const ReaderFile* file = DataFileAt(currentFile);
  if (file == nullptr) return false;
  Ahead a;
  a.time = header.time;
  a.order = aheadOrder++;
  a.at = {currentFile, file->position};
  a.channel = header.channel;
  a.video = IsDeliveredVideoType(header.type);
  a.key = (header.keyFrame & 1) != 0;
  ahead.push(a);
  aheadLatest = std::max<int64_t>(aheadLatest, header.time);
  frontier = {currentFile, RecordEnd(file->position, header)};
  return true;
}

bool CFrameReader::NextInTimeOrder(ReadPosition* at, bool* lead) {
  for (;;) {
    if (!handOut.empty()) {
      *at = handOut.front().first;
      *lead = handOut.front().second;
      handOut.pop_front();
      return true;
    }
    // Nothing read later can come before a record once what was read is kLateSeconds past it.
    while (!aheadEnded &&
           (ahead.empty() || aheadLatest - kLateSeconds < int64_t{ahead.top().time})) {
      if (stopReading.load() != 0) return false;
      if (!ReadAhead()) aheadEnded = true;
    }
    if (ahead.empty()) return false;
    const Ahead a = ahead.top();
    ahead.pop();
    *lead = false;
    *at = a.at;
    if (!targetSet) return true;
    const uint32_t bit = 1u << a.channel;
    if (a.time < targetTime) {
      // Before the target: passed, but for a frame of a lead channel written late, after
      // the landing, where reading starts (the look back holds those before it).
      if (a.video && (targetLeads & bit) != 0 && (targetReached & bit) == 0) {
        std::vector<Held>& held = heldLead[a.channel];
        if (a.key) held.clear();
        if (a.key || !held.empty()) held.push_back({a.time, a.at});
      }
      continue;
    }
    if (a.video && (targetReached & bit) == 0) {
      targetReached |= bit;
      std::vector<Held>& held = heldLead[a.channel];
      if (!a.key && !held.empty()) {
        // In time order, as forward play reads them (a frame written late among them).
        std::stable_sort(held.begin(), held.end(),
                         [](const Held& x, const Held& y) { return x.time < y.time; });
        for (const Held& h : held) handOut.push_back({h.at, true});
        handOut.push_back({a.at, false});
        held.clear();
        continue;
      }
      held.clear();
    }
    return true;
  }
}

bool CFrameReader::JumpToMinute(CTime landing) {
  const int64_t minuteStart = int64_t{landing.seconds()} - landing.Local().second;
  currentFile = kNoFile;
  for (int32_t j = firstFile; j <= lastFile; ++j) {
    if (IsReadablePosition(j) && catalogue->TableAt(j)->endTime >= minuteStart) {
      currentFile = j;
      break;
    }
  }
  if (currentFile == kNoFile) currentFile = PreviousReadablePosition(lastFile + 1);
  if (currentFile == kNoFile) return false;
  ReaderFile* file = DataFileAt(currentFile);
  if (file == nullptr) {
    const int32_t next = NextOpenPosition(currentFile);
    if (next == kNoFile) return false;
    currentFile = next;
    file = DataFileAt(next);
  }
  uint64_t offset = EntryJumpOffset(currentFile, landing);
  const uint64_t limit = RecordedBytesAt(currentFile);
  if (offset != 0 && offset != limit && !StartsReadableRecord(*file, offset, limit)) offset = 0;
  return SeekAbsolute(file, offset);
}

template <typename Visit>
bool CFrameReader::ScanHeads(int32_t position, uint64_t from, uint64_t end, Visit visit) {
  const ReaderFile* file = DataFileAt(position);
  if (file == nullptr) return false;
  const uint64_t recorded = RecordedBytesAt(position);
  end = std::min(end, recorded);
  FrameHeader header;
  uint32_t passed = 0;
  for (uint64_t at = from; at < end;) {
    if (++passed % 1024 == 0 && stopReading.load() != 0) return false;
    const RecordStatus status = heads->Check(*file, at, end, recorded, &header);
    if (status != RecordStatus::kOk) {
      Report(*file, at, status);
      at = NextEntryStart(position, *file, at, recorded);
      continue;
    }
    if (!visit(header, at)) return false;
    at = RecordEnd(at, header);
  }
  return true;
}

uint32_t CFrameReader::ChannelsNeedingLead(ReadPosition landing, int64_t until,
                                           uint32_t leadChannels) {
  uint32_t seen = 0;
  uint32_t need = 0;
  const auto visit = [&](const FrameHeader& header, uint64_t) {
    if (header.time > until) return false;
    if (header.channel >= kChannelCount || !IsDeliveredVideoType(header.type)) return true;
    const uint32_t bit = 1u << header.channel;
    if ((seen & bit) == 0 && (header.keyFrame & 1) == 0) need |= bit & leadChannels;
    seen |= bit;
    return (seen & leadChannels) != leadChannels;
  };
  for (ReadPosition at = landing; at.file != kNoFile; at = {NextOpenPosition(at.file), 0}) {
    if (!ScanHeads(at.file, at.offset, UINT64_MAX, visit)) break;
  }
  return need;
}

void CFrameReader::PlanLead(CTime t, ReadPosition landing, uint32_t leadChannels) {
  const int32_t savedFile = currentFile;
  // Only a channel whose first video frame from the landing is not a key frame needs the
  // frames before it; one without video near the target needs nothing.
  const uint32_t need =
      ChannelsNeedingLead(landing, int64_t{t.seconds()} + kLeadWindowSeconds, leadChannels);
  if (need != 0) LookBack(landing, need);
  heads->Release();
  currentFile = savedFile;
}

void CFrameReader::LookBack(ReadPosition landing, uint32_t need) {
  // Per channel the frames found, an entry's worth at a time, newest entry first.
  std::array<std::vector<std::vector<Held>>, kChannelCount> found;
  std::array<size_t, kChannelCount> counts{};
  std::array<std::vector<Held>, kChannelCount> entry;
  uint32_t complete = 0;
  int32_t position = landing.file;
  uint64_t end = landing.offset;
  while (need != 0 && stopReading.load() == 0) {
    if (DataFileAt(position) == nullptr) break;
    std::vector<uint64_t> starts = EntryStarts(position);
    if (starts.empty()) starts.push_back(0);
    // The entries that start before `end`, newest first; each is read forwards to where
    // the one after it starts (the last to `end`).
    size_t k = starts.size();
    while (k > 0 && starts[k - 1] >= end) --k;
    uint64_t spanEnd = end;
    while (k > 0 && need != 0) {
      --k;
      uint32_t keyed = 0;
      const bool scanned =
          ScanHeads(position, starts[k], spanEnd, [&](const FrameHeader& h, uint64_t at) {
            if (h.channel >= kChannelCount || (need & (1u << h.channel)) == 0 ||
                !IsDeliveredVideoType(h.type)) {
              return true;
            }
            std::vector<Held>& frames = entry[h.channel];
            if ((h.keyFrame & 1) != 0) {
              frames.clear();
              keyed |= 1u << h.channel;
            }
            frames.push_back({h.time, {position, at}});
            return true;
          });
      if (!scanned && stopReading.load() != 0) return;
      for (uint32_t c = 0; c < kChannelCount; ++c) {
        const uint32_t bit = 1u << c;
        if ((need & bit) == 0 || entry[c].empty()) continue;
        counts[c] += entry[c].size();
        found[c].push_back(std::move(entry[c]));
        entry[c] = {};
        if ((keyed & bit) != 0) {
          complete |= bit;
          need &= ~bit;
        } else if (counts[c] > kMaxLeadFrames) {
          found[c].clear();  // too far back: the channel starts at its next key frame
          need &= ~bit;
        }
      }
      spanEnd = starts[k];
    }
    if (need == 0) break;
    position = PreviousOpenPosition(position);
    if (position == kNoFile) break;
    end = RecordedBytesAt(position);
  }
  for (uint32_t c = 0; c < kChannelCount; ++c) {
    if ((complete & (1u << c)) == 0) continue;
    std::vector<Held>& held = heldLead[c];
    held.clear();
    held.reserve(counts[c]);
    for (auto it = found[c].rbegin(); it != found[c].rend(); ++it) {
      held.insert(held.end(), it->begin(), it->end());
    }
  }
}

bool CFrameReader::FindRecordStartFrom(const ReaderFile& file, uint64_t from, uint64_t limit,
                                       uint64_t* start, uint32_t* time) {
  const uint64_t end = std::min<uint64_t>(limit, from + kWindowSize);
  FrameHeader header;
  for (uint64_t candidate = from; candidate + kRecordHeadSize <= end; ++candidate) {
    const int32_t marker = window->MarkerAt(file, candidate);
    if (marker < 0) return false;
    if (marker == 0 || window->Check(file, candidate, limit, &header) != RecordStatus::kOk) {
      continue;
    }
    const uint64_t next = RecordEnd(candidate, header);
    if (next < limit && !StartsReadableRecord(file, next, limit)) continue;
    *start = candidate;
    *time = header.time;
    return true;
  }
  return false;
}

uint64_t CFrameReader::NarrowByHalving(const ReaderFile& file, uint64_t at, uint64_t limit,
                                       CTime t) {
  // The records lie in time order but for the writers' lag of a few seconds, so one stamped
  // more than kWalkMarginSeconds before t has no record at or after t before it.
  for (uint64_t hi = limit; at < hi && hi - at > kHalvingSpan && stopReading.load() == 0;) {
    const uint64_t mid = at + (hi - at) / 2;
    uint64_t found = 0;
    uint32_t stamped = 0;
    if (FindRecordStartFrom(file, mid, hi, &found, &stamped) &&
        int64_t{stamped} < int64_t{t.seconds()} - kWalkMarginSeconds) {
      at = found;
    } else {
      hi = mid;
    }
  }
  return at;
}

bool CFrameReader::WalkFile(const ReaderFile& file, uint64_t at, CTime t, uint64_t* found) {
  const uint64_t limit = RecordedBytesAt(currentFile);
  at = NarrowByHalving(file, at, limit, t);
  FrameHeader header;
  uint32_t passed = 0;
  while (at < limit) {
    const RecordStatus status = window->Check(file, at, limit, &header);
    if (status != RecordStatus::kOk) {
      Report(file, at, status);
      at = NextEntryStart(currentFile, file, at, limit);
      continue;
    }
    if (!(t > CTime(header.time))) {
      *found = at;
      return true;
    }
    at = RecordEnd(at, header);
    if (++passed % 1024 == 0 && stopReading.load() != 0) return false;
  }
  return false;
}

int32_t CFrameReader::WalkToTime(CTime t) {
  for (;;) {
    ReaderFile* file = IsReadablePosition(currentFile) ? DataFileAt(currentFile) : nullptr;
    uint64_t found = 0;
    if (file != nullptr && WalkFile(*file, file->position, t, &found)) {
      return SeekAbsolute(file, found) ? kWalkFound : kWalkFailed;
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

int32_t CFrameReader::ResetReadPosition(int32_t direction) {
  lastFrameLead = false;
  DropReadAhead();
  if (!SelectAll()) return 0;
  RewindOpenFiles();
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
  return NextReadablePosition(firstFile - 1) != kNoFile ? 1 : 0;
}

void CFrameReader::SetPlayRate(float rate) {
  // The lead belongs to forward play from the seek target: backward play ends it, a pause
  // before the target is reached keeps it (else play resumed after the pause would show the
  // frames before the target, up to a minute of them, as if the host had asked for them).
  if (rate < 0.0f) {
    // Backwards from the last record handed out forwards: what was read ahead goes.
    if (frontierSet) {
      const Place last = lastPlace;
      DropReadAhead();
      if (ReaderFile* file = last.position != kNoFile ? DataFileAt(last.position) : nullptr) {
        currentFile = last.position;
        SeekAbsolute(file, last.offset);
      }
    }
  }
  playRate = rate;
}

// ---------------------------------------------------------------------------------------
// Records.

void CFrameReader::Report(const ReaderFile& file, uint64_t offset, RecordStatus status) {
  damageCount.fetch_add(1, std::memory_order_relaxed);
  if (reporter != nullptr) reporter->Corruption(file.path, offset, status);
}

bool CFrameReader::StartsReadableRecord(const ReaderFile& file, uint64_t offset, uint64_t limit) {
  FrameHeader header;
  return window->Check(file, offset, limit, &header) == RecordStatus::kOk;
}

uint64_t CFrameReader::NextEntryStart(int32_t position, const ReaderFile& file, uint64_t damagedAt,
                                      uint64_t limit) {
  for (uint64_t start : EntryStarts(position)) {
    if (start > damagedAt && StartsReadableRecord(file, start, limit)) return start;
  }
  return limit;
}

void CFrameReader::ResyncForward(uint64_t damagedAt, RecordStatus status) {
  ReaderFile* file = DataFileAt(currentFile);
  if (file == nullptr) return;
  Report(*file, damagedAt, status);
  SeekAbsolute(file, NextEntryStart(currentFile, *file, damagedAt, RecordedBytesAt(currentFile)));
}

RecordStatus CFrameReader::ReadRecordBefore(ReaderFile* file, uint64_t end, FrameHeader* header) {
  uint32_t bodySize = 0;
  if (end < kRecordOverhead || !window->TrailerBefore(*file, end, &bodySize)) {
    return RecordStatus::kShortHead;
  }
  const uint64_t size = kRecordOverhead + uint64_t{bodySize};
  if (size > end) return RecordStatus::kBadTrailerSize;
  const RecordStatus status = window->Check(*file, end - size, end, header);
  if (status != RecordStatus::kOk) return status;
  if (header->bodySize != bodySize) return RecordStatus::kBadTrailerSize;
  SeekAbsolute(file, end - size);
  return RecordStatus::kOk;
}

int32_t CFrameReader::ReadRecordChecked(uint8_t* buffer, uint32_t capacity, RecordStatus* status,
                                        std::vector<uint8_t>* growable, uint32_t growLimit,
                                        bool lone) {
  *status = RecordStatus::kShortHead;
  ReaderFile* file = DataFileAt(currentFile);
  if (file == nullptr || buffer == nullptr) return 0;
  const uint64_t start = file->position;
  FrameHeader header;
  *status = window->Check(*file, start, RecordedBytesAt(currentFile), &header, lone);
  if (*status != RecordStatus::kOk) return 0;
  const uint64_t frameLength = kFrameHeaderSize + uint64_t{header.bodySize};
  uint64_t room = std::min<uint64_t>(capacity, INT32_MAX);
  if (frameLength > room && growable != nullptr && frameLength <= growLimit) {
    try {
      growable->resize(static_cast<size_t>(frameLength));
      buffer = growable->data();
      room = growable->size();
    } catch (const std::bad_alloc&) {
    }
  }
  SeekAbsolute(file, RecordEnd(start, header));
  if (room >= kFrameHeaderSize) std::memcpy(buffer, &header, sizeof(header));
  // Too big for the caller: passed over whole.
  if (frameLength > room) return 0;
  const uint64_t bodyAt = start + kRecordHeadSize;
  if (const uint8_t* body = window->Bytes(*file, bodyAt, header.bodySize)) {
    std::memcpy(buffer + kFrameHeaderSize, body, header.bodySize);
  } else if (!file->file->ReadAt(bodyAt, buffer + kFrameHeaderSize, header.bodySize).ok()) {
    *status = RecordStatus::kBodyOverrun;
    return 0;
  }
  return static_cast<int32_t>(frameLength);
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

int32_t CFrameReader::StepForward(FrameHeader* out) {
  FrameHeader header;
  ReaderFile* file = nullptr;
  for (;;) {
    file = IsReadablePosition(currentFile) ? DataFileAt(currentFile) : nullptr;
    if (file != nullptr) {
      const uint64_t start = file->position;
      const uint64_t limit = RecordedBytesAt(currentFile);
      const RecordStatus status = window->Check(*file, start, limit, &header);
      if (status == RecordStatus::kOk) break;
      if (start < limit) {
        // A damaged record: on at the next record the index knows of in this file.
        ResyncForward(start, status);
        if (file->position > start && file->position < limit) continue;
      }
    }
    // The rest of this file is not readable: the next file starts at its start.
    const int32_t next = NextOpenPosition(currentFile);
    if (next == kNoFile || stopReading.load() != 0) return kStepEnd;
    currentFile = next;
    ReaderFile* nextFile = DataFileAt(next);
    if (nextFile == nullptr || !SeekAbsolute(nextFile, 0)) return kStepEnd;
  }
  if (!IsDeliveredRecord(header)) {
    SeekAbsolute(file, RecordEnd(file->position, header));  // passed over
    return kStepAgain;
  }
  if (IsDeliveredVideoType(header.type)) needKeyFrame[header.channel] = 1;
  if (out != nullptr) *out = header;
  return static_cast<int32_t>(header.channel);
}

uint64_t CFrameReader::LastGoodEndBefore(uint64_t end) {
  const ReaderFile* file = DataFileAt(currentFile);
  if (file == nullptr) return 0;
  const std::vector<uint64_t> starts = EntryStarts(currentFile);
  for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
    if (*it >= end || !StartsReadableRecord(*file, *it, end)) continue;
    FrameHeader header;
    uint64_t at = *it;
    while (at < end && window->Check(*file, at, end, &header) == RecordStatus::kOk) {
      at = RecordEnd(at, header);
    }
    return at < end ? at : 0;
  }
  return 0;
}

bool CFrameReader::StepBackOneRecord(FrameHeader* header) {
  ReaderFile* file = IsReadablePosition(currentFile) ? DataFileAt(currentFile) : nullptr;
  uint64_t end = file != nullptr ? file->position : 0;
  for (;;) {
    if (file == nullptr || end == 0) {
      const int32_t previous = PreviousOpenPosition(currentFile);
      if (previous == kNoFile || stopReading.load() != 0) return false;
      currentFile = previous;
      file = DataFileAt(previous);
      if (file == nullptr) return false;
      end = RecordedBytesAt(previous);
    }
    if (end > RecordedBytesAt(currentFile)) return false;
    const RecordStatus status = ReadRecordBefore(file, end, header);
    if (status == RecordStatus::kOk) return true;
    // The record before `end` is damaged: go back to the last whole record before it.
    Report(*file, end, status);
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
  if (file == nullptr) return;
  const uint64_t savedPosition = file->position;
  FrameHeader header;
  bool found =
      window->Check(*file, savedPosition, RecordedBytesAt(savedFile), &header) == RecordStatus::kOk;
  while (found && stopReading.load() == 0) {
    // Only a video frame of the channel can start what the decoder is given, never a
    // record of another kind that happens to carry the key bit.
    if ((header.keyFrame & 1) != 0 && header.channel == channel &&
        IsDeliveredVideoType(header.type)) {
      HandOverKeyFrame();
      break;
    }
    found = StepBackOneRecord(&header);
  }
  currentFile = savedFile;
  file = DataFileAt(savedFile);
  if (file != nullptr) SeekAbsolute(file, savedPosition);
}

void CFrameReader::HandOverKeyFrame() {
  if (keyFrameBuffer.empty()) keyFrameBuffer.resize(kKeyFrameBufferSize);
  RecordStatus status = RecordStatus::kOk;
  const int32_t length =
      ReadRecordChecked(keyFrameBuffer.data(), static_cast<uint32_t>(keyFrameBuffer.size()),
                        &status, &keyFrameBuffer, kMaxFrameLength);
  if (status == RecordStatus::kOk && length > 0 && sink != nullptr) {
    sink->OnPrecedingKeyFrame(keyFrameBuffer.data(), length);
  }
  // A buffer grown for a large key frame is given back.
  if (keyFrameBuffer.size() > kKeyFrameBufferSize) std::vector<uint8_t>().swap(keyFrameBuffer);
}

// ---------------------------------------------------------------------------------------
// Reading frames.

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
  while (forward) {
    // Forwards in time order, from what was read ahead.
    if (!frontierSet) {
      const ReaderFile* file = IsReadablePosition(currentFile) ? DataFileAt(currentFile) : nullptr;
      frontier = {currentFile, file != nullptr ? file->position : 0};
      frontierSet = true;
    }
    ReadPosition at;
    bool lead = false;
    if (!NextInTimeOrder(&at, &lead)) return stopReading.load() != 0 ? 0 : -1;
    currentFile = at.file;
    ReaderFile* file = DataFileAt(at.file);
    if (file == nullptr || !SeekAbsolute(file, at.offset)) continue;
    RecordStatus status = RecordStatus::kOk;
    const int32_t length =
        ReadRecordChecked(growable != nullptr ? growable->data() : buffer,
                          growable != nullptr ? static_cast<uint32_t>(growable->size()) : capacity,
                          &status, growable, growLimit, lead);
    if (status != RecordStatus::kOk) {
      Report(*file, at.offset, status);  // changed since it was read ahead
      continue;
    }
    lastFrameLead = lead;
    lastPlace = {at.file, at.offset};
    return length;
  }
  for (;;) {
    int32_t step;
    do {
      // A stop ends a long run of records that are not delivered.
      if (stopReading.load() != 0) return 0;
      step = StepBackward();
    } while (step == kStepAgain);
    if (step == kStepEnd) return -1;

    ReaderFile* file = DataFileAt(currentFile);
    if (file == nullptr) return -1;
    const uint64_t start = file->position;
    RecordStatus status = RecordStatus::kOk;
    const int32_t length =
        ReadRecordChecked(growable != nullptr ? growable->data() : buffer,
                          growable != nullptr ? static_cast<uint32_t>(growable->size()) : capacity,
                          &status, growable, growLimit);
    if (status != RecordStatus::kOk) {
      if (!backward) {
        ResyncForward(start, status);  // the next step goes on after the damage
        continue;
      }
      // Back at the record's start: the next backward step goes on before it.
      Report(*file, start, status);
      if (!SeekAbsolute(file, start)) return -1;
      continue;
    }
    // Backwards: back to the record's start, so the next step finds the record before it.
    if (backward) SeekAbsolute(file, start);
    lastPlace = {currentFile, start};
    return length;
  }
}

// ---------------------------------------------------------------------------------------
// One file's records in file order.

bool CFrameReader::WalkFileRecords(int32_t position,
                                   const std::function<bool(const FileRecord&)>& visit) {
  if (!SelectAll()) return false;
  ReaderFile* file = DataFileAt(position);
  if (file == nullptr) return false;
  const uint64_t limit = RecordedBytesAt(position);
  const std::vector<uint64_t> starts = EntryStarts(position);
  FileRecord record;
  for (uint64_t at = 0; at < limit && stopReading.load() == 0; at = record.next) {
    record = FileRecord{};
    record.offset = at;
    record.status = window->Check(*file, at, limit, &record.header);
    if (record.status == RecordStatus::kOk) {
      record.next = RecordEnd(at, record.header);
    } else {
      Report(*file, at, record.status);
      const auto resume = std::find_if(starts.begin(), starts.end(), [&](uint64_t start) {
        return start > at && StartsReadableRecord(*file, start, limit);
      });
      record.next = resume != starts.end() ? *resume : limit;
    }
    if (!visit(record)) break;
  }
  return true;
}

}  // namespace storage
