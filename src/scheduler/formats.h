// Byte layouts of the frame scheduler: the record a CFrameQueue stores in its chunk pool for
// each queued frame, and the FrameTime handed to the delivery callbacks. Every size the
// scheduler relies on is named here; no other file repeats these numbers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace scheduler {

static_assert(std::endian::native == std::endian::little,
              "stored frame records are little-endian and copied as host words");

// Bytes per chunk of a queue's pool, and chunks per unit of group threshold.
inline constexpr uint32_t kPoolChunkSize = 4096;
inline constexpr int32_t kChunksPerThresholdUnit = 500;
// A queue's group threshold when nothing else is configured (two queued seconds).
inline constexpr int32_t kDefaultGroupThreshold = 2;
// The marks queue accepts a push while it holds at most this many marks (so 101 at most).
inline constexpr int32_t kMarkQueueLimit = 100;
// A queue without back-pressure still holds its producer once it holds more than this many
// marks, so a long stretch with nothing delivered cannot grow its pool without limit.
inline constexpr int32_t kUnthrottledMarkLimit = 8;
// Size of the staging buffers in which records are composed and read back. A longer record
// is composed and read back through a buffer made for it alone.
inline constexpr uint32_t kStagingBufferSize = 512000;
// Largest data length the scheduler's enqueue operations accept: more than the longest
// frame a recorder stores (8 MiB of payload and its record's head).
inline constexpr int32_t kMaxFrameDataLength = 9 * 1024 * 1024;
// Largest second part the queues store (the playback's side block is 12 bytes).
inline constexpr int32_t kMaxSecondLength = 4096;

// The display flag a producer gives a frame that a decoder needs before its channel's
// first picture after a seek: decode-only (the callback sees display 0), in no group, and
// handed out as soon as it reaches the head of the queue, never at the pace of the second
// whose frames lie before it.
inline constexpr int32_t kDisplayLead = 2;

// Fixed head of a stored frame record. The data bytes follow it, then a 32-bit length of
// the second part, the second-part bytes and a 32-bit display flag.
struct __attribute__((packed)) StoredFrameHead {
  int32_t channel;
  uint32_t timeStamp;  // CTime seconds
  int32_t unpaced;     // 1: handed out once at the head, outside any group (a lead frame)
  int32_t dataLength;
};
static_assert(sizeof(StoredFrameHead) == 16);
static_assert(offsetof(StoredFrameHead, channel) == 0);
static_assert(offsetof(StoredFrameHead, timeStamp) == 4);
static_assert(offsetof(StoredFrameHead, unpaced) == 8);
static_assert(offsetof(StoredFrameHead, dataLength) == 12);

inline constexpr uint32_t kStoredFrameHeadSize = sizeof(StoredFrameHead);
inline constexpr uint32_t kSecondLengthSize = 4;
inline constexpr uint32_t kDisplayFlagSize = 4;
// Bytes a record adds to its data and second part: 24.
inline constexpr uint32_t kStoredFrameOverhead =
    kStoredFrameHeadSize + kSecondLengthSize + kDisplayFlagSize;
static_assert(kStoredFrameOverhead == 24);

// A parsed record; the pointers point into the buffer that was parsed.
struct StoredFrameView {
  StoredFrameHead head{};
  const uint8_t* data = nullptr;
  int32_t secondLength = 0;
  const uint8_t* second = nullptr;  // null when secondLength is 0
  int32_t display = 0;
};

// Length of the record for the given part lengths (64-bit, so no sum can wrap).
inline constexpr uint64_t StoredFrameLength(uint32_t dataLength, uint32_t secondLength) {
  return uint64_t{dataLength} + secondLength + kStoredFrameOverhead;
}

// Writes a record into out. Returns its length, or 0 when it does not fit in capacity.
inline size_t ComposeStoredFrame(uint8_t* out, size_t capacity, const StoredFrameHead& head,
                                 const uint8_t* data, const uint8_t* second, int32_t secondLength,
                                 int32_t display) {
  if (head.dataLength < 0 || secondLength < 0) return 0;
  const uint64_t total = StoredFrameLength(static_cast<uint32_t>(head.dataLength),
                                           static_cast<uint32_t>(secondLength));
  if (total > capacity) return 0;
  uint8_t* p = out;
  std::memcpy(p, &head, kStoredFrameHeadSize);
  p += kStoredFrameHeadSize;
  if (head.dataLength > 0) std::memcpy(p, data, static_cast<size_t>(head.dataLength));
  p += head.dataLength;
  std::memcpy(p, &secondLength, kSecondLengthSize);
  p += kSecondLengthSize;
  if (secondLength > 0) std::memcpy(p, second, static_cast<size_t>(secondLength));
  p += secondLength;
  std::memcpy(p, &display, kDisplayFlagSize);
  return static_cast<size_t>(total);
}

// Splits a record. Every length is checked against the record's size; false when they
// disagree.
inline bool ParseStoredFrame(const uint8_t* record, size_t length, StoredFrameView* view) {
  if (length < kStoredFrameOverhead) return false;
  std::memcpy(&view->head, record, kStoredFrameHeadSize);
  const int32_t dataLength = view->head.dataLength;
  if (dataLength < 0 || uint64_t(dataLength) > length - kStoredFrameOverhead) return false;
  size_t pos = kStoredFrameHeadSize;
  view->data = record + pos;
  pos += static_cast<size_t>(dataLength);
  std::memcpy(&view->secondLength, record + pos, kSecondLengthSize);
  pos += kSecondLengthSize;
  const int32_t secondLength = view->secondLength;
  if (secondLength < 0 || StoredFrameLength(static_cast<uint32_t>(dataLength),
                                            static_cast<uint32_t>(secondLength)) != length) {
    return false;
  }
  view->second = secondLength > 0 ? record + pos : nullptr;
  pos += static_cast<size_t>(secondLength);
  std::memcpy(&view->display, record + pos, kDisplayFlagSize);
  return true;
}

// Calendar time of a delivered frame, handed by value to the scheduler's callbacks.
struct __attribute__((packed)) FrameTime {
  uint16_t year;  // four digits
  uint8_t month;  // 1..12
  uint8_t day;
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
  uint8_t reserved;      // 0
  uint16_t millisecond;  // within the second; may reach 1000 or more past a group's end
  uint16_t unused;       // not set
};
static_assert(sizeof(FrameTime) == 12);
static_assert(offsetof(FrameTime, year) == 0);
static_assert(offsetof(FrameTime, month) == 2);
static_assert(offsetof(FrameTime, day) == 3);
static_assert(offsetof(FrameTime, hour) == 4);
static_assert(offsetof(FrameTime, minute) == 5);
static_assert(offsetof(FrameTime, second) == 6);
static_assert(offsetof(FrameTime, reserved) == 7);
static_assert(offsetof(FrameTime, millisecond) == 8);
static_assert(offsetof(FrameTime, unused) == 10);

}  // namespace scheduler
