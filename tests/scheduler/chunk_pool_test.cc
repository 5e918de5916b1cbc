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

// An empty record still takes a chunk; a record one byte over a chunk takes two.
TEST_F(ChunkPoolTest, RecordsTakeWholeChunksAndReadBackIntact) {
  CChunkPool pool(kPoolChunkSize, 8);
  for (const auto& [length, chunks] : {std::pair<size_t, int>{0, 1}, {4096, 1}, {4097, 2}}) {
    const auto rec = Pattern(length, static_cast<uint8_t>(length));
    ASSERT_EQ(pool.Write(rec.data(), static_cast<uint32_t>(length), 0), 1);
    EXPECT_EQ(pool.UsedCount(), chunks) << length;
    int32_t result = 0;
    EXPECT_EQ(ReadOne(pool, &result), rec) << length;
    EXPECT_EQ(result, 1);
    EXPECT_EQ(pool.FreeCount(), 8);
  }
  EXPECT_EQ(pool.HasData(), 0);
  EXPECT_EQ(pool.Read(nullptr, nullptr), 0);
}

// One chunk always stays free, so a record that would fill every free chunk grows the ring
// first: by the growth step, or by what is missing when that is more.
TEST_F(ChunkPoolTest, KeepsOneSpareChunkSoExactFitGrowsFirst) {
  CChunkPool pool(kPoolChunkSize, 2);
  const auto rec = Pattern(2 * 4096, 3);
  EXPECT_EQ(pool.Write(rec.data(), static_cast<uint32_t>(rec.size()), 0), 0);
  EXPECT_EQ(pool.ChunkCount(), 2);
  ASSERT_EQ(pool.Write(rec.data(), static_cast<uint32_t>(rec.size()), 1), 1);
  EXPECT_EQ(pool.ChunkCount(), 4);  // grew by the growth step
  EXPECT_EQ(pool.FreeCount(), 2);

  CChunkPool::Reservation r;
  int32_t missing = 0;
  EXPECT_EQ(pool.Reserve(3 * 4096 + 1, &r, &missing), 0);
  EXPECT_EQ(missing, 3);  // four chunks and the spare, two free
  ASSERT_TRUE(pool.Grow(missing));
  EXPECT_EQ(pool.ChunkCount(), 7);
  EXPECT_EQ(pool.Reserve(3 * 4096 + 1, &r, &missing), 1);
  EXPECT_EQ(pool.FreeCount(), 1);
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

TEST_F(ChunkPoolTest, ResetFreesTheGrownRingAndVoidsAReservation) {
  CChunkPool pool(kPoolChunkSize, 3);
  const auto a = Pattern(6000, 3);
  const auto b = Pattern(300, 4);
  const auto big = Pattern(10 * 4096, 5);
  CChunkPool::Reservation r;
  ASSERT_EQ(pool.Reserve(300, &r, nullptr), 1);
  pool.Fill(r, b.data());
  ASSERT_EQ(pool.Write(big.data(), static_cast<uint32_t>(big.size()), 1), 1);
  ASSERT_GT(pool.ChunkCount(), 11);
  pool.Reset();
  EXPECT_EQ(pool.Commit(r), 0);
  EXPECT_FALSE(pool.Cancel(r));
  EXPECT_EQ(pool.HasData(), 0);
  EXPECT_EQ(pool.FreeCount(), pool.ChunkCount());

  // A cancelled reservation leaves the pool as if it had never been made.
  ASSERT_EQ(pool.Reserve(6000, &r, nullptr), 1);
  EXPECT_TRUE(pool.Cancel(r));
  EXPECT_EQ(pool.FreeCount(), pool.ChunkCount());
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
  const auto numbered = [](int i, size_t n) {
    auto rec = Pattern(n, static_cast<uint8_t>(i));
    std::memcpy(rec.data(), &i, sizeof(i));
    return rec;
  };
  std::thread writer([&] {
    std::mt19937 rng(99);
    for (int i = 0; i < kRecords; ++i) {
      const auto rec = numbered(i, 4 + rng() % 6000);
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
    ASSERT_GE(length, 4u);
    ASSERT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + length), numbered(next, length))
        << "record " << next;
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
