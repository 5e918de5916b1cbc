// The frame ring against a reference queue: a producer puts records of random sizes (up to
// the largest that fits, so every tail length and wrap occurs) while a consumer takes them
// with Get, ReleaseAndGet and Release without advancing; every record must arrive whole, in
// order, with its flag. Then closing, and the consumer's naps.
#include "recording/frame_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <random>
#include <thread>

#include "support/test_seed.h"
#include "support/wait_until.h"

namespace {

constexpr uint32_t kHeader = CFrameRing::kRecordHeaderSize;

struct Expected {
  uint32_t size, flag;
  uint8_t fill;
};

void Put(CFrameRing& ring, const Expected& e) {
  uint8_t* room = ring.Reserve(e.size);
  ASSERT_NE(room, nullptr);
  std::memset(room, e.fill, e.size);
  ASSERT_EQ(ring.Commit(e.size, e.flag), 1);
}

bool Matches(const uint8_t* record, uint32_t size, uint32_t flag, const Expected& e) {
  return record != nullptr && !CFrameRing::IsClosedResult(record) && size == e.size &&
         flag == e.flag &&
         std::all_of(record, record + size, [&](uint8_t b) { return b == e.fill; });
}

TEST(FrameRingModelTest, RandomRecordsArriveWholeAndInOrder) {
  for (uint32_t capacity : {100u, 4096u}) {
    auto ring = CFrameRing::Create(capacity);
    EXPECT_EQ(ring->Reserve(capacity - kHeader + 1), nullptr);  // can never fit: no wait
    std::mt19937 random(testsupport::TestSeed() + capacity);
    std::deque<Expected> reference;
    for (int n = 0; n < 3000; ++n) {
      const uint32_t size = n % 50 == 0 ? capacity - kHeader : 1 + random() % (capacity / 2);
      reference.push_back({size, static_cast<uint32_t>(random()), static_cast<uint8_t>(n)});
    }
    std::thread producer([&] {
      for (const Expected& e : reference) Put(*ring, e);
    });
    size_t next = 0;
    uint32_t size = 0, flag = 0;
    while (next < reference.size()) {
      uint8_t* record = ring->Get(&size, &flag, /*wait=*/true);
      ASSERT_TRUE(Matches(record, size, flag, reference[next])) << capacity << ": " << next;
      if (random() % 4 == 0) {  // handed back without advancing: the same record comes again
        ring->Release(false);
        continue;
      }
      ++next;
      // Through a batch: each next record handed out under the same hold.
      while (next < reference.size() && (record = ring->ReleaseAndGet(&size, &flag)) != nullptr) {
        ASSERT_TRUE(Matches(record, size, flag, reference[next])) << capacity << ": " << next;
        ++next;
      }
      if (record != nullptr) ring->Release(true);
    }
    producer.join();
    EXPECT_EQ(ring->Get(&size, &flag, false), nullptr);
  }
}

// A consumer that finds the ring empty naps instead of being woken by every commit: records
// must still reach it after a quiet spell (it sleeps until the next commit then). Close releases a
// consumer waiting on an empty ring and a producer waiting for room; records queued before it are
// still delivered, nothing is taken after it.
TEST(FrameRingCloseTest, RecordsReachANappingConsumerAndCloseReleasesEveryWaiter) {
  auto ring = CFrameRing::Create(100), full = CFrameRing::Create(100);
  std::atomic<int> taken{0};
  auto consumer = std::async(std::launch::async, [&] {
    uint32_t size = 0, flag = 0;
    uint8_t* record;
    while ((record = ring->Get(&size, &flag, true)) != nullptr &&
           !CFrameRing::IsClosedResult(record)) {
      ring->Release(true);
      taken.fetch_add(1);
    }
    return record != nullptr;
  });
  Put(*ring, {16, 0, 7});  // below the wake-up threshold: the nap has to find it
  EXPECT_TRUE(testsupport::WaitUntil([&] { return taken.load() == 1; }));
  std::this_thread::sleep_for(
      std::chrono::milliseconds(CFrameRing::kNapMs * (CFrameRing::kIdleNaps + 4)));
  Put(*ring, {16, 0, 8});  // after a quiet spell: asleep until this commit
  EXPECT_TRUE(testsupport::WaitUntil([&] { return taken.load() == 2; }));

  Put(*full, {42, 0, 1});
  Put(*full, {42, 0, 2});
  auto producer = std::async(std::launch::async, [&] { return full->Reserve(42); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // most likely waiting by now
  ring->Close();
  full->Close();
  ASSERT_TRUE(consumer.wait_for(std::chrono::seconds(30)) == std::future_status::ready &&
              producer.wait_for(std::chrono::seconds(30)) == std::future_status::ready);
  EXPECT_TRUE(consumer.get() && producer.get() == nullptr && full->Reserve(1) == nullptr &&
              full->Commit(1, 0) == 0);
  uint32_t size = 0, flag = 0;
  for (uint8_t fill : {1, 2}) {
    const uint8_t* record = full->Get(&size, &flag, true);
    EXPECT_TRUE(Matches(record, size, flag, {42, 0, fill}));
    full->Release(true);
  }
  EXPECT_TRUE(CFrameRing::IsClosedResult(full->Get(&size, &flag, true)));
}

}  // namespace
