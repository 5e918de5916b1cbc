// Storage side of the frame scheduler: chunk pools, the marks queue and the stored record.
#include "scheduler/chunk_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "scheduler/formats.h"
#include "scheduler/locked_ptr_queue.h"

namespace scheduler {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

class ChunkPoolTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> ReadOne(CChunkPool& pool, int32_t* result) {
    std::vector<uint8_t> out(kStagingBufferSize);
    uint32_t length = static_cast<uint32_t>(out.size());
    *result = pool.Read(out.data(), &length);
    out.resize(*result ? length : 0);
    return out;
  }
};

TEST_F(ChunkPoolTest, ZeroLengthRecordTakesOneChunkAndReadsBackEmpty) {
  CChunkPool pool(kPoolChunkSize, 4);
  ASSERT_EQ(pool.Write(nullptr, 0, 0), 1);
  EXPECT_EQ(pool.UsedCount(), 1);
  EXPECT_EQ(pool.FreeCount(), 3);
  int32_t result = 0;
  EXPECT_TRUE(ReadOne(pool, &result).empty());
  EXPECT_EQ(result, 1);
  EXPECT_EQ(pool.HasData(), 0);
  EXPECT_EQ(pool.Read(nullptr, nullptr), 0);
}

TEST_F(ChunkPoolTest, ChunkBoundaries) {
  CChunkPool pool(kPoolChunkSize, 8);
  const auto exact = Pattern(4096, 1);
  const auto over = Pattern(4097, 2);
  ASSERT_EQ(pool.Write(exact.data(), 4096, 0), 1);
  EXPECT_EQ(pool.UsedCount(), 1);
  ASSERT_EQ(pool.Write(over.data(), 4097, 0), 1);
  EXPECT_EQ(pool.UsedCount(), 3);
  int32_t result = 0;
  EXPECT_EQ(ReadOne(pool, &result), exact);
  EXPECT_EQ(ReadOne(pool, &result), over);
  EXPECT_EQ(pool.FreeCount(), 8);
}

TEST_F(ChunkPoolTest, KeepsOneSpareChunkSoExactFitGrowsFirst) {
  CChunkPool pool(kPoolChunkSize, 2);
  const auto rec = Pattern(2 * 4096, 3);
  // Two free chunks are exactly what the record fills: without grow it is refused.
  EXPECT_EQ(pool.Write(rec.data(), static_cast<uint32_t>(rec.size()), 0), 0);
  EXPECT_EQ(pool.ChunkCount(), 2);
  ASSERT_EQ(pool.Write(rec.data(), static_cast<uint32_t>(rec.size()), 1), 1);
  EXPECT_EQ(pool.ChunkCount(), 4);  // grew by the growth step
  EXPECT_EQ(pool.FreeCount(), 2);
  EXPECT_EQ(pool.UsedCount(), 2);
}

TEST_F(ChunkPoolTest, ResetAfterGrowthFreesTheWholeRing) {
  CChunkPool pool(kPoolChunkSize, 3);
  const auto rec = Pattern(10 * 4096, 4);
  ASSERT_EQ(pool.Write(rec.data(), static_cast<uint32_t>(rec.size()), 1), 1);
  ASSERT_GT(pool.ChunkCount(), 10);
  pool.Reset();
  EXPECT_EQ(pool.UsedCount(), 0);
  EXPECT_EQ(pool.FreeCount(), pool.ChunkCount());
  EXPECT_EQ(pool.HasData(), 0);
  const auto small = Pattern(100, 5);
  ASSERT_EQ(pool.Write(small.data(), 100, 0), 1);
  int32_t result = 0;
  EXPECT_EQ(ReadOne(pool, &result), small);
}

TEST_F(ChunkPoolTest, TooSmallDestinationDropsTheRecordWithoutOverrun) {
  CChunkPool pool(kPoolChunkSize, 4);
  const auto a = Pattern(5000, 6);
  const auto b = Pattern(10, 7);
  ASSERT_EQ(pool.Write(a.data(), 5000, 1), 1);
  ASSERT_EQ(pool.Write(b.data(), 10, 1), 1);
  std::vector<uint8_t> small(4096);
  uint32_t capacity = 4096;
  EXPECT_EQ(pool.Read(small.data(), &capacity), 0);
  int32_t result = 0;
  EXPECT_EQ(ReadOne(pool, &result), b);
}

