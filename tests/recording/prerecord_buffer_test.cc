// The pre-record buffer against a plain reference: random appends (key frames that start a
// group, frames and audio that join it), trims and drains. Without memory pressure it keeps
// exactly what the reference keeps; at its limit it drops whole groups from the oldest end,
// never more than it must, and never holds more than the limit.
#include "recording/prerecord_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "support/test_seed.h"

namespace {

struct Rec {
  uint32_t serial;
  uint32_t size;
  int64_t time;
  bool audio;
};

// What the buffer should keep: whole groups, oldest first.
struct Reference {
  std::deque<std::vector<Rec>> groups;
  bool open = false;

  uint64_t Bytes() const {
    uint64_t n = 0;
    for (const auto& g : groups)
      for (const Rec& r : g) n += r.size;
    return n;
  }
  size_t Records() const {
    size_t n = 0;
    for (const auto& g : groups) n += g.size();
    return n;
  }
  void Clear() {
    groups.clear();
    open = false;
  }
};

void Fill(uint8_t* out, const Rec& r) {
  std::memset(out, static_cast<int>(r.serial * 31 + 7), r.size);
  std::memcpy(out, &r.serial, sizeof(r.serial));
}

class PreRecordModel {
 public:
  PreRecordModel(uint32_t limit, uint32_t maxSize, unsigned seed)
      : limit_(limit), maxSize_(maxSize), random_(seed), buffer_(limit) {}

  // One random operation; checks the buffer against the reference afterwards.
  void Step() {
    const int op = Pick(0, 99);
    if (op < 80) {
      Append();
    } else if (op < 92) {
      const int32_t seconds = Pick(0, 12) == 0 ? 0 : Pick(1, 4);
      buffer_.Trim(now_, seconds);
      if (seconds == 0) ref_.Clear();
      while (ref_.groups.size() >= 2 && ref_.groups[1].front().time <= now_ - seconds)
        ref_.groups.pop_front();
    } else if (op < 97) {
      Drain();
    } else {
      buffer_.Clear(Pick(0, 1) == 1);
      ref_.Clear();
    }
    ASSERT_EQ(buffer_.records(), ref_.Records());
    ASSERT_EQ(buffer_.bytesKept(), ref_.Bytes());
    ASSERT_LE(buffer_.capacity(), limit_);
  }

  void Drain() {
    std::vector<Rec> expected;
    for (const auto& g : ref_.groups) expected.insert(expected.end(), g.begin(), g.end());
    size_t n = 0;
    buffer_.Drain([&](const PreRecordBuffer::Kept& kept) {
      EXPECT_LT(n, expected.size());
      if (n >= expected.size()) return false;
      const Rec& r = expected[n++];
      std::vector<uint8_t> want(r.size);
      Fill(want.data(), r);
      EXPECT_EQ(kept.tag.audioRing, r.audio) << "record " << r.serial;
      EXPECT_TRUE(kept.size == r.size && std::memcmp(kept.record, want.data(), r.size) == 0)
          << "record " << r.serial << " came back changed";
      return true;
    });
    EXPECT_EQ(n, expected.size());
    ref_.Clear();
  }

  int dropsUnderPressure = 0;

 private:
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }

  void Append() {
    if (Pick(0, 9) == 0) now_ += Pick(1, 2);
    const int kind = Pick(0, 9);  // 0-1 key frame, 2-3 audio, else a frame joining its group
    const bool starts = kind < 2;
    // Now and then a record larger than the whole limit.
    const uint32_t size =
        Pick(0, 40) == 0 ? limit_ + 1 : static_cast<uint32_t>(Pick(48, static_cast<int>(maxSize_)));
    const Rec rec{++serial_, size, now_, kind == 2 || kind == 3};
    const uint64_t before = ref_.Bytes();
    uint8_t* out = buffer_.Append(
        size, now_, starts, PreRecordBuffer::Tag{.audioRing = rec.audio, .takesReason = false});
    if (!starts && !ref_.open) {
      ASSERT_EQ(out, nullptr) << "a record joined no group";
      return;
    }
    if (out == nullptr) {
      ASSERT_TRUE(size > limit_ || !starts) << "a group start that fits the limit was refused";
      // Too large: its group is broken, nothing joins it. Otherwise its group alone filled
      // the limit and went whole.
      if (size <= limit_) ref_.groups.clear();
      ref_.open = false;
      return;
    }
    Fill(out, rec);
    if (starts) ref_.groups.emplace_back();
    ref_.groups.back().push_back(rec);
    ref_.open = true;
    // The buffer may have dropped its oldest groups to make room: whole ones, never the one
    // the record joined, and only when the records would have filled more than half of it.
    size_t dropped = 0;
    while (ref_.Records() > buffer_.records() && ref_.groups.size() > 1) {
      ref_.groups.pop_front();
      ++dropped;
    }
    if (dropped > 0) {
      ++dropsUnderPressure;
      ASSERT_GT(before + size, limit_ / 2) << "groups dropped with the buffer half empty";
    }
  }

  const uint32_t limit_;
  const uint32_t maxSize_;
  std::mt19937 random_;
  PreRecordBuffer buffer_;
  Reference ref_;
  int64_t now_ = 1000;
  uint32_t serial_ = 0;
};

TEST(PreRecordBufferTest, KeepsWhatTheReferenceKeepsThroughRandomAppendsTrimsAndDrains) {
  const unsigned seed = testsupport::TestSeed();
  PreRecordModel model(1u << 22, 6000, seed);
  for (int i = 0; i < 20000; ++i) {
    ASSERT_NO_FATAL_FAILURE(model.Step()) << "seed " << seed << " step " << i;
  }
  model.Drain();
}

TEST(PreRecordBufferTest, AtItsLimitDropsWholeGroupsOldestFirstAndNoMore) {
  const unsigned seed = testsupport::TestSeed();
  PreRecordModel model(40000, 12000, seed);
  for (int i = 0; i < 20000; ++i) {
    ASSERT_NO_FATAL_FAILURE(model.Step()) << "seed " << seed << " step " << i;
  }
  EXPECT_GT(model.dropsUnderPressure, 100);  // the limit was reached again and again
}

}  // namespace
