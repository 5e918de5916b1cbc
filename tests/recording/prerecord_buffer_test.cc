// The pre-record buffer against a plain reference, near its limit: random appends (key
// frames that start a group, frames and audio that join it, now and then one larger than the
// limit), trims and drains. It keeps what the reference keeps, byte for byte and in order,
// but for whole groups it drops from the oldest end to make room: never the group a record
// joins, never while half of it is free, and never more than the limit.
#include "recording/prerecord_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "support/test_seed.h"

namespace {

struct Rec {
  uint32_t serial, size;
  int64_t time;
  bool audio;
};

void Fill(uint8_t* out, const Rec& r) {
  std::memset(out, static_cast<int>(r.serial * 31 + 7), r.size);
  std::memcpy(out, &r.serial, sizeof(r.serial));
}

TEST(PreRecordBufferTest, KeepsWholeGroupsAsAReferenceDoesDroppingTheOldestAtItsLimit) {
  constexpr uint32_t kLimit = 40000;
  const unsigned seed = testsupport::TestSeed();
  std::mt19937 random(seed);
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution(lo, hi)(random); };
  PreRecordBuffer buffer(kLimit);
  std::deque<std::vector<Rec>> groups;  // the reference
  bool open = false;
  const auto count = [&](auto of) {
    uint64_t n = 0;
    for (const auto& g : groups)
      for (const Rec& r : g) n += of(r);
    return n;
  };
  int64_t now = 1000;
  uint32_t serial = 0;
  int pressured = 0;
  for (int step = 0; step < 20000; ++step) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step);
    const int op = pick(0, 99);
    if (op < 80) {
      if (pick(0, 9) == 0) now += pick(1, 2);
      const int kind = pick(0, 9);  // 0-1 key frame, 2-3 audio, else a frame of the group
      const bool starts = kind < 2;
      const uint32_t size = pick(0, 40) == 0 ? kLimit + 1 : uint32_t(pick(48, 12000));
      const Rec rec{++serial, size, now, kind == 2 || kind == 3};
      const uint64_t before = count([](const Rec& r) { return r.size; });
      uint8_t* out = buffer.Append(size, now, starts, {.audioRing = rec.audio});
      if (out == nullptr) {
        // Joins no group; or is larger than the limit (its group is broken); or its group
        // alone would pass the limit (and goes).
        ASSERT_TRUE(!starts || size > kLimit) << "key frame " << serial << " refused";
        if (open && size <= kLimit && !starts) groups.clear();
        open = false;
      } else {
        ASSERT_TRUE(starts || open) << "record " << serial << " joined no group";
        Fill(out, rec);
        if (starts) groups.emplace_back();
        groups.back().push_back(rec);
        open = true;
        bool dropped = false;
        while (count([](const Rec&) { return 1; }) > buffer.records() && groups.size() > 1) {
          groups.pop_front();
          dropped = true;
        }
        ASSERT_TRUE(!dropped || before + size > kLimit / 2) << "dropped with half of it free";
        pressured += dropped;
      }
    } else if (op < 92) {
      const int32_t seconds = pick(0, 12) == 0 ? 0 : pick(1, 4);
      buffer.Trim(now, seconds);
      if (seconds == 0) groups.clear(), open = false;
      while (groups.size() >= 2 && groups[1].front().time <= now - seconds) groups.pop_front();
    } else {
      std::vector<Rec> want;
      for (const auto& g : groups) want.insert(want.end(), g.begin(), g.end());
      size_t n = 0;
      buffer.Drain([&](const PreRecordBuffer::Kept& kept) {
        std::vector<uint8_t> bytes(n < want.size() ? want[n].size : 0);
        if (n < want.size()) Fill(bytes.data(), want[n]);
        EXPECT_TRUE(n < want.size() && kept.tag.audioRing == want[n].audio &&
                    kept.size == bytes.size() && !std::memcmp(kept.record, bytes.data(), kept.size))
            << "kept record " << n << " differs";
        return ++n <= want.size();
      });
      EXPECT_EQ(n, want.size());
      groups.clear(), open = false;
    }
    ASSERT_EQ(buffer.records(), count([](const Rec&) { return 1; }));
    ASSERT_EQ(buffer.bytesKept(), count([](const Rec& r) { return r.size; }));
    ASSERT_LE(buffer.capacity(), kLimit);
  }
  EXPECT_GT(pressured, 100);  // the limit was reached again and again
}

}  // namespace