// Records of random sizes written and read in random interleaving, with growth on the way,
// come out intact and in order.
TEST_F(ChunkPoolTest, RandomisedAgainstReferenceQueue) {
  CChunkPool pool(512, 4);
  std::mt19937 rng(12345);
  std::deque<std::vector<uint8_t>> reference;
  for (int step = 0; step < 4000; ++step) {
    if (reference.empty() || rng() % 5 < 3) {
      const size_t len = rng() % 4 == 0 ? rng() % 3 : rng() % 3000;
      auto rec = Pattern(len, static_cast<uint8_t>(rng()));
      ASSERT_EQ(pool.Write(rec.data(), static_cast<uint32_t>(len), 1), 1);
      reference.push_back(std::move(rec));
    } else {
      int32_t result = 0;
      ASSERT_EQ(ReadOne(pool, &result), reference.front()) << "step " << step;
      ASSERT_EQ(result, 1);
      reference.pop_front();
    }
    ASSERT_EQ(pool.FreeCount() + pool.UsedCount(), pool.ChunkCount());
    ASSERT_GE(pool.FreeCount(), 1);
  }
  while (!reference.empty()) {
    int32_t result = 0;
    ASSERT_EQ(ReadOne(pool, &result), reference.front());
    reference.pop_front();
  }
  EXPECT_EQ(pool.HasData(), 0);
}

// The three-step write a queue's producer uses to copy without holding the reader up.
TEST_F(ChunkPoolTest, ReservedRecordIsInvisibleUntilCommitted) {
  CChunkPool pool(kPoolChunkSize, 4);
  const auto first = Pattern(100, 1);
  const auto second = Pattern(5000, 2);
  ASSERT_EQ(pool.Write(first.data(), 100, 0), 1);
  CChunkPool::Reservation r;
  int32_t missing = 0;
  ASSERT_EQ(pool.Reserve(5000, &r, &missing), 1);
  EXPECT_EQ(pool.FreeCount(), 1);
  pool.Fill(r, second.data());
  int32_t result = 0;
  EXPECT_EQ(ReadOne(pool, &result), first);
  // The reserved chunks follow the read cursor now, but hold nothing readable yet.
  EXPECT_EQ(pool.HasData(), 0);
  EXPECT_TRUE(ReadOne(pool, &result).empty());
  EXPECT_EQ(result, 0);
  ASSERT_EQ(pool.Commit(r), 1);
  EXPECT_EQ(ReadOne(pool, &result), second);
  EXPECT_EQ(pool.FreeCount(), 4);
}

TEST_F(ChunkPoolTest, ReserveReportsTheChunksToGrowBy) {
  CChunkPool pool(kPoolChunkSize, 2);
  CChunkPool::Reservation r;
  int32_t missing = 0;
  EXPECT_EQ(pool.Reserve(3 * 4096 + 1, &r, &missing), 0);
  EXPECT_EQ(missing, 3);  // four chunks and the spare, two free
  ASSERT_TRUE(pool.Grow(missing));
  EXPECT_EQ(pool.ChunkCount(), 5);  // the larger of the growth step and what was missing
  EXPECT_EQ(pool.Reserve(3 * 4096 + 1, &r, &missing), 1);
  EXPECT_EQ(pool.FreeCount(), 1);
}

TEST_F(ChunkPoolTest, ResetVoidsAReservationAndCancelReturnsOne) {
  CChunkPool pool(kPoolChunkSize, 6);
  const auto a = Pattern(6000, 3);
  const auto b = Pattern(300, 4);
  CChunkPool::Reservation r;
  ASSERT_EQ(pool.Reserve(6000, &r, nullptr), 1);
  pool.Fill(r, a.data());
  pool.Reset();
  EXPECT_EQ(pool.Commit(r), 0);
  EXPECT_FALSE(pool.Cancel(r));
  EXPECT_EQ(pool.HasData(), 0);
  EXPECT_EQ(pool.FreeCount(), 6);

  // A cancelled reservation leaves the pool as if it had never been made.
  ASSERT_EQ(pool.Reserve(6000, &r, nullptr), 1);
  EXPECT_TRUE(pool.Cancel(r));
  EXPECT_EQ(pool.FreeCount(), 6);
  ASSERT_EQ(pool.Write(b.data(), 300, 0), 1);
  ASSERT_EQ(pool.Write(a.data(), 6000, 0), 1);
  int32_t result = 0;
  EXPECT_EQ(ReadOne(pool, &result), b);
  EXPECT_EQ(ReadOne(pool, &result), a);
}

