// The stamp intake puts on every frame: local fields of the current second and the instant
// rebuilt from them, converted once per second and zone on each thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/local_time.h"
#include "support/scoped_env.h"

namespace platform {
namespace {

std::atomic<int64_t> g_now{0};
int64_t FakeNow() { return g_now.load(); }

class LocalStampTest : public ::testing::Test {
 protected:
  void SetUp() override { SetNowSecondsForTest(&FakeNow); }
  void TearDown() override { SetNowSecondsForTest(nullptr); }
  void UseZone(const char* zone) {
    zone_.reset();
    zone_.emplace(zone);
  }

 private:
  std::optional<testsupport::ScopedTimeZone> zone_;
};

TEST_F(LocalStampTest, FieldsAndTimeAreThoseOfTheCurrentSecond) {
  UseZone("Asia/Shanghai");
  g_now = 1700000000;  // 2023-11-14 22:13:20 UTC = 2023-11-15 06:13:20 in Shanghai
  LocalStamp stamp = NowLocalStamp();
  EXPECT_EQ(stamp.time.seconds(), 1700000000);
  const LocalFields& f = stamp.fields;
  EXPECT_EQ(std::vector<int>({f.year, f.month, f.day, f.hour, f.minute, f.second}),
            std::vector<int>({2023, 11, 15, 6, 13, 20}));

  // The next second is converted afresh, not served from the last one.
  g_now = 1700000001;
  stamp = NowLocalStamp();
  EXPECT_EQ(stamp.time.seconds(), 1700000001);
  EXPECT_EQ(stamp.fields.second, 21);
}

TEST_F(LocalStampTest, ZoneChangeWithinTheSameSecondIsSeen) {
  g_now = 1700000000;
  UseZone("UTC");
  EXPECT_EQ(NowLocalStamp().fields.hour, 22);
  UseZone("Asia/Shanghai");
  // A thread that has converted nothing yet sees the new zone, as does this one.
  int hour = -1;
  std::thread other([&hour] { hour = NowLocalStamp().fields.hour; });
  other.join();
  EXPECT_EQ(hour, 6);
  EXPECT_EQ(NowLocalStamp().fields.hour, 6);
  EXPECT_EQ(NowLocalStamp().fields.day, 15);
  UseZone("UTC");
  EXPECT_EQ(NowLocalStamp().fields.hour, 22);
}

TEST_F(LocalStampTest, RepeatedAutumnHourKeepsBothInstants) {
  UseZone("Europe/Berlin");
  // 2023-10-29: 00:30 UTC is 02:30 CEST, 01:30 UTC is 02:30 CET.
  const int64_t summer = 1698539400;
  const int64_t winter = summer + 3600;
  for (const int64_t now : {summer, winter}) {
    g_now = now;
    const LocalStamp stamp = NowLocalStamp();
    EXPECT_EQ(stamp.fields.hour, 2);
    EXPECT_EQ(stamp.fields.minute, 30);
    EXPECT_EQ(stamp.time.seconds(), now);
  }
}

}  // namespace
}  // namespace platform
