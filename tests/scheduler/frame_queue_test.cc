// One CFrameQueue and its storage: the chunk pool and the queue each against a reference
// model (random operations; failures name the seed, RECORDER_TEST_SEED replays another),
// the marks queue's limit, the stored record's bytes, back-pressure on a producer, and
// flushes racing a producer and the deliverer.
#include "scheduler/frame_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "scheduler/chunk_pool.h"
#include "scheduler/formats.h"
#include "scheduler/locked_ptr_queue.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/test_seed.h"
#include "support/wait_until.h"

namespace scheduler {
namespace {

using platform::CTime;

constexpr int32_t kT0 = 1710000000;  // 2024-03-09 16:00:00 UTC, 2024-03-10 00:00 in Shanghai

// Random writes (empty, chunk-sized and large records, some cancelled), reads into rooms
// that are sometimes too short, and resets, against a FIFO and a count of chunks: records
// come back whole and in order (one longer than the room is consumed and dropped, not
// overrun); a record takes one chunk per started 512 bytes (an empty one too) and one more
// must stay free; a short pool says how many chunks it misses and grows by at least its
// step; a cancelled or reset reservation leaves nothing behind.
TEST(ChunkPoolTest, ModelAgainstReferenceQueue) {
  SCOPED_TRACE(testing::Message() << "seed " << testsupport::TestSeed(12345));
  std::mt19937 rng(testsupport::TestSeed(12345));
  CChunkPool pool(512, 4);
  std::deque<std::vector<uint8_t>> ref;
  int32_t used = 0, count = 4;
  const auto chunks = [](size_t n) { return std::max<int32_t>(1, int32_t((n + 511) / 512)); };
  for (int step = 0; step < 6000; ++step) {
    SCOPED_TRACE(step);
    const uint32_t op = rng() % 20;
    CChunkPool::Reservation r;
    int32_t missing = 0;
    if (op < 10) {
      std::vector<uint8_t> rec(
          std::vector<size_t>{0, 1, 511, 512, 513, 1024, rng() % 3000}[rng() % 7]);
      for (auto& b : rec) b = uint8_t(rng());
      const int32_t need = chunks(rec.size()), free = count - used;
      if (pool.Reserve(uint32_t(rec.size()), &r, &missing) == 0) {
        ASSERT_EQ(missing, need + 1 - free);
        ASSERT_TRUE(pool.Grow(missing));
        count += std::max(4, missing);
        ASSERT_EQ(pool.Reserve(uint32_t(rec.size()), &r, &missing), 1);
      } else {
        ASSERT_GE(free, need + 1);
      }
      pool.Fill(r, rec.data());
      if (op == 0) {
        ASSERT_TRUE(pool.Cancel(r));
        continue;
      }
      ASSERT_EQ(pool.Commit(r), 1);
      ref.push_back(std::move(rec));
      used += need;
    } else if (op < 19) {
      const uint32_t room = rng() % 4 == 0 ? rng() % 3000 : kStagingBufferSize;
      std::vector<uint8_t> out(room + 1);
      uint32_t length = room;
      const bool fits = !ref.empty() && ref.front().size() <= room;
      ASSERT_EQ(pool.Read(out.data(), &length), fits ? 1 : 0);
      EXPECT_TRUE(!fits || std::vector<uint8_t>(out.begin(), out.begin() + length) == ref.front());
      if (!ref.empty()) used -= chunks(ref.front().size()), ref.pop_front();
    } else {
      const bool reserved = pool.Reserve(100, &r, nullptr) == 1;
      pool.Reset();
      ref.clear();
      used = 0;
      EXPECT_EQ(reserved ? pool.Commit(r) + pool.Cancel(r) : 0, 0);
    }
    ASSERT_EQ((std::vector<int64_t>{pool.ChunkCount(), pool.UsedCount(), pool.FreeCount(),
                                    pool.HasData(), pool.NextRecordLength()}),
              (std::vector<int64_t>{count, used, count - used, !ref.empty(),
                                    ref.empty() ? 0 : int64_t(ref.front().size())}));
  }
  // No growth can make room for a record of more chunks than a ring can count.
  CChunkPool tiny(1, 1);
  CChunkPool::Reservation r;
  int32_t missing = 0;
  EXPECT_EQ(tiny.Reserve(UINT32_MAX, &r, &missing), 0);
  EXPECT_EQ(missing, -1);
}

TEST(ChunkPoolTest, MarksQueueLimitAndDamagedStoredRecords) {
  CLockedPtrQueue q;
  q.SetLimit(100);
  int item = 0;
  for (int i = 0; i < 102; ++i) ASSERT_EQ(q.Push(&item), i < 101 ? 1 : 0) << i;
  // A record whose lengths disagree with its size is refused, as is one that does not fit.
  const uint8_t data[3] = {0xAA, 0xBB, 0xCC}, second[2] = {0x01, 0x02};
  uint8_t out[64];
  ASSERT_EQ(ComposeStoredFrame(out, sizeof(out), {5, 0, 2, 3}, data, second, 2, 1), 29u);
  EXPECT_EQ(ComposeStoredFrame(out, 28, {5, 0, 2, 3}, data, second, 2, 1), 0u);
  StoredFrameView view;
  EXPECT_FALSE(ParseStoredFrame(out, 28, &view) || ParseStoredFrame(out, 30, &view) ||
               ParseStoredFrame(out, 23, &view));
  out[12] = 0xFF;
  EXPECT_FALSE(ParseStoredFrame(out, 29, &view));
}

struct Frame {
  uint32_t channel = 0;
  int32_t time = 0;
  std::vector<uint8_t> data, second;
  int32_t display = 1;
  auto Key() const { return std::tie(channel, time, data, second, display); }
};

// Keeps a delivered frame with its local time fields read back as an instant.
int32_t Collect(uint32_t channel, FrameTime at, const uint8_t* data, int32_t length,
                const uint8_t* second, int32_t secondLength, int32_t display, void* context) {
  Frame f{channel,
          testsupport::LocalSeconds(at.year, at.month, at.day, at.hour, at.minute, at.second),
          {data, data + length},
          {},
          display};
  if (second != nullptr) f.second.assign(second, second + secondLength);
  static_cast<std::vector<Frame>*>(context)->push_back(std::move(f));
  return 1;
}

// Whatever the queue hands out is the oldest frame stored and not flushed, whole, with the
// local fields of its time stamp (across the local midnight of Shanghai); once the producer
// closes its last second everything comes out; a stopped queue takes and gives nothing; a
// frame above the limit is refused; a pool grown by large frames shrinks back at a flush.
TEST(FrameQueueTest, ModelAgainstReferenceFifo) {
  testsupport::ScopedTimeZone tz("Asia/Shanghai");
  SCOPED_TRACE(testing::Message() << "seed " << testsupport::TestSeed(4242));
  std::mt19937 rng(testsupport::TestSeed(4242));
  std::vector<Frame> out;
  CFrameQueue q;
  ASSERT_TRUE(q.Configure(&Collect, &out, /*noBackPressure=*/1, kDefaultGroupThreshold));
  const int32_t configured = q.PoolChunkCount();
  q.Start();
  std::deque<Frame> ref;
  int32_t t = kT0 - 2;
  double now = 10.0;
  bool running = true;
  const auto deliver = [&] {
    const DeliverResult result = q.Deliver(now += 10.0, PlayModeOf(1.0f));
    for (const Frame& got : out) {
      if (ref.empty()) return ADD_FAILURE() << "a frame never stored", result;
      EXPECT_TRUE(got.Key() == ref.front().Key());
      ref.pop_front();
    }
    out.clear();
    return result;
  };
  for (int step = 0; step < 4000; ++step) {
    SCOPED_TRACE(step);
    const uint32_t op = rng() % 100;
    // A producer held by the queue would wait for a deliverer: deliver instead.
    if (op < 55 && q.SpaceAvailable()) {
      t += rng() % 4 == 0 ? 1 : 0;
      Frame f{uint32_t(rng() % 4), t, std::vector<uint8_t>(1 + rng() % 9000), {}};
      f.display = int32_t(rng() % 5 != 0);
      if (rng() % 400 == 0) f.data.resize(kStagingBufferSize + rng() % 700000);
      for (auto& b : f.data) b = static_cast<uint8_t>(rng());
      f.second.resize(rng() % 3 == 0 ? 0 : 12, static_cast<uint8_t>(step));
      ASSERT_EQ(q.Enqueue(f.channel, CTime(f.time), f.data.data(), int32_t(f.data.size()),
                          f.second.data(), int32_t(f.second.size()), f.display, 1.0f),
                running ? 1 : 0);
      if (running) ref.push_back(std::move(f));
    } else if (op < 90) {
      deliver();
    } else if (op < 94) {
      q.CloseGroup(1.0f);
    } else if (op < 97) {
      q.Flush();
      ref.clear();
      EXPECT_EQ(q.PoolChunkCount(), configured);
    } else if (op < 99) {
      q.Stop();
      ref.clear();
      running = false;
      EXPECT_EQ(deliver(), DeliverResult::kNothing);
    } else {
      q.Start();
      running = true;
    }
    ASSERT_EQ(q.HasFrames(), !ref.empty());
    ASSERT_LE(q.MarkCount(), kMarkQueueLimit + 1);
  }
  const uint8_t byte = 0;
  EXPECT_EQ(q.Enqueue(0, CTime(t), &byte, kMaxFrameDataLength + 1, nullptr, 0, 1, 1.0f) +
                q.Enqueue(0, CTime(t), &byte, -1, nullptr, 0, 1, 1.0f),
            0);
  q.CloseGroup(1.0f);
  for (int i = 0; i < 20000 && !ref.empty(); ++i) deliver();
  EXPECT_TRUE(ref.empty());
  EXPECT_EQ(q.MarkCount(), 0);
  // A burst of large frames in one second grows the pool; a flush and a stop give it back.
  q.Start();
  const std::vector<uint8_t> big(300000, 7);
  for (bool stop : {false, true}) {
    for (int i = 0; i < 30; ++i) q.Enqueue(0, CTime(t), big.data(), 300000, nullptr, 0, 1, 1.0f);
    EXPECT_GT(q.PoolChunkCount(), configured);
    stop ? q.Stop() : q.Flush();
    EXPECT_EQ(q.PoolChunkCount(), configured);
  }
}

// A producer storing one displayed frame per second is held once the marks it created reach
// the limit (the threshold times the whole part of a fast rate, at most what the marks
// queue takes), and a Stop releases it with 0.
TEST(FrameQueueTest, ProducerHeldAtTheLimitAndReleasedByStop) {
  struct Row {
    float rate;
    int32_t noBackPressure, marksWhenHeld;
  };
  for (const Row& r : {Row{1.0f, 0, 2}, Row{4.0f, 0, 8}, Row{2.5f, 0, 4}, Row{-4.0f, 0, 8},
                       Row{1e9f, 0, 100}, Row{1.0f, 1, 9}}) {
    SCOPED_TRACE(r.rate);
    CFrameQueue q;
    ASSERT_TRUE(q.Configure(nullptr, nullptr, r.noBackPressure, kDefaultGroupThreshold));
    q.Start();
    std::atomic<int> stored{0}, last{-1};
    std::thread producer([&] {
      const uint8_t byte = 1;
      for (int32_t s = 0; s < 200 && last != 0; ++s) {
        stored += last = q.Enqueue(0, CTime(kT0 + s), &byte, 1, nullptr, 0, 1, r.rate);
      }
    });
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] { return stored.load() >= r.marksWhenHeld + 1 && q.WaitingProducers() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ((std::vector<int>{stored.load(), q.MarkCount(), q.SpaceAvailable()}),
              (std::vector<int>{r.marksWhenHeld + 1, r.marksWhenHeld, 0}));
    q.Stop();
    producer.join();
    EXPECT_EQ(last.load(), 0);
  }
}

// Frame `seq` of the concurrency test: its number, then bytes that follow from it.
std::vector<uint8_t> SequencedFrame(int seq) {
  std::vector<uint8_t> frame = testsupport::Pattern(4 + seq % 9000, seq);
  std::memcpy(frame.data(), &seq, 4);
  return frame;
}

// A producer, the deliverer and a control thread that flushes and restarts, all at once:
// every delivered frame arrives whole, frames leave in the order they were stored, and no
// lost reservation leaves a mark stuck.
TEST(FrameQueueTest, FramesStayWholeAndOrderedUnderFlushAndStart) {
  struct Seen {
    int frames = 0, bad = 0, last = -1;  // the deliverer's until it is joined
  } seen;
  auto check = [](uint32_t, FrameTime, const uint8_t* data, int32_t length, const uint8_t*, int32_t,
                  int32_t, void* context) -> int32_t {
    auto* s = static_cast<Seen*>(context);
    int seq = -1;
    if (length >= 4) std::memcpy(&seq, data, 4);
    const bool whole = seq >= 0 && std::vector<uint8_t>(data, data + length) == SequencedFrame(seq);
    s->bad += !whole || seq <= s->last;
    s->last = seq;
    ++s->frames;
    return 1;
  };
  CFrameQueue q;
  ASSERT_TRUE(q.Configure(check, &seen, /*noBackPressure=*/1, kDefaultGroupThreshold));
  q.Start();
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int seq = 0; seq < 6000; ++seq) {
      const std::vector<uint8_t> frame = SequencedFrame(seq);
      q.Enqueue(0, CTime(kT0 + seq / 10), frame.data(), int32_t(frame.size()), nullptr, 0, 1, 1.0f);
    }
    done = true;
  });
  std::thread deliverer([&] {
    double now = 10.0;
    while (!done.load()) q.Deliver(now += 1.0, PlayModeOf(1.0f));
    testsupport::WaitUntil(
        [&] { return q.MarkCount() == 0 || (q.Deliver(now += 1.0, PlayModeOf(1.0f)), false); },
        10000);
  });
  for (int i = 0; i < 50 && !done.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    i % 2 == 0 ? q.Flush() : q.Start();
  }
  producer.join();
  deliverer.join();
  EXPECT_GT(seen.frames, 0);
  EXPECT_EQ((std::vector<int>{q.MarkCount(), seen.bad}), (std::vector<int>{0, 0}));
}

}  // namespace
}  // namespace scheduler
