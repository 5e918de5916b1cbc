#include "recording/frame_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kHeader = CFrameRing::kRecordHeaderSize;

class FrameRingTest : public ::testing::Test {
 protected:
  // Reserves, fills with `fill` and commits one record; returns its offset in the buffer
  // (the position of its ring header), or -1.
  int64_t Put(CFrameRing& ring, uint32_t size, uint8_t fill, uint32_t flag = 0) {
    uint8_t* room = ring.Reserve(size, false, false);
    if (room == nullptr) return -1;
    std::memset(room, fill, size);
    const uint32_t before = ring.WritePosForTest();
    EXPECT_EQ(ring.Commit(size, flag), 1);
    return before;
  }

  // Takes the oldest record, checks its size and contents, releases it.
  void Take(CFrameRing& ring, uint32_t size, uint8_t fill, uint32_t flag = 0) {
    uint32_t gotSize = 0;
    uint32_t gotFlag = 0;
    uint8_t* record = ring.Get(&gotSize, &gotFlag, false);
    ASSERT_NE(record, nullptr);
    ASSERT_FALSE(CFrameRing::IsClosedResult(record));
    ASSERT_EQ(gotSize, size);
    EXPECT_EQ(gotFlag, flag);
    for (uint32_t i = 0; i < size; ++i) ASSERT_EQ(record[i], fill) << "byte " << i;
    ring.Release(true);
  }

  void ExpectEmpty(CFrameRing& ring) {
    EXPECT_EQ(ring.WritePosForTest(), 0u);
    EXPECT_EQ(ring.ReadPosForTest(), ring.capacity());
    uint32_t size = 0, flag = 0;
    EXPECT_EQ(ring.Get(&size, &flag, false), nullptr);
  }
};

TEST_F(FrameRingTest, LargestRecordFitsAnEmptyRingAndOneMoreByteDoesNot) {
  auto ring = CFrameRing::Create(1000);
  ASSERT_TRUE(ring);
  EXPECT_EQ(ring->Reserve(1000 - 7, true, true), nullptr);  // refused at once, even waiting
  uint8_t* room = ring->Reserve(1000 - kHeader, false, false);
  ASSERT_NE(room, nullptr);
  std::memset(room, 0x5A, 1000 - kHeader);
  ASSERT_EQ(ring->Commit(1000 - kHeader, 7), 1);
  Take(*ring, 1000 - kHeader, 0x5A, 7);
  ExpectEmpty(*ring);
}

TEST_F(FrameRingTest, SecondReservationWhilePendingAndCommitWithoutReservationFail) {
  auto ring = CFrameRing::Create(256);
  EXPECT_EQ(ring->Commit(10, 0), 0);
  ASSERT_NE(ring->Reserve(10, false, false), nullptr);
  EXPECT_EQ(ring->Reserve(10, false, false), nullptr);
  EXPECT_EQ(ring->Commit(10, 0), 1);
}

TEST_F(FrameRingTest, RecordThatDoesNotFitAtTheEndGoesToTheStartBehindAWrapMarker) {
  auto ring = CFrameRing::Create(200);
  ASSERT_EQ(Put(*ring, 52, 1), 0);    // 0..60
  ASSERT_EQ(Put(*ring, 52, 2), 60);   // 60..120
  ASSERT_EQ(Put(*ring, 52, 3), 120);  // 120..180
  Take(*ring, 52, 1);
  Take(*ring, 52, 2);
  // 20 bytes remain at the end; 60 are needed, 120 are free at the start.
  uint8_t* room = ring->Reserve(52, false, false);
  ASSERT_NE(room, nullptr);
  std::memset(room, 4, 52);
  ASSERT_EQ(ring->Commit(52, 0), 1);
  EXPECT_EQ(ring->WritePosForTest(), 60u);
  // Read-back order: the record before the marker, then the wrapped one.
  Take(*ring, 52, 3);
  Take(*ring, 52, 4);
  ExpectEmpty(*ring);
}

