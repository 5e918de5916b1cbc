#include "scheduler/frame_queue.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

namespace scheduler {
namespace {

// A group rate as stored in a mark: |rate|, with nothing that cannot be a pace.
float MarkRate(float rate) {
  const float r = std::fabs(rate);
  if (!std::isfinite(r)) return 0.0f;
  return std::min(r, 1000.0f);
}

FrameTime MakeFrameTime(platform::CTime stamp, int64_t millisecond) {
  const platform::LocalFields f = stamp.Local();
  FrameTime t{};
  t.year = static_cast<uint16_t>(f.year);
  t.month = static_cast<uint8_t>(f.month);
  t.day = static_cast<uint8_t>(f.day);
  t.hour = static_cast<uint8_t>(f.hour);
  t.minute = static_cast<uint8_t>(f.minute);
  t.second = static_cast<uint8_t>(f.second);
  t.reserved = 0;
  t.millisecond = static_cast<uint16_t>(std::clamp<int64_t>(millisecond, 0, UINT16_MAX));
  t.unused = 0;
  return t;
}

}  // namespace

CFrameQueue::CFrameQueue()
    : writeStaging_(std::make_unique_for_overwrite<uint8_t[]>(kStagingBufferSize)),
      readStaging_(std::make_unique_for_overwrite<uint8_t[]>(kStagingBufferSize)),
      lastEnqueuedTime_(platform::CTime::NoTime()),
      spaceEvent_(/*manualReset=*/true, /*initiallySignalled=*/true) {
  marks_.SetLimit(kMarkQueueLimit);
}

CFrameQueue::~CFrameQueue() {
  Stop();
  platform::MutexLock hold(&lock_);
  pool_.reset();
  DropMarksLocked();
}

bool CFrameQueue::Configure(DeliverCallback callback, void* context, int32_t noBackPressure,
                            int32_t threshold) {
  platform::MutexLock hold(&lock_);
  callback_ = callback;
  context_ = context;
  noBackPressure_ = noBackPressure;
  groupThreshold_ = std::clamp(threshold, 1, kMarkQueueLimit);
  if (pool_) return true;
  try {
    pool_ = std::make_shared<CChunkPool>(kPoolChunkSize, groupThreshold_ * kChunksPerThresholdUnit);
  } catch (const std::bad_alloc&) {
    return false;
  }
  configuredChunks_ = groupThreshold_ * kChunksPerThresholdUnit;
  return true;
}

int32_t CFrameQueue::Enqueue(uint32_t channel, platform::CTime time, const uint8_t* data,
                             int32_t dataLength, const uint8_t* second, int32_t secondLength,
                             int32_t display, float rate, const std::atomic<uint64_t>* generation,
                             uint64_t expected) {
  if (dataLength < 0 || secondLength < 0) return 0;
  if ((dataLength > 0 && data == nullptr) || (secondLength > 0 && second == nullptr)) return 0;
  // Refused before anything is composed (and before waiting for space it would not use).
  if (dataLength > kMaxFrameDataLength || secondLength > kMaxSecondLength) return 0;
  const bool lead = display == kDisplayLead;
  if (lead) display = 0;
  ++producers_;
  struct Leave {
    std::atomic<int32_t>& count;
    ~Leave() { --count; }
  } leave{producers_};
  // No lock is held while waiting, so Stop and Deliver can always reach the queue.
  if (!spaceEvent_.Wait(platform::kInfinite)) return 0;

  // The frame's bytes are copied with only producerLock_ held; the queue lock is taken just
  // to reserve chunks and to publish them, so the pacing thread never waits for a copy.
  platform::MutexLock producing(&producerLock_);
  const uint32_t length = static_cast<uint32_t>(
      StoredFrameLength(static_cast<uint32_t>(dataLength), static_cast<uint32_t>(secondLength)));
  // A frame longer than the staging buffer (a large key frame) is composed in a buffer made
  // for it alone.
  std::unique_ptr<uint8_t[]> big;
  uint8_t* staging = writeStaging_.get();
  if (length > kStagingBufferSize) {
    big.reset(new (std::nothrow) uint8_t[length]);
    if (!big) return 0;
    staging = big.get();
  }
  StoredFrameHead head{};
  head.channel = static_cast<int32_t>(channel);
  head.timeStamp = time.seconds();
  head.dataLength = dataLength;
  constexpr int kAttempts = 4;  // a growth, or a Start between reserving and publishing
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const Store outcome = TryStore(head, staging, length, data, second, secondLength, display, lead,
                                   rate, generation, expected);
    if (outcome != Store::kAgain) return outcome == Store::kStored ? 1 : 0;
  }
  return 0;
}

