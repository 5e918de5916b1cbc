// CFrameRing: a byte ring that carries variable-length frame records from one producer at a
// time (intake, serialised by its intake lock) to one consumer (a writer thread) without
// copying a record twice. The producer reserves room and fills it in place; the consumer
// reads the record in place and releases it afterwards. Each record is preceded by an 8-byte
// ring header (total length, flag) and is always contiguous: a record that does not fit
// before the end of the buffer goes to offset 0 behind a wrap marker.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/mutex.h"
#include "platform/semaphore.h"
#include "platform/thread_annotations.h"

class CFrameRing {
 public:
  static constexpr uint32_t kRecordHeaderSize = 8;
  static constexpr uint32_t kWrapMarker = 0xFFFFFFFFu;

  // Allocates the buffer and resets the ring. Null when the buffer cannot be allocated.
  static std::unique_ptr<CFrameRing> Create(uint32_t capacity);
  virtual ~CFrameRing();
  CFrameRing(const CFrameRing&) = delete;
  CFrameRing& operator=(const CFrameRing&) = delete;

  // What Get returns once the ring is closed and empty: never null, never a record.
  static uint8_t* ClosedResult() { return reinterpret_cast<uint8_t*>(~uintptr_t{0}); }
  static bool IsClosedResult(const uint8_t* p) { return p == ClosedResult(); }

  // Room for `size` bytes, or null. wait: block until space is freed; force: drop the oldest
  // records to make room.
  uint8_t* Reserve(uint32_t size, bool wait, bool force);
  // Publishes the reserved record. 1, or 0 when nothing is reserved or the ring is closed.
  int32_t Commit(uint32_t size, uint32_t flag);
  // The oldest record (its size and commit flag through the out-arguments); null when a
  // record is already handed out or, without wait, the ring is empty; ClosedResult() once
  // the ring is closed and empty.
  uint8_t* Get(uint32_t* size, uint32_t* flag, bool wait);
  // Ends the hand-out; with advance the record is removed.
  void Release(bool advance);
  // Every waiter wakes and every further operation fails.
  void Close();

  uint32_t capacity() const { return capacity_; }
  // For tests: the positions as the ring sees them.
  uint32_t WritePosForTest();
  uint32_t ReadPosForTest();

 private:
  explicit CFrameRing(uint32_t capacity, std::unique_ptr<uint8_t[]> buffer);
  void Advance() REQUIRES(mutex);
  uint32_t LoadU32(uint32_t offset) const;
  void StoreU32(uint32_t offset, uint32_t value);

  const uint32_t capacity_;
  const std::unique_ptr<uint8_t[]> buffer;
  platform::Mutex mutex;
  int32_t pendingPut GUARDED_BY(mutex) = -1;
  int32_t pendingGet GUARDED_BY(mutex) = -1;
  uint32_t writePos GUARDED_BY(mutex) = 0;
  uint32_t readPos GUARDED_BY(mutex);
  platform::Semaphore readToken{1, 1};
  platform::Semaphore spaceSignal{0, 1};
  platform::Semaphore dataSignal{0, 1};
  bool producerWaiting GUARDED_BY(mutex) = false;
  bool consumerWaiting GUARDED_BY(mutex) = false;
  bool putWait GUARDED_BY(mutex) = false;
  bool putForce GUARDED_BY(mutex) = false;
  bool closed GUARDED_BY(mutex) = false;
};
