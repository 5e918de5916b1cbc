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

// The pace of delivery: |rate| (a single step at 1.0), or the group's own rate when it is
// faster, or when it is slower but still above the play rate.
float EffectiveRate(float rate, float groupRate) {
  float e = std::fabs(rate);
  if (e == 100.0f) e = 1.0f;
  if (groupRate > 1.0f) return groupRate;
  if (groupRate > 0.0f && groupRate > e) return groupRate;
  return e;
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
      groupTime_(platform::CTime::NoTime()),
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
  groupThreshold_ = std::clamp(threshold, 1, kMaxDelaySeconds + 3);
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
  constexpr int kAttempts = 4;  // a growth, or a Start between reserving and publishing
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::shared_ptr<CChunkPool> pool;
    CChunkPool::Reservation reservation;
    int32_t missing = 0;
    uint64_t epoch = 0;
    StoredFrameHead head;
    {
      platform::MutexLock hold(&lock_);
      if (running_ == 0 || !pool_) return 0;
      pool = pool_;
      epoch = epoch_;
      head.groupIndex = enqueueCounter_;
      if (pool->Reserve(length, &reservation, &missing) == 0) pool.reset();
    }
    if (!pool) {
      // Memory for growth is taken with the queue lock released as well.
      std::shared_ptr<CChunkPool> growing;
      {
        platform::MutexLock hold(&lock_);
        growing = pool_;
      }
      if (missing < 0 || !growing || !growing->Grow(missing)) return 0;
      continue;
    }
    head.channel = static_cast<int32_t>(channel);
    head.timeStamp = time.seconds();
    head.dataLength = dataLength;
    if (ComposeStoredFrame(staging, std::max(length, kStagingBufferSize), head, data, second,
                           secondLength, display) != length) {
      platform::MutexLock hold(&lock_);
      pool->Cancel(reservation);
      return 0;
    }
    pool->Fill(reservation, staging);

    platform::MutexLock hold(&lock_);
    if (generation != nullptr && generation->load() != expected) {
      // The frame was read for what the queue held before a flush: it is not stored.
      if (pool == pool_) pool->Cancel(reservation);
      return 0;
    }
    if (epoch != epoch_) {
      // A Stop, Flush or new pool came meanwhile: the frame counts as stored just before
      // it and went with the queue's contents. A Start alone keeps the contents; the frame
      // is stored again under the new counters.
      if (pool != pool_ || !pool->Cancel(reservation)) return running_ != 0 ? 1 : 0;
      continue;
    }
    pool->Commit(reservation);
    CountStoredFrameLocked(time, display, rate);
    return 1;
  }
  return 0;
}

void CFrameQueue::CountStoredFrameLocked(platform::CTime time, int32_t display, float rate) {
  if (display == 0 && !shownSinceReset_) {
    // What a decoder needs before the first picture: handed out at once, in no group.
    ++leadFrames_;
    deliverableAtOnce_.store(true, std::memory_order_relaxed);
    return;
  }
  if (display != 0 && !shownSinceReset_) {
    shownSinceReset_ = true;
    deliverableAtOnce_.store(true, std::memory_order_relaxed);
  }
  if (display != 0 && time != lastEnqueuedTime_) {
    lastEnqueuedTime_ = time;
    if (enqueueCounter_ != 0) {
      const float markRate = MarkRate(rate);
      auto* mark =
          new (std::nothrow) FrameGroupMark{markRate, 1.0 / enqueueCounter_, enqueueCounter_, time};
      if (mark != nullptr && marks_.Push(mark) != 0) {
        groupsClosed_.fetch_add(1, std::memory_order_relaxed);
        // A fast producer may run as many seconds ahead as the rate consumes per threshold
        // period, but never so far that the marks queue starts refusing marks.
        int32_t limit = groupThreshold_;
        if (markRate > 1.0f) limit = groupThreshold_ * static_cast<int32_t>(markRate);
        limit = std::min(limit, kMarkQueueLimit);
        const int32_t count = marks_.Count();
        const bool holdProducer = noBackPressure_ == 0
                                      ? count >= limit
                                      : count > std::max(kUnthrottledMarkLimit, groupThreshold_);
        if (holdProducer) spaceEvent_.Reset();
      } else {
        delete mark;
      }
    }
    enqueueCounter_ = 0;
  }
  ++enqueueCounter_;
  // A throttled producer also waits while the pool is full as configured and a closed second
  // is waiting for delivery, so a busy queue does not grow its pool; with no closed second
  // queued it goes on, since delivery needs the next second's first frame.
  if (noBackPressure_ == 0 && PoolFullLocked()) spaceEvent_.Reset();
}

