// One CFrameQueue and its storage: the chunk pool and the queue each against a reference
// model (random operations; failures name the seed, RECORDER_TEST_SEED replays another),
// the stored record's checks, back-pressure on a producer, and the pacing of deliveries.
#include "scheduler/frame_queue.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <deque>
#include <random>
#include <tuple>
#include <vector>

#include "scheduler/chunk_pool.h"
#include "scheduler/formats.h"
#include "support/scoped_env.h"
#include "support/test_seed.h"

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
}

// A stored record whose lengths disagree with its size is refused, as is one that does not
// fit; no pool growth can make room for a record of more chunks than a ring can count.
TEST(FrameQueueTest, DamagedAndOversizedRecordsAreRefused) {
  const uint8_t data[3] = {0xAA, 0xBB, 0xCC}, second[2] = {0x01, 0x02};
  uint8_t out[64];
  ASSERT_EQ(ComposeStoredFrame(out, sizeof(out), {5, 0, 2, 3}, data, second, 2, 1), 29u);
  EXPECT_EQ(ComposeStoredFrame(out, 28, {5, 0, 2, 3}, data, second, 2, 1), 0u);
  StoredFrameView view;
  EXPECT_FALSE(ParseStoredFrame(out, 28, &view) || ParseStoredFrame(out, 30, &view) ||
               ParseStoredFrame(out, 23, &view));
  out[12] = 0xFF;
  EXPECT_FALSE(ParseStoredFrame(out, 29, &view));
  CChunkPool tiny(1, 1);
  CChunkPool::Reservation r;
  int32_t missing = 0;
  for (const auto& [length, expected] : {std::pair{uint32_t(INT32_MAX) - 1, INT32_MAX - 1},
                                         {uint32_t(INT32_MAX), -1},
                                         {UINT32_MAX, -1}}) {
    EXPECT_EQ(tiny.Reserve(length, &r, &missing), 0);
    EXPECT_EQ(missing, expected) << length;
  }
}

struct Frame {
  uint32_t channel = 0;
  int64_t time = 0;
  std::vector<uint8_t> data, second;
  int32_t display = 1, millisecond = 0;
  auto Key() const { return std::tie(channel, time, data, second, display); }
};

// Keeps a delivered frame with its local time fields read back as an instant.
int32_t Collect(uint32_t channel, FrameTime at, const uint8_t* data, int32_t length,
                const uint8_t* second, int32_t secondLength, int32_t display, void* context) {
  static_cast<std::vector<Frame>*>(context)->push_back(
      {channel, testsupport::LocalSeconds(at.year, at.month, at.day, at.hour, at.minute, at.second),
       std::vector<uint8_t>(data, data + length),
       std::vector<uint8_t>(second, second + (second != nullptr ? secondLength : 0)), display,
       at.millisecond});
  return 1;
}

// A frame's bytes on a page that can be read only once its first read has faulted, and the
// queue that the fault stops and starts while the producer copies them.
alignas(4096) uint8_t g_page[4096];
CFrameQueue* g_racing = nullptr;

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
  const auto deliver = [&] {
    q.Deliver(now += 10.0, PlayModeOf(1.0f));
    for (const Frame& got : out) {
      ASSERT_FALSE(ref.empty()) << "a frame never stored";
      EXPECT_TRUE(got.Key() == ref.front().Key());
      ref.pop_front();
    }
    out.clear();
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
                1);
      ref.push_back(std::move(f));
    } else if (op < 90) {
      deliver();
    } else if (op < 94) {
      q.CloseGroup(1.0f);
    } else {
      q.Flush();
      ref.clear();
    }
    ASSERT_EQ(q.HasFrames(), !ref.empty());
  }
  const uint8_t byte = 0;
  for (const int32_t length : {kMaxFrameDataLength + 1, -1}) {
    EXPECT_EQ(q.Enqueue(0, CTime(t), &byte, length, nullptr, 0, 1, 1.0f), 0) << length;
  }
  q.CloseGroup(1.0f);
  for (int i = 0; i < 20000 && !ref.empty(); ++i) deliver();
  EXPECT_TRUE(ref.empty());
  EXPECT_EQ(q.MarkCount(), 0);
  // A frame whose copy spans a Stop and Start (the producer holds no queue lock while it
  // copies) went with what the queue held before them: it is neither stored again nor counted
  // into the group that the next second closes.
  q.Start();
  g_racing = &q;
  mprotect(g_page, sizeof(g_page), PROT_NONE);
  const auto onFault = signal(SIGSEGV, [](int) {
    mprotect(g_page, sizeof(g_page), PROT_READ);
    g_racing->Stop();
    g_racing->Start();
  });
  EXPECT_EQ(q.Enqueue(0, CTime(t), g_page, 4096, nullptr, 0, 1, 1.0f), 1);
  signal(SIGSEGV, onFault);
  EXPECT_EQ(q.Enqueue(0, CTime(t + 1), &byte, 1, nullptr, 0, 1, 1.0f) + q.MarkCount(), 1);
  // A burst of large frames in one second grows the pool; a flush and a stop give it back.
  const std::vector<uint8_t> big(300000, 7);
  for (bool stop : {false, true}) {
    for (int i = 0; i < 30; ++i) q.Enqueue(0, CTime(t), big.data(), 300000, nullptr, 0, 1, 1.0f);
    EXPECT_GT(q.PoolChunkCount(), configured);
    stop ? q.Stop() : q.Flush();
    EXPECT_EQ(q.PoolChunkCount(), configured);
  }
  // A stopped queue takes and gives nothing.
  EXPECT_EQ(q.Enqueue(0, CTime(t), big.data(), 1, nullptr, 0, 1, 1.0f) + int(q.HasFrames()), 0);
}

