// A consumer going through a batch with ReleaseAndGet sees the same records, in the same
// order and with the same contents, as one calling Release and Get for each.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>

#include "recording/frame_ring.h"

namespace {

// Commits a record of `size` bytes holding `value` in its first four bytes and `value`'s low
// byte everywhere else.
bool PutValue(CFrameRing& ring, uint32_t value, uint32_t size, bool wait) {
  uint8_t* room = ring.Reserve(size, wait, false);
  if (room == nullptr) return false;
  std::memset(room, static_cast<int>(value & 0xFF), size);
  std::memcpy(room, &value, sizeof(value));
  return ring.Commit(size, value) == 1;
}

// The value of a record, or -1 when its contents or flag do not match it.
int64_t ValueOf(const uint8_t* record, uint32_t size, uint32_t flag) {
  uint32_t value = 0;
  std::memcpy(&value, record, sizeof(value));
  if (flag != value) return -1;
  for (uint32_t i = sizeof(value); i < size; ++i) {
    if (record[i] != (value & 0xFF)) return -1;
  }
  return value;
}

uint32_t SizeFor(uint32_t value) { return 8 + (value * 37) % 300; }

TEST(FrameRingBatchTest, WalksQueuedRecordsInOrderThenReportsEmptyAndClosed) {
  auto ring = CFrameRing::Create(4096);
  ASSERT_TRUE(ring);
  for (uint32_t v = 1; v <= 5; ++v) ASSERT_TRUE(PutValue(*ring, v, SizeFor(v), false));
  uint32_t size = 0, flag = 0;
  uint8_t* record = ring->Get(&size, &flag, false);
  for (uint32_t v = 1; v <= 5; ++v) {
    ASSERT_NE(record, nullptr);
    ASSERT_FALSE(CFrameRing::IsClosedResult(record));
    ASSERT_EQ(size, SizeFor(v));
    EXPECT_EQ(ValueOf(record, size, flag), v);
    record = ring->ReleaseAndGet(&size, &flag);
  }
  EXPECT_EQ(record, nullptr);
  // The last record went with that call: the ring is empty again.
  EXPECT_EQ(ring->WritePosForTest(), 0u);
  EXPECT_EQ(ring->ReadPosForTest(), ring->capacity());
  EXPECT_EQ(ring->ReleaseAndGet(&size, &flag), nullptr);  // nothing handed out

  ASSERT_TRUE(PutValue(*ring, 9, 20, false));
  record = ring->Get(&size, &flag, false);
  ASSERT_NE(record, nullptr);
  ring->Close();
  EXPECT_TRUE(CFrameRing::IsClosedResult(ring->ReleaseAndGet(&size, &flag)));
  EXPECT_TRUE(CFrameRing::IsClosedResult(ring->Get(&size, &flag, false)));
}

// A producer waiting for room and a consumer going through batches, across many wraps of a
// small ring. Odd batches end by taking their last record with Release, even ones hand it
// back to be got again.
TEST(FrameRingBatchTest, StreamAcrossWrapsArrivesWhole) {
  constexpr uint32_t kRecords = 50000;
  auto ring = CFrameRing::Create(2048);
  ASSERT_TRUE(ring);
  auto producer = std::async(std::launch::async, [&] {
    for (uint32_t v = 0; v < kRecords; ++v) {
      if (!PutValue(*ring, v, SizeFor(v), true)) return v;
    }
    return kRecords;
  });
  auto consumer = std::async(std::launch::async, [&]() -> int64_t {
    uint32_t expected = 0;
    for (uint32_t batch = 0; expected < kRecords; ++batch) {
      uint32_t size = 0, flag = 0;
      uint8_t* record = ring->Get(&size, &flag, true);
      if (record == nullptr) return -1;
      for (int n = 0; n < 16 && record != nullptr; ++n) {
        if (CFrameRing::IsClosedResult(record)) return -1;
        if (size != SizeFor(expected) || ValueOf(record, size, flag) != expected) return expected;
        ++expected;
        if (n == 15 || expected == kRecords) break;
        record = ring->ReleaseAndGet(&size, &flag);
      }
      if (record == nullptr) continue;
      if (batch % 2 == 1 || expected == kRecords) {
        ring->Release(true);
      } else {
        ring->Release(false);  // handed out again by the next Get
        --expected;
      }
    }
    return expected;
  });
  ASSERT_EQ(producer.wait_for(std::chrono::seconds(120)), std::future_status::ready);
  ASSERT_EQ(consumer.wait_for(std::chrono::seconds(120)), std::future_status::ready);
  EXPECT_EQ(producer.get(), kRecords);
  EXPECT_EQ(consumer.get(), static_cast<int64_t>(kRecords));
  EXPECT_EQ(ring->WritePosForTest(), 0u);
  EXPECT_EQ(ring->ReadPosForTest(), ring->capacity());
}

}  // namespace
