#include "recording/frame_ring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>

namespace {

constexpr uint32_t kHeader = CFrameRing::kRecordHeaderSize;

class FrameRingTest : public ::testing::Test {
 protected:
  // Reserves (without waiting), fills with `fill` and commits one record; returns its offset
  // in the buffer (the position of its ring header), or -1.
  int64_t Put(CFrameRing& ring, uint32_t size, uint8_t fill, uint32_t flag = 0,
              bool force = false) {
    uint8_t* room = ring.Reserve(size, false, force);
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
  ASSERT_EQ(Put(*ring, 1000 - kHeader, 0x5A, 7), 0);
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
  ASSERT_EQ(Put(*ring, 52, 4), 0);
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
class FrameRingTailTest : public FrameRingTest, public ::testing::WithParamInterface<uint32_t> {
 protected:
  // A ring of 100 bytes holding two records, the second ending GetParam() bytes before the end.
  void SetUp() override {
    ASSERT_EQ(Put(*ring, 40 - kHeader, 1), 0);
    ASSERT_EQ(Put(*ring, secondSize_, 2), 40);
  }
  const uint32_t secondSize_ = 100 - GetParam() - 40 - kHeader;
  std::unique_ptr<CFrameRing> ring = CFrameRing::Create(100);
};

TEST_P(FrameRingTailTest, RecordEndingJustBeforeTheEndWrapsAndRingReturnsToEmpty) {
  EXPECT_EQ(ring->WritePosForTest(), 0u);
  Take(*ring, 40 - kHeader, 1);
  Take(*ring, secondSize_, 2);
  ExpectEmpty(*ring);
  // And it goes on working from offset 0.
  ASSERT_EQ(Put(*ring, 30, 3), 0);
  Take(*ring, 30, 3);
  ExpectEmpty(*ring);
}

TEST_P(FrameRingTailTest, ConsumerWrapsAtATailTooShortForAMarker) {
  Take(*ring, 40 - kHeader, 1);
  ASSERT_EQ(Put(*ring, 20, 3), 0);  // placed at the start while record 2 is still queued
  Take(*ring, secondSize_, 2);
  Take(*ring, 20, 3);
  ExpectEmpty(*ring);
}

INSTANTIATE_TEST_SUITE_P(TailBytes, FrameRingTailTest, ::testing::Values(1u, 2u, 3u));

TEST_F(FrameRingTest, ForcedReservationDropsTheOldestRecords) {
  auto ring = CFrameRing::Create(100);
  ASSERT_EQ(Put(*ring, 22, 1), 0);
  ASSERT_EQ(Put(*ring, 22, 2), 30);
  ASSERT_EQ(Put(*ring, 22, 3), 60);
  ASSERT_GE(Put(*ring, 52, 4, 0, /*force=*/true), 0);
  Take(*ring, 22, 3);
  Take(*ring, 52, 4);
  ExpectEmpty(*ring);
}

TEST_F(FrameRingTest, BlockedProducerAndConsumerAreReleasedByClose) {
  auto full = CFrameRing::Create(100);
  ASSERT_EQ(Put(*full, 42, 1), 0);
  ASSERT_EQ(Put(*full, 42, 2), 50);
  auto empty = CFrameRing::Create(100);
  auto producer = std::async(std::launch::async, [&] { return full->Reserve(42, true, false); });
  auto consumer = std::async(std::launch::async, [&] {
    uint32_t size = 0, flag = 0;
    return empty->Get(&size, &flag, true);
  });
  full->Close();
  empty->Close();
  ASSERT_EQ(producer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_EQ(consumer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(producer.get(), nullptr);
  EXPECT_TRUE(CFrameRing::IsClosedResult(consumer.get()));
  EXPECT_EQ(full->Reserve(1, false, false), nullptr);
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

}  // namespace