// A producer storing one displayed frame per second is held once the marks it created reach
// the limit (the threshold times the whole part of a fast rate, at most what the marks
// queue takes).
TEST(FrameQueueTest, ProducerHeldAtTheLimit) {
  const uint8_t byte = 1;
  for (const auto& [rate, noBackPressure, marksWhenHeld] : {std::tuple{1.0f, 0, 2},
                                                            {4.0f, 0, 8},
                                                            {2.5f, 0, 4},
                                                            {-4.0f, 0, 8},
                                                            {1e9f, 0, 100},
                                                            {1.0f, 1, 9}}) {
    CFrameQueue q;
    // The settings of the last Configure hold.
    ASSERT_TRUE(q.Configure(nullptr, nullptr, 1 - noBackPressure, kDefaultGroupThreshold) &&
                q.Configure(nullptr, nullptr, noBackPressure, kDefaultGroupThreshold));
    q.Start();
    int32_t stored = 0;
    for (int32_t s = 0; s < 200 && q.SpaceAvailable(); ++s)
      stored += q.Enqueue(0, CTime(kT0 + s), &byte, 1, nullptr, 0, 1, rate);
    EXPECT_EQ(std::pair(stored, q.MarkCount()), std::pair(marksWhenHeld + 1, marksWhenHeld));
    // In the first row, handing out the first second's frame frees room: the producer goes
    // on at once, not once the queue has run dry.
    for (double now = 0, due = 0; now < 1 && marksWhenHeld == 2; now += 0.5)
      q.Deliver(now, PlayModeOf(rate), &due);
    EXPECT_EQ(q.SpaceAvailable(), marksWhenHeld == 2) << rate;
  }
}

// A queue played on a clock that jumps to each due time, so every due time is exact: `at`
// holds when (seconds after the start) each frame went out.
struct Player {
  std::vector<Frame> out;
  std::vector<double> at;
  double now = 0.0;
  CFrameQueue q;

  Player() {
    EXPECT_TRUE(q.Configure(&Collect, &out, /*noBackPressure=*/1, kDefaultGroupThreshold));
    q.Start();
  }
  // n displayed frames recorded at t, read at `rate`.
  void Second(int32_t t, int n, float rate = 1.0f) {
    const uint8_t byte = 0;
    for (int i = 0; i < n; ++i) q.Enqueue(0, CTime(t), &byte, 1, nullptr, 0, 1, rate);
  }
  // Plays until `wanted` frames are out or `until`.
  void Play(float rate, size_t wanted, double until = 1e9) {
    for (int i = 0; i < 5000 && out.size() < wanted && now < until; ++i) {
      double due = now + 0.001;
      const DeliverResult r = q.Deliver(now, PlayModeOf(rate), &due);
      at.resize(out.size(), now);
      now = r == DeliverResult::kShown ? now : due + 1e-9;
    }
  }
};

