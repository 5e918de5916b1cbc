// The storage side of a frame queue: the chunk pool against a reference FIFO, its edge
// sizes, the marks queue's limit and the stored record's bytes.
#include "scheduler/chunk_pool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "scheduler/formats.h"
#include "scheduler/locked_ptr_queue.h"

namespace scheduler {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  if (n >= 4) std::memcpy(v.data(), &seed, 4);
  return v;
}

// Reserve, Fill and Commit in one, growing the pool when it must.
bool Put(CChunkPool& pool, const std::vector<uint8_t>& rec, bool grow = true) {
  CChunkPool::Reservation r;
  int32_t missing = 0;
  const auto length = static_cast<uint32_t>(rec.size());
  if (pool.Reserve(length, &r, &missing) == 0) {
    if (!grow || !pool.Grow(missing) || pool.Reserve(length, &r, &missing) == 0) return false;
  }
  pool.Fill(r, rec.data());
  return pool.Commit(r) == 1;
}

std::vector<uint8_t> Take(CChunkPool& pool, uint32_t room = kStagingBufferSize) {
  std::vector<uint8_t> out(room);
  return pool.Read(out.data(), &room) ? std::vector<uint8_t>(out.begin(), out.begin() + room)
                                      : std::vector<uint8_t>{0xDE, 0xAD};
}

uint32_t Seed() {
  const char* given = std::getenv("CHUNK_POOL_SEED");
  const uint32_t seed = given != nullptr ? uint32_t(std::strtoul(given, nullptr, 10)) : 12345u;
  std::printf("chunk pool model seed %u (CHUNK_POOL_SEED overrides)\n", seed);
  return seed;
}

// Random writes (empty, chunk-sized and large records, some cancelled, growth on the way),
// reads and resets against a FIFO: records come back whole and in order, a cancelled or
// reset reservation leaves nothing behind, and one chunk always stays free.
TEST(ChunkPoolTest, ModelAgainstReferenceQueue) {
  std::mt19937 rng(Seed());
  CChunkPool pool(512, 4);
  std::deque<std::vector<uint8_t>> ref;
  for (int step = 0; step < 6000; ++step) {
    SCOPED_TRACE(step);
    const uint32_t op = rng() % 20;
    if (op < 10) {
      const size_t sizes[] = {0, 1, 511, 512, 513, 1024, rng() % 3000u};
      auto rec = Pattern(sizes[rng() % 7], rng());
      CChunkPool::Reservation r;
      if (op == 0 && pool.Reserve(uint32_t(rec.size()), &r, nullptr) == 1) {
        pool.Fill(r, rec.data());
        ASSERT_TRUE(pool.Cancel(r));
        continue;
      }
      ASSERT_TRUE(Put(pool, rec));
      ref.push_back(std::move(rec));
    } else if (op < 19) {
      const std::vector<uint8_t> none{0xDE, 0xAD};
      ASSERT_EQ(Take(pool), ref.empty() ? none : ref.front());
      if (!ref.empty()) ref.pop_front();
    } else {
      CChunkPool::Reservation r;
      const bool reserved = pool.Reserve(100, &r, nullptr) == 1;
      pool.Reset();
      ref.clear();
      EXPECT_EQ(reserved ? pool.Commit(r) + pool.Cancel(r) : 0, 0);
      ASSERT_EQ(pool.FreeCount(), pool.ChunkCount());
    }
    ASSERT_EQ(pool.FreeCount() + pool.UsedCount(), pool.ChunkCount());
    ASSERT_GE(pool.FreeCount(), 1);
    ASSERT_EQ(pool.HasData(), ref.empty() ? 0 : 1);
    ASSERT_EQ(pool.NextRecordLength(), ref.empty() ? 0u : uint32_t(ref.front().size()));
  }
}

// An empty record still takes a chunk; a record one byte over a chunk takes two; a write
// needs one spare chunk, so an exact fit grows first, by the growth step or by what is
// missing. A record longer than the reader's room is dropped, not overrun.
TEST(ChunkPoolTest, ChunksPerRecordSpareChunkAndShortRoom) {
  CChunkPool pool(kPoolChunkSize, 2);
  for (const auto& [length, chunks] : {std::pair<size_t, int>{0, 1}, {4096, 1}}) {
    ASSERT_TRUE(Put(pool, Pattern(length, 9), false));
    EXPECT_EQ(pool.UsedCount(), chunks) << length;
    EXPECT_EQ(Take(pool), Pattern(length, 9));
  }
  EXPECT_FALSE(Put(pool, Pattern(4097, 3), false));
  EXPECT_EQ(pool.ChunkCount(), 2);
  ASSERT_TRUE(Put(pool, Pattern(4097, 3)));
  EXPECT_EQ(pool.ChunkCount(), 4);  // grew by the growth step
  CChunkPool::Reservation r;
  int32_t missing = 0;
  EXPECT_EQ(pool.Reserve(3 * 4096 + 1, &r, &missing), 0);
  EXPECT_EQ(missing, 3);  // four chunks and the spare, two free
  ASSERT_TRUE(pool.Grow(missing));
  EXPECT_EQ(pool.ChunkCount(), 7);
  ASSERT_TRUE(Put(pool, Pattern(10, 4)));
  EXPECT_EQ(Take(pool, 4096), (std::vector<uint8_t>{0xDE, 0xAD}));
  EXPECT_EQ(Take(pool), Pattern(10, 4));
}

TEST(LockedPtrQueueTest, LimitAcceptsOneMoreThenRefuses) {
  CLockedPtrQueue q;
  q.SetLimit(100);
  std::vector<int> items(102);
  for (int i = 0; i < 101; ++i) ASSERT_EQ(q.Push(&items[i]), 1) << i;
  EXPECT_EQ(q.Push(&items[101]), 0);
  EXPECT_EQ(q.Front(), &items[0]);
  for (int i = 0; i < 101; ++i) ASSERT_EQ(q.Pop(), &items[i]);
  EXPECT_EQ(q.Pop(), nullptr);
  EXPECT_EQ(q.Front(), nullptr);
}

TEST(StoredFrameTest, GoldenBytesAndLengthsThatDisagree) {
  const StoredFrameHead head{5, 0x11223344, 2, 3};
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
  EXPECT_EQ((std::vector<int32_t>{view.head.timeStamp, view.secondLength, view.second[1],
                                  view.display, view.data[2]}),
            (std::vector<int32_t>{0x11223344, 2, 2, 1, 0xCC}));
  EXPECT_FALSE(ParseStoredFrame(out, 28, &view));
  EXPECT_FALSE(ParseStoredFrame(out, 23, &view));
  EXPECT_EQ(ComposeStoredFrame(out, 28, head, data, second, 2, 1), 0u);
  out[12] = 0xFF;
  EXPECT_FALSE(ParseStoredFrame(out, 29, &view));
}

}  // namespace
}  // namespace scheduler