CFrameQueue::Store CFrameQueue::TryStore(const StoredFrameHead& frameHead, uint8_t* staging,
                                         uint32_t length, const uint8_t* data,
                                         const uint8_t* second, int32_t secondLength,
                                         int32_t display, bool lead, float rate,
                                         const std::atomic<uint64_t>* generation,
                                         uint64_t expected) {
  std::shared_ptr<CChunkPool> pool;
  CChunkPool::Reservation reservation;
  int32_t missing = 0;
  uint64_t epoch = 0;
  StoredFrameHead head = frameHead;
  bool reserved = false;
  {
    platform::MutexLock hold(&lock_);
    if (running_ == 0 || !pool_) return Store::kRefused;
    pool = pool_;
    epoch = epoch_;
    // Decided under the lock: only this producer stores until the commit, and a reset in
    // between makes it store again.
    head.unpaced = lead || (display == 0 && !shownSinceReset_) ? 1 : 0;
    reserved = pool->Reserve(length, &reservation, &missing) != 0;
  }
  if (!reserved) {
    // Memory for growth is taken with the queue lock released as well.
    return missing >= 0 && pool->Grow(missing) ? Store::kAgain : Store::kRefused;
  }
  if (ComposeStoredFrame(staging, std::max(length, kStagingBufferSize), head, data, second,
                         secondLength, display) != length) {
    platform::MutexLock hold(&lock_);
    pool->Cancel(reservation);
    return Store::kRefused;
  }
  pool->Fill(reservation, staging);

  platform::MutexLock hold(&lock_);
  if (generation != nullptr && generation->load() != expected) {
    // The frame was read for what the queue held before a flush: it is not stored.
    if (pool == pool_) pool->Cancel(reservation);
    return Store::kRefused;
  }
  if (epoch != epoch_) {
    // A Stop, Flush or new pool came meanwhile: the frame counts as stored just before it
    // and went with the queue's contents. A Start alone keeps the contents; the frame is
    // stored again under the new counters.
    if (pool != pool_ || !pool->Cancel(reservation)) {
      return running_ != 0 ? Store::kStored : Store::kRefused;
    }
    return Store::kAgain;
  }
  pool->Commit(reservation);
  CountStoredFrameLocked(platform::CTime(head.timeStamp), display, head.unpaced != 0, rate);
  return Store::kStored;
}

void CFrameQueue::CountStoredFrameLocked(platform::CTime time, int32_t display, bool unpaced,
                                         float rate) {
  if (unpaced) {
    // What a decoder needs before a picture: handed out at once, in no group. The deliverer
    // is woken for a batch of them (thousands come back to back after a seek far from a key
    // frame, and a wake-up each would cost more than their copies) and by the picture that
    // follows them.
    ++leadFrames_;
    if (++leadsSinceWake_ >= kLeadWakeBatch) {
      leadsSinceWake_ = 0;
      deliverableAtOnce_.store(true, std::memory_order_relaxed);
    }
    return;
  }
  if (display != 0 && leadsSinceWake_ > 0) {
    leadsSinceWake_ = 0;
    deliverableAtOnce_.store(true, std::memory_order_relaxed);
  }
  if (display != 0 && !shownSinceReset_) {
    shownSinceReset_ = true;
    deliverableAtOnce_.store(true, std::memory_order_relaxed);
  }
  if (display != 0 && time != lastEnqueuedTime_) {
    lastEnqueuedTime_ = time;
    if (enqueueCounter_ != 0) {
      PushMarkLocked(new (std::nothrow) FrameGroupMark{MarkRate(rate), 1.0 / enqueueCounter_,
                                                       enqueueCounter_, time});
    }
    enqueueCounter_ = 0;
  }
  ++enqueueCounter_;
  // A throttled producer also waits while the pool is full as configured and a closed second
  // is waiting for delivery, so a busy queue does not grow its pool; with no closed second
  // queued it goes on, since delivery needs the next second's first frame.
  if (noBackPressure_ == 0 && PoolFullLocked()) spaceEvent_.Reset();
}

