#include "recording/frame_ring.h"

#include <cstring>
#include <new>

namespace {
// A position with fewer bytes than this before the end cannot hold a wrap marker and is a
// wrap point for both sides.
constexpr uint32_t kMarkerSize = 4;
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

uint8_t* CFrameRing::Reserve(uint32_t size, bool wait, bool force) {
  const uint64_t need = uint64_t{size} + kRecordHeaderSize;
  if (need > capacity_) return nullptr;
  mutex.Lock();
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
    // No room.
    if (force) {
      if (pendingGet != -1) {
        // The oldest record is handed out: wait until the consumer gives it back.
        mutex.Unlock();
        readToken.Acquire();
        readToken.Release();
        mutex.Lock();
        if (closed) {
          mutex.Unlock();
          return nullptr;
        }
      } else {
        Advance();
      }
    } else if (wait) {
      // Room comes only from the consumer: a napping one must not sleep through this.
      if (consumerWaiting) WakeConsumer();
      producerWaiting = true;
      mutex.Unlock();
      spaceSignal.Acquire();
      mutex.Lock();
      if (closed) {
        mutex.Unlock();
        return nullptr;
      }
    } else {
      mutex.Unlock();
      return nullptr;
    }
  }
  if (uint64_t{capacity_} - writePos < need) {
    if (capacity_ - writePos >= kMarkerSize) StoreU32(writePos, kWrapMarker);
    writePos = 0;
  }
  pendingPut = static_cast<int32_t>(size);
  putWait = wait;
  putForce = force;
  uint8_t* room = buffer.get() + writePos + kRecordHeaderSize;
  mutex.Unlock();
  return room;
}

int32_t CFrameRing::Commit(uint32_t size, uint32_t flag) {
  platform::MutexLock hold(&mutex);
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
  queuedBytes += total;
  if (consumerWaiting && ConsumerNeedsWaking()) WakeConsumer();
  return 1;
}

uint8_t* CFrameRing::Get(uint32_t* size, uint32_t* flag, bool wait) {
  mutex.Lock();
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
    mutex.Lock();
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
  readToken.Acquire();
  const uint32_t total = LoadU32(readPos);
  pendingGet = static_cast<int32_t>(total);
  if (size != nullptr) *size = total - kRecordHeaderSize;
  if (flag != nullptr) *flag = LoadU32(readPos + 4);
  uint8_t* record = buffer.get() + readPos + kRecordHeaderSize;
  mutex.Unlock();
  return record;
}

void CFrameRing::Release(bool advance) {
  platform::MutexLock hold(&mutex);
  if (pendingGet == -1) return;
  pendingGet = -1;
  readToken.Release();
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
  if (producerWaiting) {
    producerWaiting = false;
    spaceSignal.Release();
  }
}

void CFrameRing::Close() {
  platform::MutexLock hold(&mutex);
  closed = true;
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
  platform::MutexLock hold(&mutex);
  return writePos;
}

uint32_t CFrameRing::ReadPosForTest() {
  platform::MutexLock hold(&mutex);
  return readPos;
}
