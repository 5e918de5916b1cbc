// One paced queue of the frame scheduler. A producer stores whole frames with Enqueue; the
// pacing thread takes them out one at a time with Deliver, at the pace at which they were
// recorded scaled by the play rate, and hands each to the configured callback. Frames are
// grouped by recorded second: a group closes when a displayed frame with a new time stamp
// arrives, and the group's mark tells Deliver how many frames share that second. A producer
// that runs too far ahead waits in Enqueue on the space event. Owned by CFrameScheduler
// (one video and one audio queue).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/event.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "scheduler/chunk_pool.h"
#include "scheduler/formats.h"
#include "scheduler/frame_group_mark.h"
#include "scheduler/locked_ptr_queue.h"
#include "scheduler/pacing.h"
#include "scheduler/play_mode.h"

namespace scheduler {

// Receives a delivered frame: (channel, time, data, data length, second part, second-part
// length, display flag, context). Its result decides Deliver's 0 or 1.
using DeliverCallback = int32_t (*)(uint32_t channel, FrameTime time, const uint8_t* data,
                                    int32_t dataLength, const uint8_t* second, int32_t secondLength,
                                    int32_t display, void* context);

// What one Deliver did.
enum class DeliverResult {
  kNewBase,  // a new clock base was taken; nothing was handed out
  kNothing,  // nothing can be delivered now; the queue resynchronises
  kNotDue,   // the next frame is not due yet
  kShown,    // a displayed frame was handed out and accepted by the callback
  kOther,    // any other frame was handed out
};

class CFrameQueue {
 public:
  CFrameQueue();
  // Stops the queue (waking a blocked producer), frees the pool and every queued mark.
  ~CFrameQueue();
  CFrameQueue(const CFrameQueue&) = delete;
  CFrameQueue& operator=(const CFrameQueue&) = delete;

  // Stores the four values; the first call also creates the pool (threshold × 500 chunks of
  // 4096 bytes). false when the pool cannot be allocated.
  bool Configure(DeliverCallback callback, void* context, int32_t noBackPressure, int32_t threshold)
      EXCLUDES(lock_);

  // Stores one frame. 1 when stored; 0 when the queue is not running, a length is above
  // kMaxFrameDataLength or kMaxSecondLength, the lengths are inconsistent or the memory for
  // the frame cannot be had. May block (holding no lock) while the space event is reset.
  //
  // Frames with display flag 0 stored before the first displayed frame since Start or Flush
  // (what a decoder needs before the first picture), and frames stored with kDisplayLead at
  // any time (what a decoder needs before a channel's first picture after a seek), belong to
  // no group: Deliver hands each out, unpaced and with display 0, as soon as it reaches the
  // head of the queue.
  // With `generation` given, the frame is stored only while *generation still equals
  // `expected` when it is published (checked under the queue lock), so a frame read before
  // a flush of its owner never lands after it.
  int32_t Enqueue(uint32_t channel, platform::CTime time, const uint8_t* data, int32_t dataLength,
                  const uint8_t* second, int32_t secondLength, int32_t display, float rate,
                  const std::atomic<uint64_t>* generation = nullptr, uint64_t expected = 0)
      EXCLUDES(lock_, producerLock_);

  // How many groups (recorded seconds) the producer has closed so far. A change across an
  // Enqueue means the frames before it may have become deliverable.
  uint64_t GroupsClosed() const { return groupsClosed_.load(std::memory_order_relaxed); }
  // True (once) when a frame stored since the last call can be delivered at once without
  // a group (a decode-only frame before the first picture, or the first picture itself).
  bool TakeDeliverableAtOnce() {
    return deliverableAtOnce_.exchange(false, std::memory_order_relaxed);
  }

  // Closes the group still open, as if the first displayed frame of the next recorded second
  // (one second later, or earlier when rate is negative) had been stored: the producer has
  // nothing more to add, and without a closing mark the last second could not be paced.
  void CloseGroup(float rate) EXCLUDES(lock_);
  // True while frames are stored that Deliver has not yet handed out.
  bool HasFrames() const EXCLUDES(lock_);
  void Start() EXCLUDES(lock_);
  void Stop() EXCLUDES(lock_);
  void Flush() EXCLUDES(lock_);
  // Stop and Flush also give a pool that has grown back its memory: it is replaced by an
  // empty one of its configured size.

  // Delivers at most one frame that is due at `now` (seconds of the performance counter)
  // in `mode`, calling the callback with the queue lock released (pacing.h has the rule).
  // When nothing can be delivered the queue resynchronises: its next frame takes a new
  // clock base. When the result is kNotDue or kNewBase and nextDue is given, stores the
  // counter time at which the head frame falls due if nothing changes.
  DeliverResult Deliver(double now, const PlayMode& mode, double* nextDue = nullptr)
      EXCLUDES(lock_);

