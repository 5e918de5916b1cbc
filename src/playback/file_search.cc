// CFileSearch: creation and destruction, the control operations the host calls, and the
// two scheduler wrappers that hand queued frames to the host as FrameDescriptor forms.
#include "playback/file_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/thread.h"
#include "storage/formats.h"

using platform::CivilFromDays;
using platform::CTime;
using platform::DaysFromCivil;
using platform::FloorDiv;
using storage::FrameHeader;

namespace {

// The file search whose host callback the current thread is inside, if any.
thread_local const CFileSearch* t_callbackOwner = nullptr;

class CallbackScope {
 public:
  explicit CallbackScope(const CFileSearch* owner) : saved_(t_callbackOwner) {
    t_callbackOwner = owner;
  }
  ~CallbackScope() { t_callbackOwner = saved_; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  const CFileSearch* saved_;
};

// Constants of the host interface carried in the descriptor forms.
constexpr uint32_t kVideoKind = 0;
constexpr uint32_t kAudioKind = 1;
constexpr uint32_t kFormWord12 = 2;
constexpr uint32_t kProgressWord12 = 0;
constexpr uint32_t kVideoStatOverhead = 102;
constexpr uint32_t kAudioStatOverhead = 54;

uint32_t SideBlockTag(const uint8_t* second, int32_t secondLength) {
  if (second == nullptr || secondLength < 4) return 0;
  return storage::LoadU32(second);
}

// The record place the side block carries, packed as position << 32 | offset.
uint64_t ShownPlaceOf(const uint8_t* second, int32_t secondLength) {
  if (second == nullptr || secondLength < CFileSearch::kSideBlockSize) return UINT64_MAX;
  const uint32_t position = storage::LoadU32(second + 12);
  const uint64_t offset = storage::LoadAs<uint64_t>(second + 16);
  if (position >= static_cast<uint32_t>(storage::kNoFile) || offset > 0xFFFFFFFFu) {
    return UINT64_MAX;
  }
  return uint64_t{position} << 32 | offset;
}

void SetTimeFields(FrameDescriptor* d, const scheduler::FrameTime& time) {
  d->year = time.year;
  d->month = time.month;
  d->day = time.day;
  d->hour = time.hour;
  d->minute = time.minute;
  d->second = time.second;
  d->reserved23 = 0;
  d->millisecond = time.millisecond;
}

// The words every form of the descriptor starts with; the rest is zero.
FrameDescriptor DescriptorHead(uint32_t channel, uint32_t word4, uint32_t kind, uint32_t word12,
                               const scheduler::FrameTime& time) {
  FrameDescriptor d;
  std::memset(&d, 0, sizeof(d));
  d.channel = channel;
  d.word4 = word4;
  d.kind = kind;
  d.word12 = word12;
  SetTimeFields(&d, time);
  return d;
}

// The record handed back by the scheduler: FrameHeader + body. False when its lengths do
// not hold together.
bool SplitRecord(const uint8_t* data, int32_t dataLength, FrameHeader* header,
                 const uint8_t** body) {
  if (!CFileSearch::HeaderOf(data, dataLength, header)) return false;
  if (header->bodySize > static_cast<uint64_t>(dataLength) - storage::kFrameHeaderSize)
    return false;
  *body = data + storage::kFrameHeaderSize;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Creation and destruction.

CFileSearch::CFileSearch(uint32_t channelCount, uintptr_t hostContext,
                         FileSearchFrameCallback frameCallback,
                         FileSearchNotifyCallback notifyCallback)
    : scheduler(std::make_unique<scheduler::CFrameScheduler>()),
      channelCount(std::min(channelCount, kMaxChannels)),
      wakeEvent(std::make_unique<platform::Event>(/*manualReset=*/true,
                                                  /*initiallySignalled=*/false)),
      hostContext(hostContext),
      frameCallback(frameCallback),
      notifyCallback(notifyCallback),
      catalog(std::make_unique<CFileCatalog>()),
      reader(std::make_unique<storage::CFrameReader>(&catalog->view,
                                                     static_cast<storage::FrameSink*>(this),
                                                     static_cast<storage::Reporter*>(this))) {}

CFileSearch* CFileSearch::Create(uint32_t channelCount, uintptr_t hostContext,
                                 FileSearchFrameCallback frameCallback,
                                 FileSearchNotifyCallback notifyCallback) {
  if (channelCount == 0) return nullptr;
  std::shared_ptr<CFileSearch> search(
      new CFileSearch(channelCount, hostContext, frameCallback, notifyCallback));
  if (!search->scheduler->Open(static_cast<int32_t>(search->channelCount), &VideoWrapper,
                               &AudioWrapper, search.get(), /*videoNoBackPressure=*/0)) {
    return nullptr;
  }
  search->hostReference = search;
  return search.get();
}

void CFileSearch::End(CFileSearch* search) {
  if (search == nullptr) return;
  std::shared_ptr<CFileSearch> keep = std::move(search->hostReference);
  search->Stop();
  // `keep` goes last: the object is destroyed here unless an abandoned playback thread
  // still holds it.
}

CFileSearch::~CFileSearch() {
  Stop();
  scheduler.reset();
  reader.reset();
  catalog.reset();
}

bool CFileSearch::InsideCallbackOf(const CFileSearch* search) {
  return search != nullptr && t_callbackOwner == search;
}

// ---------------------------------------------------------------------------------------
// Control operations.

void CFileSearch::SetPath(const char* directory, const char* name, int32_t flag) {
  // The control lock keeps two SETPATHs, and a SETPATH and START's catalogue build, apart.
  platform::MutexLock hold(&controlLock);
  if (running.load() != 0 || threadActive.load() != 0 || !catalog) return;
  const std::string dir = directory != nullptr ? directory : "";
  const std::string file = name != nullptr ? name : "";
  if (flag != 0) {
    catalog->AddIndexFile(dir, file);
  } else {
    catalog->SetIndexFile(dir, file);
  }
}

int32_t CFileSearch::Start() {
  platform::MutexLock hold(&controlLock);
  // A thread abandoned by an earlier stop may still be reading the catalogue.
  if (running.load() != 0 || threadActive.load() != 0) return 0;
  running.store(1);
  abandoned.store(0);
  reader->stopReading.store(0);
  skippedBefore.store(reader->DamageCount());
  scheduler->Start();
  reader->Close();
  platform::Status built = catalog->Build();
  {
    platform::MutexLock keeping(&problemLock);
    catalogStatus = std::move(built);
    fileProblems = catalog->problems;
    unopenedFiles.clear();
  }
  {
    // The new thread starts from scratch: what the host chose before carries over.
    platform::MutexLock marking(&requestLock);
    requests.rate = requests.displayChanged = requests.channel = true;
  }
  threadActive.store(1);
  std::shared_ptr<CFileSearch> self = shared_from_this();
  thread = platform::Thread::Start([self] { self->RunPlayback(); });
  if (!thread) {
    threadActive.store(0);
    running.store(0);
    scheduler->Stop();
    reader->Close();
    catalog->Clear();
    return 0;
  }
  return 1;
}

platform::Status CFileSearch::CatalogStatus() const {
  platform::MutexLock hold(&problemLock);
  return catalogStatus;
}

std::vector<platform::Status> CFileSearch::FileProblems() const {
  platform::MutexLock hold(&problemLock);
  return fileProblems;
}

void CFileSearch::OpenFailed(const platform::Status& status) {
  platform::MutexLock hold(&problemLock);
  // The reader tries a file again at every pass over it: the first report of each is kept.
  if (unopenedFiles.insert(std::string(status.path())).second) fileProblems.push_back(status);
}

void CFileSearch::Stop() {
  platform::MutexLock hold(&controlLock);
  if (running.load() == 0) return;
  // Stopping the scheduler first releases a playback thread blocked in EnqueueVideo; the
  // reader's long loops give up as well.
  reader->stopReading.store(1);
  scheduler->Stop();
  running.store(0);
  wakeEvent->Set();
  if (thread) {
    if (!thread->Join(joinTimeoutMs.load())) abandoned.store(1);
    thread.reset();
  }
  // Once the thread is gone nothing plays until the next PLAYTIME, even after a new START.
  wakeEvent->Reset();
  lastShownTime.store(kNoShownTime);
  lastShownPlace.store(kNoShownPlace);
}

void CFileSearch::Seek(CTime t) {
  platform::MutexLock hold(&seekLock);
  SeekLocked(t);
}

void CFileSearch::SeekLocked(CTime t, storage::CFrameReader::Place place) {
  progressCount.store(0);
  scheduler->Flush();
  lastShownTime.store(kNoShownTime);
  lastShownPlace.store(kNoShownPlace);
  {
    platform::MutexLock hold(&requestLock);
    requests.seekTarget = t;
    requests.seekPlace = place;
    requests.seek = true;
    ++requests.seekSerial;
  }
  wakeEvent->Set();
}

CTime CFileSearch::PlayTimeFromLocal(int32_t year, int32_t month, int32_t day, int32_t hour,
                                     int32_t minute, int32_t second) {
  // Normalise the fields as calendar arithmetic, free of any zone, so the result can be
  // compared with what each reading of the local clock gives back.
  const int64_t monthIndex = static_cast<int64_t>(month) - 1;
  const int64_t y = static_cast<int64_t>(year) + FloorDiv(monthIndex, 12);
  const int64_t m = monthIndex - FloorDiv(monthIndex, 12) * 12 + 1;
  if (y < 1 || y > 9999) return CTime::NoTime();
  const int64_t total = (DaysFromCivil(y, m, 1) + day - 1) * 86400 + int64_t{hour} * 3600 +
                        int64_t{minute} * 60 + second;
  const int64_t days = FloorDiv(total, 86400);
  const int64_t rest = total - days * 86400;
  int64_t ny = 0, nm = 0, nd = 0;
  CivilFromDays(days, &ny, &nm, &nd);
  if (ny < 1 || ny > 9999) return CTime::NoTime();
  const int fy = static_cast<int>(ny), fm = static_cast<int>(nm), fd = static_cast<int>(nd);
  const int fh = static_cast<int>(rest / 3600), fmin = static_cast<int>(rest / 60 % 60);
  const int fs = static_cast<int>(rest % 60);

  const auto shows = [&](CTime t) {
    const platform::LocalFields f = t.Local();
    return f.year == fy && f.month == fm && f.day == fd && f.hour == fh && f.minute == fmin &&
           f.second == fs;
  };
  const CTime standard = CTime::FromLocal(fy, fm, fd, fh, fmin, fs, 0);
  const CTime daylight = CTime::FromLocal(fy, fm, fd, fh, fmin, fs, 1);
  const bool standardShows = shows(standard);
  const bool daylightShows = shows(daylight);
  if (standardShows != daylightShows) return standardShows ? standard : daylight;
  // Both readings exist (the repeated hour) or neither does (the skipped hour).
  return std::min(standard, daylight);
}

int32_t CFileSearch::PlayTime(int32_t year, int32_t month, int32_t day, int32_t hour,
                              int32_t minute, int32_t second) {
  Seek(PlayTimeFromLocal(year, month, day, hour, minute, second));
  return 1;
}

int32_t CFileSearch::PlayRate(float rate) {
  // A rate that is not a number has no direction and no pace: it changes nothing.
  if (!std::isfinite(rate)) return 1;
  const scheduler::PlayMode mode = scheduler::PlayModeOf(rate);
  bool reverses = false;
  {
    platform::MutexLock hold(&requestLock);
    requests.playRate = rate;
    requests.mode = mode;
    reverses = mode.direction * requests.direction < 0;
    if (mode.direction != 0) requests.direction = mode.direction;
  }
  // A reversal resumes in the new direction next to the last displayed frame: the frame, not
  // its second. Delivery stops first (a flush), so the frame read as the one on screen is the
  // last one shown; the new rate comes before the seek, so no flush of its own (a step against
  // the direction has one) can remove what the seek queues; and the playback thread queues
  // nothing meanwhile (it takes its flush count under seekLock).
  if (reverses && lastShownTime.load() != kNoShownTime) {
    platform::MutexLock seeking(&seekLock);
    scheduler->Flush();
    const uint64_t shownPlace = lastShownPlace.load();
    const int64_t shown = lastShownTime.load();
    storage::CFrameReader::Place place;
    if (shownPlace != kNoShownPlace) {
      place.position = static_cast<int32_t>(shownPlace >> 32);
      place.offset = shownPlace & 0xFFFFFFFFu;
    }
    scheduler->SetRate(rate);
    if (shown != kNoShownTime) SeekLocked(CTime(static_cast<uint32_t>(shown)), place);
  } else {
    scheduler->SetRate(rate);
  }
  platform::MutexLock hold(&requestLock);
  requests.rate = true;
  return 1;
}

int32_t CFileSearch::GetPlayRate(float* rate) const {
  if (rate == nullptr) return 0;
  platform::MutexLock hold(&requestLock);
  *rate = requests.playRate;
  return 1;
}

void CFileSearch::SetCurrentChannel(uint32_t channel) {
  platform::MutexLock hold(&requestLock);
  requests.currentChannel = channel;
  requests.channel = true;
}

void CFileSearch::SetDisplayChannels(const uint32_t* words, int32_t count) {
  if (words == nullptr || count <= 0) return;
  const uint32_t n = std::min(static_cast<uint32_t>(count), channelCount);
  platform::MutexLock hold(&requestLock);
  std::copy(words, words + n, requests.display.begin());
  requests.displayChanged = true;
}

int32_t CFileSearch::SetStatus(int32_t /*status*/) { return 0; }

void CFileSearch::SetDSTRange(int32_t enabled, int32_t startMonth, int32_t startDay,
                              int32_t startHour, int32_t endMonth, int32_t endDay,
                              int32_t endHour) {
  if (catalog) {
    catalog->SetDSTRange(enabled, startMonth, startDay, startHour, endMonth, endDay, endHour);
  }
}

void CFileSearch::GetDateTable(uint32_t* table, int32_t* count) {
  if (catalog) catalog->GetDateTable(table, count);
}

void CFileSearch::GetDayTable(uint32_t date, uint32_t* anyMask, uint32_t* reason1Mask,
                              uint32_t* reason2Mask, uint32_t* reason4Mask, uint32_t* audioMask,
                              uint32_t* dstHours, int32_t* dayKind, int32_t* hourCount) {
  if (catalog) {
    catalog->GetDayTable(date, anyMask, reason1Mask, reason2Mask, reason4Mask, audioMask, dstHours,
                         dayKind, hourCount);
  }
}

// ---------------------------------------------------------------------------------------
// Scheduler wrappers: run on the pacing thread while the scheduler holds that queue's lock.

int32_t CFileSearch::VideoWrapper(scheduler::CFrameScheduler* /*scheduler*/, uint32_t channel,
                                  scheduler::FrameTime time, const uint8_t* data,
                                  int32_t dataLength, const uint8_t* second, int32_t secondLength,
                                  int32_t display, void* context) {
  static_cast<CFileSearch*>(context)->DeliverVideo(channel, time, data, dataLength, second,
                                                   secondLength, display);
  return 1;
}

int32_t CFileSearch::AudioWrapper(scheduler::CFrameScheduler* /*scheduler*/, uint32_t channel,
                                  scheduler::FrameTime time, const uint8_t* data,
                                  int32_t dataLength, const uint8_t* second, int32_t secondLength,
                                  void* context) {
  static_cast<CFileSearch*>(context)->DeliverAudio(channel, time, data, dataLength, second,
                                                   secondLength);
  return 1;
}

void CFileSearch::DeliverVideo(uint32_t channel, const scheduler::FrameTime& time,
                               const uint8_t* data, int32_t dataLength, const uint8_t* second,
                               int32_t secondLength, int32_t display) {
  FrameHeader header;
  const uint8_t* body = nullptr;
  if (!SplitRecord(data, dataLength, &header, &body)) return;
  // The record's own time stamp, not the local fields read back: those are ambiguous in
  // the repeated autumn hour; and the record's place, for a step or a reversal.
  if (display != 0) {
    lastShownPlace.store(ShownPlaceOf(second, secondLength));
    lastShownTime.store(header.time);
  }
  if (frameCallback == nullptr) return;

  const bool key = (header.keyFrame & 1) != 0;
  storage::VideoBodyView view;
  if (!storage::SplitVideoBody(body, header.bodySize, key, &view)) return;
  const uint32_t leadLength = key ? 0 : storage::kNonKeyLeadSize;

  FrameDescriptor d =
      DescriptorHead(channel, SideBlockTag(second, secondLength), kVideoKind, kFormWord12, time);
  d.statSize = header.bodySize + kVideoStatOverhead;
  d.type = header.type;
  d.dataStart = storage::kVideoTagSize;
  // Never past the body, whatever the record's own payload count says.
  d.dataEnd = std::min(header.payloadSize, view.payloadLength + storage::kVideoTagSize);
  d.keyFlag = key ? 1 : 0;
  d.tag = view.videoTag;
  d.subTypeWord = header.subType;
  d.leadLength = leadLength;
  d.decodeOnly = display == 0 ? 1 : 0;
  d.triggerA = (header.reason & storage::kReasonTriggerA) != 0 ? 1 : 0;
  d.triggerB = (header.reason & storage::kReasonTriggerB) != 0 ? 1 : 0;
  d.leadBlock = key ? nullptr : body;
  d.videoData = body + leadLength;

  CallbackScope scope(this);
  if (display != 0 && notifyCallback != nullptr) {
    if (progressCount.load() >= kFramesPerProgress - 1) {
      progressCount.store(0);
      FrameDescriptor progress =
          DescriptorHead(channel, d.word4, kVideoKind, kProgressWord12, time);
      const uint64_t skipped = SkippedRecords();
      progress.statSize = static_cast<uint32_t>(std::min<uint64_t>(skipped, UINT32_MAX));
      notifyCallback(handle(), hostContext, RECORDER_NOTIFY_PROGRESS, channel, &progress);
    } else {
      progressCount.fetch_add(1);
    }
  }
  frameCallback(hostContext, channel, &d, 0);
}

void CFileSearch::DeliverAudio(uint32_t channel, const scheduler::FrameTime& time,
                               const uint8_t* data, int32_t dataLength, const uint8_t* second,
                               int32_t secondLength) {
  if (frameCallback == nullptr) return;
  {
    platform::MutexLock hold(&requestLock);
    if (channel != requests.currentChannel) return;
  }
  FrameHeader header;
  const uint8_t* body = nullptr;
  if (!SplitRecord(data, dataLength, &header, &body)) return;

  FrameDescriptor d =
      DescriptorHead(channel, SideBlockTag(second, secondLength), kAudioKind, kFormWord12, time);
  d.statSize = header.bodySize + kAudioStatOverhead;
  d.type = header.type;
  d.dataStart = 0;
  d.dataEnd = header.bodySize;
  d.audioData = body;

  CallbackScope scope(this);
  frameCallback(hostContext, channel, &d, 0);
}