TEST_F(FrameRingTest, FullRingRefusesWithoutWaitAndGetWhileHandedOutReturnsNull) {
  auto ring = CFrameRing::Create(100);
  ASSERT_EQ(Put(*ring, 42, 1), 0);
  ASSERT_EQ(Put(*ring, 42, 2), 50);  // exactly full: writePos wrapped to readPos
  EXPECT_EQ(ring->Reserve(1, false, false), nullptr);
  uint32_t size = 0, flag = 0;
  uint8_t* first = ring->Get(&size, &flag, true);
  ASSERT_NE(first, nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ring->Get(&size, &flag, true), nullptr);  // no wait while one is handed out
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ring->Release(true);
  Take(*ring, 42, 2);
  ExpectEmpty(*ring);
}

// A committed record that leaves fewer than 4 bytes before the end wraps the producer to 0,
// so a consumer that catches up finds the ring empty instead of reading old records again.
class FrameRingTailTest : public FrameRingTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(FrameRingTailTest, RecordEndingJustBeforeTheEndWrapsAndRingReturnsToEmpty) {
  const uint32_t capacity = 100;
  const uint32_t end = capacity - GetParam();
  auto ring = CFrameRing::Create(capacity);
  ASSERT_EQ(Put(*ring, 40 - kHeader, 1), 0);
  ASSERT_EQ(Put(*ring, end - 40 - kHeader, 2), 40);
  EXPECT_EQ(ring->WritePosForTest(), 0u);
  Take(*ring, 40 - kHeader, 1);
  Take(*ring, end - 40 - kHeader, 2);
  ExpectEmpty(*ring);
  // And it goes on working from offset 0.
  ASSERT_EQ(Put(*ring, 30, 3), 0);
  Take(*ring, 30, 3);
  ExpectEmpty(*ring);
}

TEST_P(FrameRingTailTest, ConsumerWrapsAtATailTooShortForAMarker) {
  const uint32_t capacity = 100;
  const uint32_t end = capacity - GetParam();
  auto ring = CFrameRing::Create(capacity);
  ASSERT_EQ(Put(*ring, 40 - kHeader, 1), 0);
  ASSERT_EQ(Put(*ring, end - 40 - kHeader, 2), 40);
  Take(*ring, 40 - kHeader, 1);
  ASSERT_EQ(Put(*ring, 20, 3), 0);  // placed at the start while record 2 is still queued
  Take(*ring, end - 40 - kHeader, 2);
  Take(*ring, 20, 3);
  ExpectEmpty(*ring);
}

INSTANTIATE_TEST_SUITE_P(TailBytes, FrameRingTailTest, ::testing::Values(1u, 2u, 3u));

TEST_F(FrameRingTest, ForcedReservationDropsTheOldestRecords) {
  auto ring = CFrameRing::Create(100);
  ASSERT_EQ(Put(*ring, 22, 1), 0);
  ASSERT_EQ(Put(*ring, 22, 2), 30);
  ASSERT_EQ(Put(*ring, 22, 3), 60);
  uint8_t* room = ring->Reserve(52, false, true);
  ASSERT_NE(room, nullptr);
  std::memset(room, 4, 52);
  ASSERT_EQ(ring->Commit(52, 0), 1);
  Take(*ring, 22, 3);
  Take(*ring, 52, 4);
  ExpectEmpty(*ring);
}