  // Inspection for the scheduler's tests and benchmarks.
  int32_t MarkCount() const { return marks_.Count(); }
  bool SpaceAvailable() const { return spaceEvent_.IsSet(); }
  int32_t PoolChunkCount() const EXCLUDES(lock_);
  // Producers inside Enqueue past its argument checks (waiting for space or storing).
  int32_t WaitingProducers() const { return producers_.load(); }
  // The counter time at which the frame now being (or last) handed to the callback fell due
  // by the pacing rule; read from inside the callback it measures that delivery's lateness.
  double DeliveryDueTime() const { return deliveryDue_.load(std::memory_order_relaxed); }

 private:
  // Outcome of one attempt to store a frame.
  enum class Store { kStored, kRefused, kAgain };
  // What HandOutLocked handed to the callback.
  enum class HandOut { kMissing, kShown, kOther };

  Store TryStore(const StoredFrameHead& head, uint8_t* staging, uint32_t length,
                 const uint8_t* data, const uint8_t* second, int32_t secondLength, int32_t display,
                 bool lead, float rate, const std::atomic<uint64_t>* generation, uint64_t expected)
      REQUIRES(producerLock_) EXCLUDES(lock_);
  DeliverResult DeliverLocked(double now, const PlayMode& mode, double* nextDue) REQUIRES(lock_);
  // Hands out the unpaced frames at the head of the queue; true when any went.
  bool HandOutLeadsLocked() REQUIRES(lock_);
  bool HeadIsUnpacedLocked() const REQUIRES(lock_);
  DeliverResult HandOutDueLocked(const PacingDecision& decision, double now) REQUIRES(lock_);
  void ResetPacingLocked() REQUIRES(lock_);
  // True while the pool holds its configured chunks and a closed second awaits delivery.
  bool PoolFullLocked() const REQUIRES(lock_);
  // Empties the pool and, when it has grown, replaces it by one of its configured size.
  void EmptyPoolLocked() REQUIRES(lock_);
  // Takes the record at the pool's head and hands it to the callback with the lock released
  // (held again on return).
  HandOut HandOutLocked(int64_t millisecond) REQUIRES(lock_);
  void DropMarksLocked() REQUIRES(lock_);
  // Closes the open group when a displayed frame with a new time stamp was stored, and
  // counts the frame into the group (an unpaced one into none).
  void CountStoredFrameLocked(platform::CTime time, int32_t display, bool unpaced, float rate)
      REQUIRES(lock_);
  // Queues the mark of the group just closed and holds the producer when enough are queued.
  void PushMarkLocked(FrameGroupMark* mark) REQUIRES(lock_);

  DeliverCallback callback_ GUARDED_BY(lock_) = nullptr;
  void* context_ GUARDED_BY(lock_) = nullptr;
  int32_t groupThreshold_ GUARDED_BY(lock_) = kDefaultGroupThreshold;
  int32_t noBackPressure_ GUARDED_BY(lock_) = 0;
  // Serialises producers. Taken before lock_, and never by the deliverer, so a producer
  // that loses the processor while copying a frame holds up no delivery.
  mutable platform::Mutex producerLock_ ACQUIRED_BEFORE(lock_);
  mutable platform::Mutex lock_;
  // Shared with a producer that is filling a reservation, so a new pool cannot free the
  // chunks under its copy.
  std::shared_ptr<CChunkPool> pool_ GUARDED_BY(lock_);
  CLockedPtrQueue marks_;
  std::unique_ptr<uint8_t[]> writeStaging_ GUARDED_BY(producerLock_);
  // Only the deliverer uses it; the callback reads from it with the lock released.
  std::unique_ptr<uint8_t[]> readStaging_;
  // A record longer than readStaging_ is read into a buffer of its own (deliverer only).
  std::unique_ptr<uint8_t[]> bigRead_;
  // Chunks of the pool as configured; a grown pool is given back at Stop and Flush.
  int32_t configuredChunks_ GUARDED_BY(lock_) = 0;
  // Unpaced frames stored and not yet handed out (see Enqueue).
  int32_t leadFrames_ GUARDED_BY(lock_) = 0;
  // Unpaced frames stored since the deliverer was last woken for them.
  int32_t leadsSinceWake_ GUARDED_BY(lock_) = 0;
  static constexpr int32_t kLeadWakeBatch = 16;
  bool shownSinceReset_ GUARDED_BY(lock_) = false;
  platform::CTime lastEnqueuedTime_ GUARDED_BY(lock_);
  std::atomic<uint64_t> groupsClosed_{0};
  std::atomic<bool> deliverableAtOnce_{false};
  int32_t enqueueCounter_ GUARDED_BY(lock_) = 0;
  PacingState pacing_ GUARDED_BY(lock_);
  platform::Event spaceEvent_;
  int32_t running_ GUARDED_BY(lock_) = 0;
  // Bumped by Start, Stop and Flush: a delivery whose callback ran across one of them does
  // not count itself into the new state.
  uint64_t epoch_ GUARDED_BY(lock_) = 0;
  std::atomic<int32_t> producers_{0};
  std::atomic<double> deliveryDue_{0.0};
};

}  // namespace scheduler