// The frames of a second are spread evenly at the pace (the play speed, or a group's own
// faster rate); a stretch without recordings is waited out for at most two seconds of wall
// time (a group sits at the time of the second that closes it, so the wait comes before the
// last recorded second ahead of the stretch). Frames handed out past a group's count while
// the next mark was missing count towards the next group once its mark arrives; a group
// never closed is starved, not guessed. Pause and a change of pace take a new base: play
// resumes on the next frame, without a burst of the frames that fell due meanwhile.
TEST(FrameQueueTest, PacedAtTheRateWithGapsCutLateMarksAndNewBases) {
  for (const auto& [markRate, playRate, spacing] : {std::tuple{1.0f, 1.0f, 0.040},
                                                    {1.0f, 2.0f, 0.020},
                                                    {1.0f, -1.0f, 0.040},
                                                    {4.0f, 1.0f, 0.010},
                                                    {0.5f, 0.25f, 0.080}}) {
    SCOPED_TRACE(testing::Message() << markRate << " at " << playRate);
    const int32_t dir = playRate < 0 ? -1 : 1;
    Player p;
    for (int32_t s : {0, 1, 2}) p.Second(kT0 + s * dir, s < 2 ? 25 : 1, markRate);
    p.Play(playRate, 50);
    ASSERT_EQ(p.at.size(), 50u);
    for (size_t k = 0; k < 50; ++k) {
      EXPECT_EQ(p.out[k].millisecond, int32_t(k % 25) * 40) << k;
      EXPECT_NEAR(p.at[k], double(k) * spacing, 1e-6) << k;
    }
  }
  for (const auto& [gap, rate, wait] :
       {std::tuple{1, 0.25f, 4.0}, {3, 1.0f, 3.0}, {7200, 0.5f, 4.0}, {60, 4.0f, 2.25}}) {
    Player p;
    for (int32_t t : {0, 1, 1 + gap, 2 + gap}) p.Second(kT0 + t, 1, rate);
    p.Play(rate, 3);
    ASSERT_EQ(p.at.size(), 3u);
    EXPECT_NEAR(p.at[1] - p.at[0], wait, 1e-6) << gap << " s at " << rate;
  }
  // The wrap from the end of the recording back to its start (forwards) or from its start to
  // its end (backwards): the first second after it is due one second after the last.
  for (const float rate : {1.0f, 2.0f, -1.0f}) {
    const int32_t dir = rate < 0 ? -1 : 1;
    Player p;
    for (int32_t t : {0, 1, 2, 0, 1}) p.Second(kT0 + t * dir, 1, std::fabs(rate));
    p.Play(rate, 4);
    ASSERT_EQ(p.at.size(), 4u);
    EXPECT_NEAR(p.at[3] - p.at[2], 1.0 / std::fabs(rate), 1e-6) << rate;
  }
  Player late;
  late.Second(kT0, 4);
  late.Play(1.0f, 4, 6.0);
  ASSERT_EQ(late.out.size(), 1u);
  late.Second(kT0 + 1, 3);
  late.Play(1.0f, 6);
  late.Second(kT0 + 2, 1);
  late.Play(1.0f, 7);
  ASSERT_EQ(late.out.size(), 7u);
  for (size_t k = 0; k < 7; ++k) EXPECT_EQ(late.out[k].millisecond, (k < 6 ? k * 250 : 666)) << k;
  Player run;
  for (int32_t s = 0; s < 4; ++s) run.Second(kT0 + s, 25);
  run.Play(1.0f, 5);
  run.Play(0.0f, 6, run.now + 10.0);
  const double resumed = run.now;
  run.Play(1.0f, 8);
  run.Play(2.0f, 10);
  EXPECT_NEAR(run.at[5], resumed, 1e-6);
  EXPECT_NEAR(run.at[7] - run.at[5], 0.080, 1e-6);
  EXPECT_NEAR(run.at[9] - run.at[8], 0.020, 1e-6);
}

// After a seek the first shown channel to reach the target shows its picture at once; the
// frames another shown channel needs decoded before its own first picture lie behind that
// picture and go out (decode-only) as soon as they reach the head, outside the target
// second, so that channel's picture comes one frame interval later.
TEST(FrameQueueTest, LeadFramesBehindTheFirstPictureGoOutAtOnce) {
  Player p;
  const uint8_t byte = 0;
  std::vector<std::pair<uint32_t, int32_t>> stored;  // channel and display as delivered
  const auto store = [&](uint32_t channel, int32_t t, int32_t display, int n) {
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(p.q.Enqueue(channel, CTime(t), &byte, 1, nullptr, 0, display, 1.0f), 1);
      stored.push_back({channel, display == kDisplayLead ? 0 : display});
    }
  };
  store(0, kT0 - 1, kDisplayLead, 3);
  store(0, kT0, 1, 1);
  store(1, kT0 - 1, kDisplayLead, 100);
  store(1, kT0, 1, 24);
  store(0, kT0 + 1, 1, 1);  // closes the target second
  std::vector<double> at;
  for (int i = 0; i < 2000 && p.out.size() < 128; ++i) {
    double due = p.now;
    const DeliverResult r = p.q.Deliver(p.now, PlayModeOf(1.0f), &due);
    at.resize(p.out.size(), p.now);
    if (r == DeliverResult::kNotDue || r == DeliverResult::kNewBase) p.now = due + 1e-9;
  }
  ASSERT_EQ(p.out.size(), 128u);
  for (size_t k = 0; k < 128; ++k) {
    EXPECT_EQ(std::pair(p.out[k].channel, p.out[k].display), stored[k]) << k;
  }
  for (size_t k = 4; k < 104; ++k) EXPECT_EQ(at[k], at[3]) << k;
  EXPECT_NEAR(at[104] - at[3], 0.040, 1e-6);
}

}  // namespace
}  // namespace scheduler