// A reader on another thread sees every record whole and in order while the writer copies
// with no lock held and grows the ring as it goes.
TEST_F(ChunkPoolTest, ConcurrentReaderSeesWholeRecordsInOrder) {
  CChunkPool pool(1024, 4);
  constexpr int kRecords = 3000;
  std::thread writer([&] {
    std::mt19937 rng(99);
    for (int i = 0; i < kRecords; ++i) {
      auto rec = Pattern(4 + rng() % 6000, static_cast<uint8_t>(i));
      std::memcpy(rec.data(), &i, sizeof(i));
      ASSERT_EQ(pool.Write(rec.data(), static_cast<uint32_t>(rec.size()), 1), 1);
    }
  });
  int next = 0;
  std::vector<uint8_t> buffer(8192);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (next < kRecords && std::chrono::steady_clock::now() < deadline) {
    uint32_t length = static_cast<uint32_t>(buffer.size());
    if (pool.Read(buffer.data(), &length) == 0) {
      std::this_thread::yield();
      continue;
    }
    const std::vector<uint8_t> rec(buffer.begin(), buffer.begin() + length);
    ASSERT_GE(rec.size(), 4u);
    int index = -1;
    std::memcpy(&index, rec.data(), sizeof(index));
    ASSERT_EQ(index, next);
    auto expected = Pattern(rec.size(), static_cast<uint8_t>(index));
    std::memcpy(expected.data(), &index, sizeof(index));
    ASSERT_EQ(rec, expected) << "record " << index;
    ++next;
  }
  writer.join();
  EXPECT_EQ(next, kRecords);
}

TEST(LockedPtrQueueTest, LimitAcceptsOneMoreThenRefuses) {
  CLockedPtrQueue q;
  q.SetLimit(100);
  std::vector<int> items(102);
  for (int i = 0; i < 101; ++i) ASSERT_EQ(q.Push(&items[i]), 1) << i;
  EXPECT_EQ(q.Push(&items[101]), 0);
  EXPECT_EQ(q.Count(), 101);
  for (int i = 0; i < 101; ++i) ASSERT_EQ(q.Pop(), &items[i]);
  EXPECT_EQ(q.Pop(), nullptr);
}

TEST(StoredFrameTest, GoldenBytes) {
  StoredFrameHead head{};
  head.channel = 5;
  head.timeStamp = 0x11223344;
  head.groupIndex = 2;
  head.dataLength = 3;
  const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
  const uint8_t second[2] = {0x01, 0x02};
  uint8_t out[64];
  ASSERT_EQ(ComposeStoredFrame(out, sizeof(out), head, data, second, 2, 1), 29u);
  const uint8_t expected[29] = {5, 0, 0, 0,    0x44, 0x33, 0x22, 0x11, 2,    0,
                                0, 0, 3, 0,    0,    0,    0xAA, 0xBB, 0xCC, 2,
                                0, 0, 0, 0x01, 0x02, 1,    0,    0,    0};
  EXPECT_EQ(std::vector<uint8_t>(out, out + 29), std::vector<uint8_t>(expected, expected + 29));

  StoredFrameView view;
  ASSERT_TRUE(ParseStoredFrame(out, 29, &view));
  EXPECT_EQ(view.head.timeStamp, 0x11223344);
  EXPECT_EQ(view.secondLength, 2);
  EXPECT_EQ(view.second[1], 0x02);
  EXPECT_EQ(view.display, 1);
  // Lengths that disagree with the record's size are rejected, not followed.
  EXPECT_FALSE(ParseStoredFrame(out, 28, &view));
  EXPECT_FALSE(ParseStoredFrame(out, 23, &view));
  out[12] = 0xFF;
  EXPECT_FALSE(ParseStoredFrame(out, 29, &view));
  // A record one byte over the capacity is not composed.
  EXPECT_EQ(ComposeStoredFrame(out, 28, head, data, second, 2, 1), 0u);
}

}  // namespace
}  // namespace scheduler
