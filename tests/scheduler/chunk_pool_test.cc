// Storage side of the frame scheduler: chunk pools, the marks queue and the stored record.
#include "scheduler/chunk_pool.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
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

TEST(LockedPtrQueueTest, DisabledRefusesEveryPush) {
  CLockedPtrQueue q;
  int item = 0;
  q.Disable();
  EXPECT_EQ(q.Push(&item), 0);
  EXPECT_EQ(q.Count(), 0);
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