void CFrameQueue::PushMarkLocked(FrameGroupMark* mark) {
  // A mark that cannot be made or queued is dropped: its frames are paced with the group
  // before them.
  if (mark == nullptr || marks_.Push(mark) == 0) {
    delete mark;
    return;
  }
  groupsClosed_.fetch_add(1, std::memory_order_relaxed);
  // A fast producer may run as many seconds ahead as the rate consumes per threshold period,
  // but never so far that the marks queue starts refusing marks.
  int32_t limit = groupThreshold_;
  if (mark->rate > 1.0f) limit = groupThreshold_ * static_cast<int32_t>(mark->rate);
  limit = std::min(limit, kMarkQueueLimit);
  const int32_t count = marks_.Count();
  const bool holdProducer = noBackPressure_ == 0
                                ? count >= limit
                                : count > std::max(kUnthrottledMarkLimit, groupThreshold_);
  if (holdProducer) spaceEvent_.Reset();
}

bool CFrameQueue::PoolFullLocked() const {
  return marks_.Count() >= 1 && pool_ && pool_->UsedCount() >= configuredChunks_;
}

void CFrameQueue::CloseGroup(float rate) {
  platform::MutexLock hold(&lock_);
  if (running_ == 0 || enqueueCounter_ == 0 || !shownSinceReset_) return;
  const int64_t next = int64_t{lastEnqueuedTime_.seconds()} + (rate < 0.0f ? -1 : 1);
  if (next < 0 || next > int64_t{UINT32_MAX}) return;
  const platform::CTime closing(static_cast<uint32_t>(next));
  auto* mark = new (std::nothrow)
      FrameGroupMark{MarkRate(rate), 1.0 / enqueueCounter_, enqueueCounter_, closing};
  if (mark == nullptr || marks_.Push(mark) == 0) {
    delete mark;
    return;
  }
  groupsClosed_.fetch_add(1, std::memory_order_relaxed);
  lastEnqueuedTime_ = closing;
  enqueueCounter_ = 0;
}

bool CFrameQueue::HasFrames() const {
  platform::MutexLock hold(&lock_);
  return pool_ && pool_->HasData() != 0;
}

void CFrameQueue::EmptyPoolLocked() {
  if (!pool_) return;
  if (pool_->ChunkCount() > configuredChunks_ && configuredChunks_ > 0) {
    // A producer still copying into the old pool keeps it alive until its copy ends.
    try {
      pool_ = std::make_shared<CChunkPool>(kPoolChunkSize, configuredChunks_);
      return;
    } catch (const std::bad_alloc&) {
      // Keep the grown pool, emptied.
    }
  }
  pool_->Reset();
}

void CFrameQueue::ResetPacingLocked() {
  pacing_ = PacingState{};
  leadFrames_ = 0;
  leadsSinceWake_ = 0;
  shownSinceReset_ = false;
  lastEnqueuedTime_ = platform::CTime::NoTime();
  enqueueCounter_ = 0;
  ++epoch_;
}

void CFrameQueue::DropMarksLocked() {
  while (void* mark = marks_.Pop()) delete static_cast<FrameGroupMark*>(mark);
}

void CFrameQueue::Start() {
  platform::MutexLock hold(&lock_);
  ResetPacingLocked();
  running_ = 1;
  spaceEvent_.Set();
}

void CFrameQueue::Stop() {
  platform::MutexLock hold(&lock_);
  running_ = 0;
  DropMarksLocked();
  EmptyPoolLocked();
  leadFrames_ = 0;
  shownSinceReset_ = false;
  ++epoch_;
  // A producer blocked in Enqueue wakes, finds the queue stopped and returns 0.
  spaceEvent_.Set();
}

void CFrameQueue::Flush() {
  platform::MutexLock hold(&lock_);
  DropMarksLocked();
  EmptyPoolLocked();
  ResetPacingLocked();
  spaceEvent_.Set();
}

int32_t CFrameQueue::PoolChunkCount() const {
  platform::MutexLock hold(&lock_);
  return pool_ ? pool_->ChunkCount() : 0;
}

