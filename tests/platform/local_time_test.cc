// Local fields as the zone gives them, whatever was converted before: instants around the
// clock changes of zones with whole-hour, half-hour and odd offsets, in random order, each
// against localtime_r, with the zone switched between conversions.
#include "platform/local_time.h"

#include <gtest/gtest.h>
#include <time.h>

#include <random>
#include <tuple>

#include "support/scoped_env.h"
#include "support/test_seed.h"

namespace {

std::tuple<int, int, int, int, int, int, int> Fields(const platform::LocalFields& f) {
  return {f.year, f.month, f.day, f.hour, f.minute, f.second, f.isDst};
}

std::tuple<int, int, int, int, int, int, int> Reference(int32_t seconds) {
  tzset();
  const time_t t = seconds;
  struct tm f {};
  localtime_r(&t, &f);
  return {f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec, f.tm_isdst};
}

TEST(LocalTimeTest, LocalFieldsAreTheZonesWhateverWasConvertedBefore) {
  const unsigned seed = testsupport::TestSeed(99);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  // Zones, and instants near their changes in 2024 (Lord Howe moves by half an hour at 2:00
  // local, which is no whole UTC hour; Kathmandu is 5:45 ahead).
  const char* zones[] = {"UTC", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe",
                         "Asia/Kathmandu"};
  const int32_t changes[] = {1711846800, 1729990800, 1710054000, 1730613600,
                             1712415600, 1728142200, 1704067200};
  for (int n = 0; n < 4000; ++n) {
    const char* zone = zones[rng() % std::size(zones)];
    testsupport::ScopedTimeZone tz(zone);
    // A few conversions in a row in one zone, near one change.
    const int32_t change = changes[rng() % std::size(changes)];
    for (int k = 0; k < 3; ++k) {
      const int32_t t = change - 7200 + int32_t(rng() % 14400);
      ASSERT_EQ(Fields(platform::CTime(t).Local()), Reference(t)) << zone << " at " << t;
    }
  }
}

}  // namespace
