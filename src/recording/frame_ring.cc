#include "recording/frame_ring.h"

#include <cstring>
#include <new>

namespace {
// A position with fewer bytes than this before the end cannot hold a wrap marker and is a
// wrap point for both sides.
constexpr uint32_t kMarkerSize = 4;
// Looks at a taken mutex before sleeping on it: a few microseconds at most.
constexpr int32_t kLockSpins = 200;
}  // namespace

std::unique_ptr<CFrameRing> CFrameRing::Create(uint32_t capacity) {
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[capacity]);
  if (!buffer) return nullptr;
  return std::unique_ptr<CFrameRing>(new (std::nothrow) CFrameRing(capacity, std::move(buffer)));
}

CFrameRing::CFrameRing(uint32_t capacity, std::unique_ptr<uint8_t[]> buffer)
    : capacity_(capacity), buffer(std::move(buffer)), readPos(capacity) {}

CFrameRing::~CFrameRing() = default;

uint32_t CFrameRing::LoadU32(uint32_t offset) const {
  uint32_t value;
  std::memcpy(&value, buffer.get() + offset, sizeof(value));
  return value;
}

void CFrameRing::StoreU32(uint32_t offset, uint32_t value) {
  std::memcpy(buffer.get() + offset, &value, sizeof(value));
}

uint8_t* CFrameRing::Reserve(uint32_t size) {
  const uint64_t need = uint64_t{size} + kRecordHeaderSize;
  if (need > capacity_) return nullptr;
  LockRing();
  if (closed || pendingPut != -1) {
    mutex.Unlock();
    return nullptr;
  }
  // The free gap in front of the consumer is readPos - writePos; when the ring is empty
  // readPos is capacity and writePos 0, so the whole buffer is free.
  while (static_cast<int64_t>(need) >
         static_cast<int64_t>(readPos) - static_cast<int64_t>(writePos)) {
    if (readPos < writePos &&
        (need <= uint64_t{capacity_} - writePos || need <= uint64_t{readPos})) {
      break;  // room at the end, or at the start behind a wrap marker
    }
    // No room, and room comes only from the consumer: a napping one must not sleep
    // through this.
    if (consumerWaiting) WakeConsumer();
    producerWaiting = true;
    mutex.Unlock();
    spaceSignal.Acquire();
    LockRing();
    if (closed) {
      mutex.Unlock();
      return nullptr;
    }
  }
  if (uint64_t{capacity_} - writePos < need) {
    if (capacity_ - writePos >= kMarkerSize) StoreU32(writePos, kWrapMarker);
    writePos = 0;
  }
  pendingPut = static_cast<int32_t>(size);
  uint8_t* room = buffer.get() + writePos + kRecordHeaderSize;
  mutex.Unlock();
  return room;
}

int32_t CFrameRing::Commit(uint32_t size, uint32_t flag) {
  Hold hold(this);
  if (closed || pendingPut == -1) return 0;
  const uint32_t total = size + kRecordHeaderSize;
  StoreU32(writePos, total);
  StoreU32(writePos + 4, flag);
  writePos += total;
  // A position too close to the end for a wrap marker is where the consumer wraps anyway;
  // wrapping the producer there too lets the ring return to empty when the consumer
  // catches up.
  if (writePos >= capacity_ || capacity_ - writePos < kMarkerSize) writePos = 0;
  if (readPos == capacity_) readPos = 0;
  pendingPut = -1;
  ++queuedRecords;
  queuedHint.store(queuedRecords, std::memory_order_release);
  queuedBytes += total;
  if (consumerWaiting && ConsumerNeedsWaking()) WakeConsumer();
  return 1;
}