CFrameQueue::HandOut CFrameQueue::HandOutLocked(int64_t millisecond) {
  uint32_t length = pool_->NextRecordLength();
  uint8_t* destination = readStaging_.get();
  if (length > kStagingBufferSize) {
    bigRead_.reset(new (std::nothrow) uint8_t[length]);
    // Without memory for it the record is read into the staging buffer, which drops it.
    if (bigRead_) destination = bigRead_.get();
  } else {
    bigRead_.reset();
  }
  uint32_t capacity = destination == readStaging_.get() ? kStagingBufferSize : length;
  StoredFrameView view;
  if (pool_->Read(destination, &capacity) == 0 || !ParseStoredFrame(destination, capacity, &view)) {
    return HandOut::kMissing;
  }
  if (callback_ == nullptr) return HandOut::kOther;
  const FrameTime time = MakeFrameTime(platform::CTime(view.head.timeStamp), millisecond);
  const DeliverCallback callback = callback_;
  void* const context = context_;
  lock_.Unlock();
  const int32_t accepted =
      callback(static_cast<uint32_t>(view.head.channel), time, view.data, view.head.dataLength,
               view.second, view.secondLength, view.display, context);
  lock_.Lock();
  return view.display != 0 && accepted != 0 ? HandOut::kShown : HandOut::kOther;
}

DeliverResult CFrameQueue::Deliver(double now, const PlayMode& mode, double* nextDue) {
  platform::MutexLock hold(&lock_);
  const DeliverResult result = DeliverLocked(now, mode, nextDue);
  // Nothing deliverable: the next frame found takes a new clock base, so play resumes on
  // it without a burst.
  if (result == DeliverResult::kNothing) pacing_.resync = true;
  return result;
}

DeliverResult CFrameQueue::DeliverLocked(double now, const PlayMode& mode, double* nextDue) {
  if (running_ == 0 || !pool_) return DeliverResult::kNothing;
  if (marks_.Count() < groupThreshold_ && (noBackPressure_ != 0 || !PoolFullLocked())) {
    spaceEvent_.Set();
  }
  if (mode.kind != PlayKind::kPause && leadFrames_ > 0 && HandOutLeadsLocked()) {
    return DeliverResult::kOther;
  }
  PacingInput input;
  input.now = now;
  input.mode = mode;
  input.nextMark = static_cast<const FrameGroupMark*>(marks_.Front());
  input.hasFrames = pool_->HasData() != 0;
  input.shownSinceReset = shownSinceReset_;
  const PacingDecision decision = DecidePacing(pacing_, input);
  if (decision.tookMark) delete static_cast<FrameGroupMark*>(marks_.Pop());
  switch (decision.step) {
    case PacingStep::kIdle:
      return DeliverResult::kNothing;
    case PacingStep::kStarved:
      spaceEvent_.Set();
      return DeliverResult::kNothing;
    case PacingStep::kNewBase:
    case PacingStep::kWait:
      if (nextDue != nullptr) *nextDue = decision.due;
      return decision.step == PacingStep::kNewBase ? DeliverResult::kNewBase
                                                   : DeliverResult::kNotDue;
    case PacingStep::kFirstPicture:
    case PacingStep::kDeliver:
      return HandOutDueLocked(decision, now);
  }
  return DeliverResult::kNothing;
}

bool CFrameQueue::HeadIsUnpacedLocked() const {
  StoredFrameHead head{};
  return pool_ && pool_->Peek(&head, kStoredFrameHeadSize) == kStoredFrameHeadSize &&
         head.unpaced != 0;
}

bool CFrameQueue::HandOutLeadsLocked() {
  // What a decoder needs before a picture goes out at once, outside any group: all of it
  // that lies at the head of the queue, in this one call.
  const uint64_t epoch = epoch_;
  bool handed = false;
  while (leadFrames_ > 0 && epoch == epoch_ && HeadIsUnpacedLocked()) {
    --leadFrames_;
    handed = HandOutLocked(0) != HandOut::kMissing || handed;
  }
  if (epoch == epoch_ && pool_ && pool_->HasData() == 0) leadFrames_ = 0;
  return handed;
}

DeliverResult CFrameQueue::HandOutDueLocked(const PacingDecision& decision, double now) {
  deliveryDue_.store(decision.due, std::memory_order_relaxed);
  const uint64_t epoch = epoch_;
  const HandOut handed = HandOutLocked(decision.millisecond);
  if (handed == HandOut::kMissing) return DeliverResult::kNotDue;
  // A Stop or Flush during the callback: the frame does not count into the new state.
  if (epoch == epoch_) CountHandedOut(pacing_, decision.step, now);
  return handed == HandOut::kShown ? DeliverResult::kShown : DeliverResult::kOther;
}

}  // namespace scheduler