bool CFrameQueue::PoolFullLocked() const {
  return marks_.Count() >= 1 && pool_ && pool_->UsedCount() >= configuredChunks_;
}

void CFrameQueue::CloseGroup(float rate) {
  platform::MutexLock hold(&lock_);
  if (running_ == 0 || enqueueCounter_ == 0 || !shownSinceReset_) return;
  const int64_t next = int64_t{lastEnqueuedTime_.seconds()} + (rate < 0.0f ? -1 : 1);
  if (next < INT32_MIN || next > INT32_MAX) return;
  const platform::CTime closing(static_cast<int32_t>(next));
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
  resync_ = 1;
  leadFrames_ = 0;
  shownSinceReset_ = false;
  startEarly_ = true;
  earlyBase_ = false;
  gapJump_ = 0.0;
  lastEnqueuedTime_ = platform::CTime::NoTime();
  groupTime_ = lastEnqueuedTime_;
  enqueueCounter_ = 0;
  deliveredCounter_ = 0;
  groupFrameCount_ = 0;
  groupRate_ = 0.0f;
  frameInterval_ = 0.0;
  streamBase_ = 0.0;
  wallBase_ = 0.0;
  lastEffectiveRate_ = 0.0f;
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

void CFrameQueue::SetResync() {
  platform::MutexLock hold(&lock_);
  resync_ = 1;
}

void CFrameQueue::SetDelay(int32_t seconds) {
  platform::MutexLock hold(&lock_);
  delay_ = std::clamp(seconds, 0, kMaxDelaySeconds);
  delaySeconds_ = delay_;
}

bool CFrameQueue::SetThreshold(int32_t n) {
  if (n < 1 || n > kMaxDelaySeconds + 3) return false;
  platform::MutexLock hold(&lock_);
  // Drop the old pool first so the two never occupy memory together (unless a producer is
  // still copying into it; it goes when that copy ends).
  pool_.reset();
  try {
    pool_ = std::make_shared<CChunkPool>(kPoolChunkSize, n * kChunksPerThresholdUnit);
  } catch (const std::bad_alloc&) {
    return false;  // the queue stores nothing until a later SetThreshold succeeds
  }
  groupThreshold_ = n;
  configuredChunks_ = n * kChunksPerThresholdUnit;
  leadFrames_ = 0;
  shownSinceReset_ = false;
  ++epoch_;
  return true;
}

int32_t CFrameQueue::PoolChunkCount() const {
  platform::MutexLock hold(&lock_);
  return pool_ ? pool_->ChunkCount() : 0;
}

int32_t CFrameQueue::HandOutLocked(int64_t millisecond, int32_t* display) {
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
    return -1;
  }
  *display = view.display;
  if (callback_ == nullptr) return 0;
  const FrameTime time = MakeFrameTime(platform::CTime(view.head.timeStamp), millisecond);
  const DeliverCallback callback = callback_;
  void* const context = context_;
  lock_.Unlock();
  const int32_t accepted =
      callback(static_cast<uint32_t>(view.head.channel), time, view.data, view.head.dataLength,
               view.second, view.secondLength, view.display, context);
  lock_.Lock();
  return accepted;
}

