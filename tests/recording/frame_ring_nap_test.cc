// A consumer that finds the ring empty naps instead of being woken by every commit: records
// must still reach it, whether it is napping, has gone to sleep after a quiet spell, or has
// a producer waiting for room.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

#include "recording/frame_ring.h"
#include "support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;

// Commits one record holding `value`.
void PutValue(CFrameRing& ring, uint32_t value, uint32_t size = 16) {
  uint8_t* room = ring.Reserve(size, true, false);
  ASSERT_NE(room, nullptr);
  std::memset(room, 0, size);
  std::memcpy(room, &value, sizeof(value));
  ASSERT_EQ(ring.Commit(size, 0), 1);
}

// A consumer thread that takes `count` records and keeps the last value seen.
class Consumer {
 public:
  Consumer(CFrameRing& ring, int count)
      : thread_([this, &ring, count] {
          for (int n = 0; n < count; ++n) {
            uint32_t size = 0, flag = 0;
            uint8_t* record = ring.Get(&size, &flag, true);
            if (record == nullptr || CFrameRing::IsClosedResult(record)) return;
            uint32_t value = 0;
            std::memcpy(&value, record, sizeof(value));
            ring.Release(true);
            last_ = value;
            taken_.fetch_add(1);
          }
        }) {}
  ~Consumer() {
    if (thread_.joinable()) thread_.join();
  }
  bool WaitForTaken(int count) const {
    return testsupport::WaitUntil([&] { return taken_.load() >= count; }, 30000);
  }
  uint32_t last() const { return last_.load(); }

 private:
  std::atomic<int> taken_{0};
  std::atomic<uint32_t> last_{0};
  std::thread thread_;
};

TEST(FrameRingNapTest, RecordAfterAQuietSpellWakesTheSleepingConsumer) {
  auto ring = CFrameRing::Create(4096);
  Consumer consumer(*ring, 2);
  // A single record stays below the wake-up threshold: the nap has to find it.
  PutValue(*ring, 7);
  ASSERT_TRUE(consumer.WaitForTaken(1));
  EXPECT_EQ(consumer.last(), 7u);
  // Long enough for the consumer to give up napping and sleep until the next commit.
  std::this_thread::sleep_for(
      std::chrono::milliseconds(CFrameRing::kNapMs * (CFrameRing::kIdleNaps + 4)));
  const auto before = Clock::now();
  PutValue(*ring, 8);
  ASSERT_TRUE(consumer.WaitForTaken(2));
  EXPECT_EQ(consumer.last(), 8u);
  // Woken by the commit rather than by a time-out (generous bound for a loaded machine).
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
}

TEST(FrameRingNapTest, ProducerWaitingForRoomWakesANappingConsumer) {
  // Two records fill the ring; the third must wait for the consumer to free room.
  auto ring = CFrameRing::Create(100);
  PutValue(*ring, 1, 42);
  PutValue(*ring, 2, 42);
  std::atomic<bool> third{false};
  std::thread producer([&] {
    PutValue(*ring, 3, 42);
    third = true;
  });
  Consumer consumer(*ring, 3);
  ASSERT_TRUE(consumer.WaitForTaken(3));
  producer.join();
  EXPECT_TRUE(third.load());
  EXPECT_EQ(consumer.last(), 3u);
}

}  // namespace