class FrameRingWaitTest : public FrameRingTest {
 protected:
  // Starts a producer that waits for room for `size` bytes; `result` becomes 1 when it
  // got room, 2 when it was refused.
  std::thread StartWaitingProducer(CFrameRing& ring, uint32_t size, std::atomic<int>& result) {
    return std::thread([&ring, size, &result] {
      uint8_t* room = ring.Reserve(size, true, false);
      if (room != nullptr) ring.Commit(size, 0);
      result = room != nullptr ? 1 : 2;
    });
  }
  static bool WaitFor(const std::atomic<int>& value, int expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (value.load() != expected) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
};

TEST_F(FrameRingWaitTest, BlockedProducerIsReleasedByRelease) {
  auto ring = CFrameRing::Create(100);
  ASSERT_EQ(Put(*ring, 42, 1), 0);
  ASSERT_EQ(Put(*ring, 42, 2), 50);
  std::atomic<int> result{0};
  std::thread producer = StartWaitingProducer(*ring, 42, result);
  EXPECT_EQ(result.load(), 0);
  Take(*ring, 42, 1);
  EXPECT_TRUE(WaitFor(result, 1));
  producer.join();
  Take(*ring, 42, 2);
  uint32_t size = 0, flag = 0;
  EXPECT_NE(ring->Get(&size, &flag, false), nullptr);  // the producer's record
}

TEST_F(FrameRingWaitTest, BlockedProducerAndConsumerAreReleasedByClose) {
  auto ring = CFrameRing::Create(100);
  ASSERT_EQ(Put(*ring, 42, 1), 0);
  ASSERT_EQ(Put(*ring, 42, 2), 50);
  std::atomic<int> result{0};
  std::thread producer = StartWaitingProducer(*ring, 42, result);
  ring->Close();
  EXPECT_TRUE(WaitFor(result, 2));
  producer.join();
  EXPECT_EQ(ring->Reserve(1, false, false), nullptr);

  auto empty = CFrameRing::Create(100);
  std::atomic<int> got{0};
  std::thread consumer([&] {
    uint32_t size = 0, flag = 0;
    got = CFrameRing::IsClosedResult(empty->Get(&size, &flag, true)) ? 2 : 1;
  });
  empty->Close();
  EXPECT_TRUE(WaitFor(got, 2));
  consumer.join();
}

TEST_F(FrameRingTest, ClosedRingStillDeliversQueuedRecordsThenReportsClosed) {
  auto ring = CFrameRing::Create(100);
  ASSERT_EQ(Put(*ring, 10, 9), 0);
  uint8_t* room = ring->Reserve(10, false, false);
  ASSERT_NE(room, nullptr);
  ring->Close();
  EXPECT_EQ(ring->Commit(10, 0), 0);
  Take(*ring, 10, 9);
  uint32_t size = 0, flag = 0;
  EXPECT_TRUE(CFrameRing::IsClosedResult(ring->Get(&size, &flag, true)));
}

// One producer and one consumer, random sizes: every record arrives once, intact, in order.
TEST(FrameRingStressTest, HundredThousandRecordsArriveIntactAndInOrder) {
  constexpr uint32_t kRecords = 100000;
  auto ring = CFrameRing::Create(4096);
  std::atomic<bool> failed{false};
  std::thread producer([&] {
    std::mt19937 random(12345);
    for (uint32_t n = 0; n < kRecords; ++n) {
      const uint32_t size = 4 + random() % 700;
      uint8_t* room = ring->Reserve(size, true, false);
      if (room == nullptr) {
        failed = true;
        return;
      }
      std::memcpy(room, &n, 4);
      for (uint32_t i = 4; i < size; ++i) room[i] = static_cast<uint8_t>(n * 31 + i);
      ring->Commit(size, n & 0xFF);
    }
  });
  std::mt19937 random(12345);
  uint32_t received = 0;
  for (; received < kRecords; ++received) {
    const uint32_t expectedSize = 4 + random() % 700;
    uint32_t size = 0, flag = 0;
    uint8_t* record = ring->Get(&size, &flag, true);
    ASSERT_NE(record, nullptr);
    ASSERT_FALSE(CFrameRing::IsClosedResult(record));
    ASSERT_EQ(size, expectedSize) << "record " << received;
    ASSERT_EQ(flag, received & 0xFF);
    uint32_t number;
    std::memcpy(&number, record, 4);
    ASSERT_EQ(number, received);
    for (uint32_t i = 4; i < size; ++i) {
      ASSERT_EQ(record[i], static_cast<uint8_t>(received * 31 + i)) << "record " << received;
    }
    ring->Release(true);
  }
  producer.join();
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(received, kRecords);
  EXPECT_EQ(ring->WritePosForTest(), 0u);
  EXPECT_EQ(ring->ReadPosForTest(), ring->capacity());
}

}  // namespace
