// CFrameRing: a byte ring that carries variable-length frame records from one producer at a
// time (intake, serialised by its intake lock) to one consumer (a writer thread) without
// copying a record twice. The producer reserves room and fills it in place; the consumer
// reads the record in place and releases it afterwards. Each record is preceded by an 8-byte
// ring header (total length, flag) and is always contiguous: a record that does not fit
// before the end of the buffer goes to offset 0 behind a wrap marker.
//
// Waking a sleeping writer costs the host several microseconds per frame (tens of
// microseconds of CPU on both sides under virtualisation), so a consumer that finds the ring
// empty while records are flowing naps for a few milliseconds instead of sleeping until the
// next commit, and a commit wakes a napping consumer only when records pile up (most of the
// producers' slots, or half the buffer) or a producer needs room. A consumer that has found
// nothing for several naps in a row sleeps until the next commit, so a quiet or idle ring
// costs nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/mutex.h"
#include "platform/semaphore.h"
#include "platform/thread_annotations.h"

class CFrameRing {
 public:
  static constexpr uint32_t kRecordHeaderSize = 8;
  static constexpr uint32_t kWrapMarker = 0xFFFFFFFFu;
  // A napping consumer looks again after this long.
  static constexpr uint32_t kNapMs = 5;
  // Committed records that wake a napping consumer (the recorder's producers stop at 8).
  static constexpr uint32_t kWakeRecords = 6;
  // Empty naps in a row after which the consumer sleeps until the next commit.
  static constexpr uint32_t kIdleNaps = 4;

  // Allocates the buffer and resets the ring. Null when the buffer cannot be allocated.
  static std::unique_ptr<CFrameRing> Create(uint32_t capacity);
  virtual ~CFrameRing();
  CFrameRing(const CFrameRing&) = delete;
  CFrameRing& operator=(const CFrameRing&) = delete;

  // What Get returns once the ring is closed and empty: never null, never a record.
  static uint8_t* ClosedResult() { return reinterpret_cast<uint8_t*>(~uintptr_t{0}); }
  static bool IsClosedResult(const uint8_t* p) { return p == ClosedResult(); }

  // Room for `size` bytes, waiting until the consumer frees it; null when the record can
  // never fit, a record is already reserved or the ring is closed.
  uint8_t* Reserve(uint32_t size);
  // Publishes the reserved record. 1, or 0 when nothing is reserved or the ring is closed.
  int32_t Commit(uint32_t size, uint32_t flag);
  // The oldest record (its size and commit flag through the out-arguments); null when a
  // record is already handed out or, without wait, the ring is empty; ClosedResult() once
  // the ring is closed and empty.
  uint8_t* Get(uint32_t* size, uint32_t* flag, bool wait);
  // Ends the hand-out; with advance the record is removed.
  void Release(bool advance);
  // Removes the handed-out record and, under the same hold of the ring, hands out the next
  // one as Get without wait would: what a consumer going through a batch calls between
  // records.
  uint8_t* ReleaseAndGet(uint32_t* size, uint32_t* flag);
  // Every waiter wakes and every further operation fails.
  void Close();

  uint32_t capacity() const { return capacity_; }
  // For tests: the positions as the ring sees them.
  uint32_t WritePosForTest();
  uint32_t ReadPosForTest();

 private:
  // Holds the ring's mutex for a scope (taken with LockRing).
  class SCOPED_CAPABILITY Hold {
   public:
    explicit Hold(CFrameRing* ring) ACQUIRE(ring->mutex) : ring_(ring) { ring->LockRing(); }
    ~Hold() RELEASE() { ring_->mutex.Unlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    CFrameRing* const ring_;
  };

  explicit CFrameRing(uint32_t capacity, std::unique_ptr<uint8_t[]> buffer);
  // Takes the mutex. The producer and the consumer each hold it for a few dozen instructions
  // per record, so a side that finds it taken spins briefly: sleeping in the kernel and being
  // woken costs a thousand times more than the wait.
  void LockRing() ACQUIRE(mutex);
  // Hands out the record at readPos, which must be available.
  uint8_t* HandOut(uint32_t* size, uint32_t* flag) REQUIRES(mutex);
  void Advance() REQUIRES(mutex);
  // Whether a commit should wake the waiting consumer now.
  bool ConsumerNeedsWaking() const REQUIRES(mutex);
  void WakeConsumer() REQUIRES(mutex);
  uint32_t LoadU32(uint32_t offset) const;
  void StoreU32(uint32_t offset, uint32_t value);

  const uint32_t capacity_;
  const std::unique_ptr<uint8_t[]> buffer;
  platform::Mutex mutex;
  int32_t pendingPut GUARDED_BY(mutex) = -1;
  int32_t pendingGet GUARDED_BY(mutex) = -1;
  uint32_t writePos GUARDED_BY(mutex) = 0;
  uint32_t readPos GUARDED_BY(mutex);
  platform::Semaphore spaceSignal{0, 1};
  platform::Semaphore dataSignal{0, 1};
  bool producerWaiting GUARDED_BY(mutex) = false;
  bool consumerWaiting GUARDED_BY(mutex) = false;
  bool consumerNapping GUARDED_BY(mutex) = false;  // its wait ends by itself after kNapMs
  uint32_t emptyNaps GUARDED_BY(mutex) = 0;        // naps in a row that found nothing
  uint32_t queuedRecords GUARDED_BY(mutex) = 0;    // committed and not yet removed
  uint64_t queuedBytes GUARDED_BY(mutex) = 0;      // their total lengths
  bool closed GUARDED_BY(mutex) = false;
  // Copies of queuedRecords and closed that a consumer looking at an empty ring reads
  // without taking the mutex, which the producer needs for every record.
  std::atomic<uint32_t> queuedHint{0};
  std::atomic<bool> closedHint{false};
};
