// Steps and reversals start from the frame on screen: after a pause on a frame, single steps
// back and forth show its neighbours one by one, and a change of direction during play shows
// nothing from the far side of the last frame shown. The pacing thread is held inside the
// host's callback of the frame the test acts on, so the frame on screen is known exactly.
#include <atomic>

#include "playback_test_util.h"

namespace playtest {
namespace {

// Channel 0 at 10 frames per second for five seconds, the first frame of each second a key
// frame: frames 1..50, frame 10 s + 1 the key frame of second s.
class StepTest : public PlaybackTest {
 protected:
  void SetUp() override {
    Record(t0).Stream(t0, 5, 10, channels_);
    hook_ = [this] {
      const std::vector<HostEvent> events = Events();
      if (!IsShown(events.back()) || events.back().serial != holdAt_.load()) return;
      held_ = true;
      WaitUntil([this] { return release_.load(); }, 10000);
      left_ = true;
    };
  }
  // Starts play at `rate` from second `second` and returns once frame `serial` is on screen,
  // with the pacing thread held there; Release lets it go on.
  void PlayUntil(int32_t second, float rate, uint32_t serial) {
    holdAt_ = serial;
    StartPlay(1, {1}, t0 + second, rate);
    ASSERT_TRUE(WaitUntil([this] { return held_.load(); }, 30000));
    shownAt_ = Events(IsShown).size();
  }
  // Lets the pacing thread go on and returns once it has left the host's callback.
  void Release() {
    holdAt_ = 0;
    release_ = true;
    ASSERT_TRUE(WaitUntil([this] { return left_.load(); }));
  }
  // The serials of the frames shown since PlayUntil returned, once there are n of them (with
  // n = 0: at once, and from the frame PlayUntil waited for).
  std::vector<uint32_t> ShownSince(size_t n) {
    EXPECT_TRUE(WaitFor(IsShown, shownAt_ + n));
    std::vector<uint32_t> serials;
    const std::vector<HostEvent> shown = Events(IsShown);
    for (size_t i = shownAt_ - (n == 0 ? 1 : 0); i < shown.size(); ++i)
      serials.push_back(shown[i].serial);
    return serials;
  }
  volatile uint32_t channels_ = 1;
  std::atomic<uint32_t> holdAt_{0};
  std::atomic<bool> held_{false}, release_{false}, left_{false};
  size_t shownAt_ = 0;
};

class PauseTest : public StepTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(PauseTest, StepsFromAPauseShowTheNeighbouringFramesOneByOne) {
  const uint32_t k = GetParam();
  PlayUntil(2, 1.0f, k);
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, 0.0f), 1);
  Release();
  std::vector<uint32_t> want;
  for (const auto& [rate, shown] : {std::pair{-100.0f, k - 1},
                                    {-100.0f, k - 2},
                                    {-100.0f, k - 3},
                                    {100.0f, k - 2},
                                    {100.0f, k - 1},
                                    {100.0f, k}}) {
    ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, rate), 1);
    want.push_back(shown);
    ASSERT_EQ(ShownSince(want.size()), want) << "step " << want.size() << " by " << rate;
  }
}

// The key frame of second 2 and four frames of its group.
INSTANTIATE_TEST_SUITE_P(Frames, PauseTest, ::testing::Values(21u, 22u, 24u, 27u, 30u));

// A position in second 2's group, and the direction play turns to.
class ReversalTest : public StepTest,
                     public ::testing::WithParamInterface<std::tuple<uint32_t, float>> {};

TEST_P(ReversalTest, AReversalDuringPlayGoesOnFromTheFrameOnScreen) {
  const auto [position, rate] = GetParam();
  const int step = rate < 0 ? -1 : 1;
  // Backwards play from second 2's end reaches frame k as forward play from its start does.
  PlayUntil(2, -rate, 21 + position);
  Release();
  ASSERT_EQ(_RECORDER_FILESEARCH_PLAYRATE(search_, rate), 1);
  // Frames already due may still come in the old direction; the first in the new one is the
  // neighbour of the last one shown.
  std::vector<uint32_t> shown = ShownSince(0);
  ASSERT_TRUE(WaitUntil([&] {
    shown = ShownSince(0);
    const auto turn = std::adjacent_find(shown.begin(), shown.end(), [&](uint32_t a, uint32_t b) {
      return (int64_t(b) - a) * step > 0;
    });
    return shown.end() - turn >= 3;
  }));
  const auto turn = std::adjacent_find(shown.begin(), shown.end(), [&](uint32_t a, uint32_t b) {
    return (int64_t(b) - a) * step > 0;
  });
  EXPECT_EQ(std::vector<uint32_t>(turn, turn + 3),
            (std::vector<uint32_t>{*turn, *turn + step, *turn + 2 * step}));
  for (auto at = shown.begin(); at < turn; ++at)
    EXPECT_EQ(int64_t(at[1]) - at[0], -step) << ::testing::PrintToString(shown);
}

INSTANTIATE_TEST_SUITE_P(Positions, ReversalTest,
                         ::testing::Combine(::testing::Range(0u, 10u),
                                            ::testing::Values(-1.0f, 1.0f)));

}  // namespace
}  // namespace playtest