uint8_t* CFrameRing::Get(uint32_t* size, uint32_t* flag, bool wait) {
  // Nothing committed: the answer is known without the lock (a record committed just now is
  // found by the next look, as if this one had come a moment earlier).
  if (!wait && queuedHint.load(std::memory_order_acquire) == 0 &&
      !closedHint.load(std::memory_order_acquire)) {
    return nullptr;
  }
  LockRing();
  if (pendingGet != -1) {
    mutex.Unlock();
    return nullptr;
  }
  for (;;) {
    const bool available = readPos < capacity_ && (readPos != writePos || pendingPut == -1);
    if (available) break;
    if (closed) {
      mutex.Unlock();
      return ClosedResult();
    }
    if (!wait) {
      mutex.Unlock();
      return nullptr;
    }
    const bool nap = emptyNaps < kIdleNaps;
    consumerWaiting = true;
    consumerNapping = nap;
    mutex.Unlock();
    const bool signalled = nap ? dataSignal.Acquire(kNapMs) : dataSignal.Acquire();
    LockRing();
    const bool nowAvailable = readPos < capacity_ && (readPos != writePos || pendingPut == -1);
    if (!signalled) {
      // The nap ran out without a wake-up (a wake-up that lands just now leaves a spare
      // signal, which only makes the next wait return early).
      consumerWaiting = false;
      consumerNapping = false;
      if (!nowAvailable) ++emptyNaps;
    }
    if (closed && !nowAvailable) {
      mutex.Unlock();
      return ClosedResult();
    }
  }
  emptyNaps = 0;
  uint8_t* record = HandOut(size, flag);
  mutex.Unlock();
  return record;
}

uint8_t* CFrameRing::HandOut(uint32_t* size, uint32_t* flag) {
  const uint32_t total = LoadU32(readPos);
  pendingGet = static_cast<int32_t>(total);
  if (size != nullptr) *size = total - kRecordHeaderSize;
  if (flag != nullptr) *flag = LoadU32(readPos + 4);
  return buffer.get() + readPos + kRecordHeaderSize;
}

uint8_t* CFrameRing::ReleaseAndGet(uint32_t* size, uint32_t* flag) {
  Hold hold(this);
  if (pendingGet == -1) return nullptr;
  pendingGet = -1;
  Advance();
  if (readPos < capacity_ && (readPos != writePos || pendingPut == -1)) {
    emptyNaps = 0;
    return HandOut(size, flag);
  }
  return closed ? ClosedResult() : nullptr;
}

void CFrameRing::LockRing() {
  for (int32_t spin = 0; spin < kLockSpins; ++spin) {
    if (mutex.TryLock()) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  mutex.Lock();
}

void CFrameRing::Release(bool advance) {
  Hold hold(this);
  if (pendingGet == -1) return;
  pendingGet = -1;
  if (advance) Advance();
}

void CFrameRing::Advance() {
  const uint32_t total = LoadU32(readPos);
  if (queuedRecords > 0) --queuedRecords;
  queuedBytes -= total < queuedBytes ? total : queuedBytes;
  readPos += total;
  if (readPos >= capacity_ || capacity_ - readPos < kMarkerSize ||
      (readPos != writePos && LoadU32(readPos) == kWrapMarker)) {
    readPos = 0;
  }
  if (readPos == writePos && pendingPut == -1) {
    writePos = 0;
    readPos = capacity_;
    queuedRecords = 0;
    queuedBytes = 0;
  }
  queuedHint.store(queuedRecords, std::memory_order_release);
  if (producerWaiting) {
    producerWaiting = false;
    spaceSignal.Release();
  }
}

void CFrameRing::Close() {
  Hold hold(this);
  closed = true;
  closedHint.store(true, std::memory_order_release);
  if (producerWaiting) {
    producerWaiting = false;
    spaceSignal.Release();
  }
  if (consumerWaiting) WakeConsumer();
}

bool CFrameRing::ConsumerNeedsWaking() const {
  return !consumerNapping || queuedRecords >= kWakeRecords || queuedBytes * 2 >= capacity_;
}

void CFrameRing::WakeConsumer() {
  consumerWaiting = false;
  consumerNapping = false;
  dataSignal.Release();
}

uint32_t CFrameRing::WritePosForTest() {
  Hold hold(this);
  return writePos;
}

uint32_t CFrameRing::ReadPosForTest() {
  Hold hold(this);
  return readPos;
}
