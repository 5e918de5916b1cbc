// One CFrameQueue: random stores, deliveries, flushes, stops and group closes against a
// reference FIFO; back-pressure on its producer; flushes racing a producer and the deliverer.
#include "scheduler/frame_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "support/scoped_env.h"
#include "support/wait_until.h"

namespace scheduler {
namespace {

using platform::CTime;

constexpr int32_t kT0 = 1710000000;  // 2024-03-09 16:00:00 UTC, 2024-03-10 00:00 in Shanghai

struct Frame {
  uint32_t channel = 0;
  int32_t time = 0;
  std::vector<uint8_t> data, second;
  int32_t display = 1;
};

struct Collector {
  std::vector<Frame> got;
  std::vector<FrameTime> times;
  static int32_t Take(uint32_t channel, FrameTime time, const uint8_t* data, int32_t length,
                      const uint8_t* second, int32_t secondLength, int32_t display, void* context) {
    auto* self = static_cast<Collector*>(context);
    self->got.push_back(
        {channel,
         0,
         {data, data + length},
         second ? std::vector<uint8_t>(second, second + secondLength) : std::vector<uint8_t>(),
         display});
    self->times.push_back(time);
    return 1;
  }
};

uint32_t Seed() {
  const char* given = std::getenv("FRAME_QUEUE_SEED");
  const uint32_t seed = given != nullptr ? uint32_t(std::strtoul(given, nullptr, 10)) : 4242u;
  std::printf("frame queue model seed %u (FRAME_QUEUE_SEED overrides)\n", seed);
  return seed;
}

// Whatever the queue hands out is the oldest frame stored and not flushed, whole, with the
// local fields of its time stamp (across the local midnight of Shanghai); once the producer
// closes its last second everything comes out; a stopped queue takes and gives nothing; a
// pool grown by large frames shrinks back at a flush.
TEST(FrameQueueTest, ModelAgainstReferenceFifo) {
  testsupport::ScopedTimeZone tz("Asia/Shanghai");
  std::mt19937 rng(Seed());
  Collector out;
  CFrameQueue q;
  ASSERT_TRUE(q.Configure(&Collector::Take, &out, /*noBackPressure=*/1, kDefaultGroupThreshold));
  const int32_t configured = q.PoolChunkCount();
  q.Start();
  std::deque<Frame> ref;
  int32_t t = kT0 - 2;
  double now = 10.0;
  bool running = true;
  const auto check = [&] {
    for (size_t i = 0; i < out.got.size(); ++i) {
      ASSERT_FALSE(ref.empty());
      const Frame& want = ref.front();
      EXPECT_EQ(out.got[i].data, want.data);
      EXPECT_EQ((std::vector<int64_t>{out.got[i].channel, out.got[i].display}),
                (std::vector<int64_t>{want.channel, want.display}));
      EXPECT_EQ(out.got[i].second, want.second);
      const platform::LocalFields f = CTime(want.time).Local();
      const FrameTime& ft = out.times[i];
      EXPECT_EQ((std::vector<int>{ft.year, ft.month, ft.day, ft.hour, ft.minute, ft.second}),
                (std::vector<int>{f.year, f.month, f.day, f.hour, f.minute, f.second}));
      ref.pop_front();
    }
    out.got.clear();
    out.times.clear();
  };
  for (int step = 0; step < 4000; ++step) {
    SCOPED_TRACE(step);
    const uint32_t op = rng() % 100;
    // A producer held by the queue would wait for a deliverer: deliver instead.
    if (op < 55 && !q.SpaceAvailable()) {
      q.Deliver(now += 10.0, PlayModeOf(1.0f));
    } else if (op < 55) {
      t += rng() % 4 == 0 ? 1 : 0;
      Frame f{uint32_t(rng() % 4),
              t,
              std::vector<uint8_t>(1 + rng() % 9000),
              {},
              int32_t(rng() % 5 != 0)};
      if (rng() % 400 == 0) f.data.resize(kStagingBufferSize + rng() % 700000);
      for (auto& b : f.data) b = static_cast<uint8_t>(rng());
      f.second.resize(rng() % 3 == 0 ? 0 : 12, static_cast<uint8_t>(step));
      const int32_t stored =
          q.Enqueue(f.channel, CTime(f.time), f.data.data(), int32_t(f.data.size()),
                    f.second.data(), int32_t(f.second.size()), f.display, 1.0f);
      ASSERT_EQ(stored, running ? 1 : 0);
      if (running) ref.push_back(std::move(f));
    } else if (op < 90) {
      q.Deliver(now += 10.0, PlayModeOf(1.0f));
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
      EXPECT_EQ(q.Deliver(now += 10.0, PlayModeOf(1.0f)), DeliverResult::kNothing);
    } else {
      q.Start();
      running = true;
    }
    check();
    ASSERT_EQ(q.HasFrames(), !ref.empty());
    ASSERT_LE(q.MarkCount(), kMarkQueueLimit + 1);
  }
  // A frame above the limit is refused before it is composed.
  const uint8_t byte = 0;
  EXPECT_EQ(q.Enqueue(0, CTime(t), &byte, kMaxFrameDataLength + 1, nullptr, 0, 1, 1.0f) +
                q.Enqueue(0, CTime(t), &byte, -1, nullptr, 0, 1, 1.0f),
            0);
  q.CloseGroup(1.0f);
  for (int i = 0; i < 20000 && !ref.empty(); ++i) {
    q.Deliver(now += 10.0, PlayModeOf(1.0f));
    check();
  }
  EXPECT_TRUE(ref.empty());
  EXPECT_EQ(q.MarkCount(), 0);
  // A burst of large frames in one second grows the pool; a flush and a stop give it back.
  q.Start();
  const std::vector<uint8_t> big(300000, 7);
  for (bool stop : {false, true}) {
    for (int i = 0; i < 30; ++i) {
      ASSERT_EQ(q.Enqueue(0, CTime(t), big.data(), 300000, nullptr, 0, 1, 1.0f), 1) << i;
    }
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
    std::atomic<int> stored{0};
    std::atomic<int> last{-1};
    std::thread producer([&] {
      const uint8_t byte = 1;
      for (int32_t s = 0; s < 200 && last != 0; ++s) {
        last = q.Enqueue(0, CTime(kT0 + s), &byte, 1, nullptr, 0, 1, r.rate);
        stored += last;
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
  std::vector<uint8_t> frame(4 + seq % 9000);
  std::memcpy(frame.data(), &seq, 4);
  for (size_t i = 4; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(seq + i);
  return frame;
}

// A producer, the deliverer and a control thread that flushes and restarts, all at once:
// every delivered frame arrives whole, frames leave in the order they were stored, and no
// lost reservation leaves a mark stuck.
TEST(FrameQueueTest, FramesStayWholeAndOrderedUnderFlushAndStart) {
  struct Seen {
    std::atomic<int> frames{0}, torn{0}, outOfOrder{0};
    int last = -1;  // pacing side only
  } seen;
  auto check = [](uint32_t, FrameTime, const uint8_t* data, int32_t length, const uint8_t*, int32_t,
                  int32_t, void* context) -> int32_t {
    auto* s = static_cast<Seen*>(context);
    int seq = -1;
    if (length >= 4) std::memcpy(&seq, data, 4);
    if (seq < 0 || std::vector<uint8_t>(data, data + length) != SequencedFrame(seq)) ++s->torn;
    if (seq <= s->last) ++s->outOfOrder;
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
    const auto drain = [&] { return q.MarkCount() != 0; };
    while (!done.load()) q.Deliver(now += 1.0, PlayModeOf(1.0f));
    testsupport::WaitUntil(
        [&] { return !drain() || (q.Deliver(now += 1.0, PlayModeOf(1.0f)), false); }, 10000);
  });
  for (int i = 0; i < 50 && !done.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    i % 2 == 0 ? q.Flush() : q.Start();
  }
  producer.join();
  deliverer.join();
  EXPECT_GT(seen.frames.load(), 0);
  EXPECT_EQ((std::vector<int>{q.MarkCount(), seen.torn.load(), seen.outOfOrder.load()}),
            (std::vector<int>{0, 0, 0}));
}

}  // namespace
}  // namespace scheduler
