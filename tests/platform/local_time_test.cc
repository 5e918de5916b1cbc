#include "platform/local_time.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "support/scoped_env.h"

namespace platform {
namespace {

class ZoneTest : public ::testing::Test {
 protected:
  void UseZone(const char* zone) { zone_.emplace(zone); }

 private:
  std::optional<testsupport::ScopedTimeZone> zone_;
};

struct ZoneCase {
  const char* zone;
  int32_t noTime;       // local 2000-01-01 00:00:00
  int32_t utcShiftSec;  // offset of local time from UTC in winter
};

class LocalTimeByZone : public ZoneTest, public ::testing::WithParamInterface<ZoneCase> {
 protected:
  void SetUp() override { UseZone(GetParam().zone); }
};

std::vector<int> Fields(const LocalFields& f) {
  return {f.year, f.month, f.day, f.hour, f.minute, f.second};
}

TEST_P(LocalTimeByZone, NoTimeIsLocalNewYear2000) {
  EXPECT_EQ(CTime::NoTime().seconds(), GetParam().noTime);
  EXPECT_EQ(Fields(CTime::NoTime().Local()), (std::vector<int>{2000, 1, 1, 0, 0, 0}));
  EXPECT_EQ(CTime::NoTime().Local().weekday, 6);  // a Saturday
}

TEST_P(LocalTimeByZone, FieldsRoundTrip) {
  const std::vector<std::vector<int>> cases = {
      {2024, 1, 15, 8, 30, 5}, {2023, 7, 1, 23, 59, 59}, {2037, 12, 31, 0, 0, 0}};
  for (const auto& c : cases) {
    const CTime t = CTime::FromLocal(c[0], c[1], c[2], c[3], c[4], c[5]);
    const LocalFields f = t.Local();
    EXPECT_EQ(Fields(f), c);
    EXPECT_EQ(CTime::FromLocal(f.year, f.month, f.day, f.hour, f.minute, f.second, f.isDst), t);
  }
}

TEST_P(LocalTimeByZone, OffsetOverflowMidnightAndRange) {
  // 2024-01-15 12:00:00 UTC is 1705320000.
  EXPECT_EQ(CTime::FromLocal(2024, 1, 15, 12, 0, 0).seconds(), 1705320000 - GetParam().utcShiftSec);
  const CTime overflow = CTime::FromLocal(2024, 1, 15, 30, 0, 0);
  EXPECT_EQ(overflow, CTime::FromLocal(2024, 1, 16, 6, 0, 0));
  EXPECT_EQ(Fields(overflow.Local()), (std::vector<int>{2024, 1, 16, 6, 0, 0}));
  EXPECT_EQ(CTime::FromLocal(2024, 1, 15, 17, 45, 12).LocalMidnight(),
            CTime::FromLocal(2024, 1, 15, 0, 0, 0));
  EXPECT_EQ(CTime::FromLocal(2040, 1, 1, 0, 0, 0), CTime::NoTime());
  EXPECT_EQ(CTime::FromUtcFieldsAsLocal(int64_t{1} << 40), CTime::NoTime());
}

INSTANTIATE_TEST_SUITE_P(Zones, LocalTimeByZone,
                         ::testing::Values(ZoneCase{"UTC", 946684800, 0},
                                           ZoneCase{"Asia/Shanghai", 946656000, 8 * 3600},
                                           ZoneCase{"Europe/Berlin", 946681200, 3600}),
                         [](const auto& info) {
                           std::string name = info.param.zone;
                           for (char& c : name) {
                             if (c == '/') c = '_';
                           }
                           return name;
                         });

class LocalTimeTest : public ZoneTest {};

TEST_F(LocalTimeTest, UtcFieldsReadAsLocalShiftByTheZoneOffset) {
  UseZone("Asia/Shanghai");
  const int64_t utc = 1705320000;  // 2024-01-15 12:00:00 UTC
  const CTime t = CTime::FromUtcFieldsAsLocal(utc);
  EXPECT_EQ(t.seconds(), utc - 8 * 3600);
  EXPECT_EQ(t.Local().hour, 12);
  UseZone("UTC");
  EXPECT_EQ(CTime::FromUtcFieldsAsLocal(utc).seconds(), utc);
}

TEST_F(LocalTimeTest, BerlinSpringForwardGap) {
  UseZone("Europe/Berlin");
  // 2024-03-31 02:30 does not exist; taken as standard time it is 01:30 UTC = 03:30 CEST.
  const CTime standard = CTime::FromLocal(2024, 3, 31, 2, 30, 0, 0);
  EXPECT_EQ(standard.seconds(), 1711848600);
  EXPECT_EQ(Fields(standard.Local()), (std::vector<int>{2024, 3, 31, 3, 30, 0}));
  EXPECT_EQ(standard.Local().isDst, 1);
  EXPECT_EQ(CTime::FromLocal(2024, 3, 31, 2, 30, 0, -1).Local().hour, 3);
  // The day has 23 hours; an hour of 30 from the day before lands at 06:00 on it.
  EXPECT_EQ(CTime::FromLocal(2024, 3, 30, 30, 0, 0).seconds(), 1711857600);
  EXPECT_EQ(CTime::FromLocal(2024, 3, 31, 12, 0, 0).LocalMidnight().seconds(), 1711839600);
}

TEST_F(LocalTimeTest, BerlinRepeatedAutumnHourFollowsTheDstFlag) {
  UseZone("Europe/Berlin");
  const CTime summer = CTime::FromLocal(2024, 10, 27, 2, 30, 0, 1);
  const CTime winter = CTime::FromLocal(2024, 10, 27, 2, 30, 0, 0);
  EXPECT_EQ(summer.seconds(), 1729989000);
  EXPECT_EQ(winter.seconds(), 1729992600);
  // Rebuilding from the fields with the flag localtime gave gets the same instant back.
  for (CTime t : {summer, winter}) {
    const LocalFields f = t.Local();
    EXPECT_EQ(CTime::FromLocal(f.year, f.month, f.day, f.hour, f.minute, f.second, f.isDst), t);
  }
}

int64_t FixedNow() { return 1705320000; }
int64_t FarNow() { return int64_t{1} << 33; }

TEST_F(LocalTimeTest, NowFollowsTheWallClockHook) {
  UseZone("UTC");
  SetNowSecondsForTest(&FixedNow);
  EXPECT_EQ(CTime::Now().seconds(), 1705320000);
  SetNowSecondsForTest(&FarNow);
  EXPECT_EQ(CTime::Now(), CTime::NoTime());
  SetNowSecondsForTest(nullptr);
}

}  // namespace
}  // namespace platform