int32_t CFrameQueue::Deliver(double now, float rate, double* nextDue) {
  lock_.Lock();
  if (running_ == 0 || !pool_) {
    lock_.Unlock();
    return kDeliverNothing;
  }
  if (marks_.Count() < groupThreshold_ && (noBackPressure_ != 0 || !PoolFullLocked())) {
    spaceEvent_.Set();
  }
  if (rate == 0.0f || !std::isfinite(rate)) {
    lock_.Unlock();
    return kDeliverNothing;
  }

  // What a decoder needs before the first picture goes out at once, outside any group: all
  // of it that is queued, in this one call.
  if (leadFrames_ > 0) {
    const uint64_t epoch = epoch_;
    bool handed = false;
    while (leadFrames_ > 0 && epoch == epoch_ && pool_ && pool_->HasData() != 0) {
      --leadFrames_;
      int32_t display = 0;
      handed = HandOutLocked(0, &display) >= 0 || handed;
    }
    if (epoch == epoch_ && pool_ && pool_->HasData() == 0) leadFrames_ = 0;
    if (handed) {
      lock_.Unlock();
      return kDeliverOther;
    }
  }

  // Take the next group once the current one is used up. Frames delivered past the group's
  // count (while its successor's mark was missing) belong to the new group.
  if (deliveredCounter_ >= groupFrameCount_) {
    if (auto* mark = static_cast<FrameGroupMark*>(marks_.Pop())) {
      const bool following = groupFrameCount_ > 0;
      const double jump = std::fabs(double(mark->time.seconds()) - double(groupTime_.seconds()));
      gapJump_ = following && jump > 1.0 ? jump : 0.0;
      deliveredCounter_ -= groupFrameCount_;
      groupTime_ = mark->time;
      groupFrameCount_ = mark->frameCount;
      frameInterval_ = mark->interval;
      groupRate_ = mark->rate;
      delete mark;
      if (earlyBase_) {
        // The group's first frame went out early: the clock base is where it went out.
        earlyBase_ = false;
        streamBase_ = double(groupTime_.seconds());
        wallBase_ = earlyWall_;
        resync_ = 0;
        lastEffectiveRate_ = EffectiveRate(rate, groupRate_);
      }
    }
  }

  const float e = EffectiveRate(rate, groupRate_);
  if (groupFrameCount_ == 0 && deliveredCounter_ == 0 && startEarly_ && shownSinceReset_ &&
      pool_->HasData() != 0) {
    // The first displayed frame since Start or Flush is due at once; its second's mark is
    // not needed for it.
    startEarly_ = false;
    const uint64_t epoch = epoch_;
    int32_t display = 0;
    const int32_t accepted = HandOutLocked(0, &display);
    if (accepted >= 0 && epoch == epoch_) {
      deliveredCounter_ = 1;
      earlyBase_ = true;
      earlyWall_ = now;
    }
    lock_.Unlock();
    if (accepted < 0) return kDeliverNotDue;
    return (display != 0 && accepted != 0) ? kDeliverShown : kDeliverOther;
  }
  if (e != lastEffectiveRate_) {
    lastEffectiveRate_ = e;
    resync_ = 1;
  }
  if (groupFrameCount_ == 0 || pool_->HasData() == 0) {
    spaceEvent_.Set();
    lock_.Unlock();
    return kDeliverNothing;
  }

  // Backward play walks each recorded second downwards, so its frames are spread over the
  // second as they are in forward play.
  const double offset = deliveredCounter_ * frameInterval_;
  const double s = double(groupTime_.seconds()) + (rate < 0.0f ? -offset : offset);
  const double d = delaySeconds_;
  if (resync_ != 0) {
    streamBase_ = s;
    wallBase_ = now;
    resync_ = 0;
    gapJump_ = 0.0;
    if (nextDue != nullptr) *nextDue = now + d / e;
    lock_.Unlock();
    return kDeliverNewBase;
  }
  if (gapJump_ > 0.0) {
    // A stretch without recordings: one second of it is paced as usual, the rest waited
    // out for at most kMaxGapWaitSeconds of wall time. Moving the wall base earlier keeps
    // every later frame on its grid.
    const double excess = (gapJump_ - 1.0) / e - kMaxGapWaitSeconds;
    if (excess > 0.0) wallBase_ -= excess;
    gapJump_ = 0.0;
  }
  const double ds = std::fabs(s - streamBase_);
  const double dw = (now - wallBase_) * e;
  if (dw < 0.0) {
    lock_.Unlock();
    return kDeliverNothing;
  }
  const int32_t queuedMarks = marks_.Count();
  if (dw - d > ds) {
    if (queuedMarks < delay_ && dw - d - ds > 5.0 * e) {
      lock_.Unlock();
      return kDeliverNothing;
    }
  } else {
    if (queuedMarks < delay_ && ds - (dw - d) > 5.0 * e) {
      lock_.Unlock();
      return kDeliverNothing;
    }
    if (nextDue != nullptr) *nextDue = wallBase_ + (ds + d) / e;
    lock_.Unlock();
    return kDeliverNotDue;
  }

  // Due from the first instant at which (now - wall base) x e - d exceeds ds.
  deliveryDue_.store(wallBase_ + (ds + d) / e, std::memory_order_relaxed);

  const uint64_t epoch = epoch_;
  int32_t display = 0;
  const int32_t accepted =
      HandOutLocked(int64_t{deliveredCounter_} * 1000 / groupFrameCount_, &display);
  if (accepted < 0) {
    lock_.Unlock();
    return kDeliverNotDue;
  }
  // A Stop, Flush or new pool during the callback: the frame does not count into the new
  // state.
  if (epoch == epoch_) ++deliveredCounter_;
  lock_.Unlock();
  return (display != 0 && accepted != 0) ? kDeliverShown : kDeliverOther;
}

}  // namespace scheduler
