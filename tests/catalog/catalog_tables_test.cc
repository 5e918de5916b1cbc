// Date table, day table and the catalogue's daylight-saving range.
#include <atomic>
#include <thread>

#include "catalog_test_util.h"

namespace catalog_test {
namespace {

constexpr uint32_t kChannel3 = 1u << 3;

class TablesTest : public CatalogTest {
 protected:
  // One file per entry, so each entry's minute is easy to follow.
  void Catalogue(const std::vector<Entry>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
      AddPair("f" + std::to_string(i), MakeSummary({entries[i]}));
    }
    ASSERT_EQ(catalog->Build(), 1);
  }
  static std::vector<int> MarkedSlots(const std::vector<uint32_t>& table) {
    std::vector<int> slots;
    for (int s = 0; s < kDayTableSlots; ++s) {
      if (table[s] != 0) slots.push_back(s);
    }
    return slots;
  }
  void UseTheRange() { catalog->SetDSTRange(1, 4, 1, 2, 10, 30, 3); }
};

TEST_F(TablesTest, DateTableQueriesStoreTheCountAndCopyOnlyThatMany) {
  int32_t count = -1;
  catalog->GetDateTable(nullptr, &count);
  EXPECT_EQ(count, 0);
  uint32_t untouched = 77;
  catalog->GetDateTable(&untouched, &count);
  EXPECT_EQ(untouched, 77u);
  EXPECT_EQ(count, 0);
  catalog->GetDateTable(nullptr, nullptr);  // no crash
}

// Without a range, and with each invalid or inverted one, every day is ordinary.
TEST_F(TablesTest, OrdinaryDayWithoutAValidRange) {
  Catalogue({{Local(2021, 6, 1, 10, 15), 1, kChannel3, 0, kChannel3, kChannel3}});
  const std::vector<std::array<int32_t, 7>> invalid = {
      {0, 4, 1, 2, 10, 30, 3},  {1, 0, 1, 2, 10, 30, 3},  {1, 4, 1, 2, 13, 30, 3},
      {1, 4, 32, 2, 10, 30, 3}, {1, 4, 1, 60, 10, 30, 3}, {1, 4, 1, -1, 10, 30, 3},
      {1, 10, 30, 3, 4, 1, 2}};
  for (size_t i = 0; i <= invalid.size(); ++i) {
    SCOPED_TRACE(i);
    if (i > 0) {
      const auto& r = invalid[i - 1];
      catalog->SetDSTRange(r[0], r[1], r[2], r[3], r[4], r[5], r[6]);
    }
    const DayTable t = Day(Local(2021, 6, 1, 14, 0));
    EXPECT_EQ(t.kind, 0);
    EXPECT_EQ(t.hours, 24);
    for (const auto& table : {t.any, t.r1, t.r4, t.audio}) {
      EXPECT_EQ(MarkedSlots(table), std::vector<int>{615});
      EXPECT_EQ(table[615], kChannel3);
    }
    EXPECT_TRUE(MarkedSlots(t.r2).empty());
    EXPECT_EQ(t.dst, std::vector<uint32_t>(kDayTableRows, 0));
  }
}

TEST_F(TablesTest, DayInsideTheRangeShowsTimesOneHourLater) {
  Catalogue({{Local(2021, 6, 1, 10, 15), 1, 1}, {Local(2021, 5, 31, 23, 30), 1, 2}});
  UseTheRange();
  const DayTable t = Day(Local(2021, 6, 1, 0, 0));
  EXPECT_EQ(t.kind, 1);
  EXPECT_EQ(t.hours, 24);
  EXPECT_EQ(MarkedSlots(t.any), (std::vector<int>{30, 675}));
  EXPECT_EQ(t.r1[30], 2u);
  for (int h = 0; h < 24; ++h) EXPECT_EQ(t.dst[h], 1u) << h;
  EXPECT_EQ(t.dst[24], 0u);
  // The last hour of May 31 moved to June 1 and is gone from May 31.
  EXPECT_TRUE(MarkedSlots(Day(Local(2021, 5, 31, 0, 0)).any).empty());
}

TEST_F(TablesTest, FirstAndLastDaysOfTheRange) {
  Catalogue({{Local(2021, 4, 1, 1, 30), 1, 1},
             {Local(2021, 4, 1, 2, 30), 1, 1},
             {Local(2021, 10, 30, 2, 30), 1, 1},
             {Local(2021, 10, 30, 3, 30), 1, 1}});
  UseTheRange();
  const DayTable first = Day(Local(2021, 4, 1, 12, 0));
  EXPECT_EQ(first.kind, 2);
  EXPECT_EQ(first.hours, 24);
  EXPECT_EQ(MarkedSlots(first.any), (std::vector<int>{90, 210}));
  for (int h = 0; h < 24; ++h) EXPECT_EQ(first.dst[h], h >= 2 ? 1u : 0u) << h;
  // The last day has 25 hours.
  const DayTable last = Day(Local(2021, 10, 30, 0, 0));
  EXPECT_EQ(last.kind, 3);
  EXPECT_EQ(last.hours, 25);
  for (int h = 0; h < 25; ++h) EXPECT_EQ(last.dst[h], h <= 3 ? 1u : 0u) << h;
  EXPECT_EQ(MarkedSlots(last.any), (std::vector<int>{210, 270}));
}

TEST_F(TablesTest, KindsAroundTheRangeWithoutACatalogue) {
  UseTheRange();
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 3, 31, 12, 0))), 0);
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 4, 1, 23, 0))), 2);
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 4, 2, 0, 0))), 1);
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 10, 29, 0, 0))), 1);
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 10, 30, 5, 0))), 3);
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 10, 31, 0, 0))), 0);
  // Without a catalogue the minute tables are zero but the range still applies.
  const DayTable t = Day(Local(2021, 10, 30, 0, 0));
  EXPECT_EQ(t.kind, 3);
  EXPECT_EQ(t.hours, 25);
  EXPECT_EQ(t.dst[0], 1u);
  EXPECT_TRUE(MarkedSlots(t.any).empty());
  EXPECT_TRUE(MarkedSlots(t.audio).empty());
}

TEST_F(TablesTest, StartHourOf30CarriesIntoTheNextDay) {
  catalog->SetDSTRange(1, 4, 1, 30, 10, 30, 3);
  EXPECT_TRUE(catalog->IsDaylightHour(platform::CTime(Local(2021, 4, 2, 6, 0))));
  EXPECT_FALSE(catalog->IsDaylightHour(platform::CTime(Local(2021, 4, 2, 5, 59))));
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 4, 1, 0, 0))), 2);
}

TEST_F(TablesTest, SameStartAndEndDayShiftsWithoutAKind) {
  Catalogue({{Local(2021, 6, 1, 10, 15), 1, 1}, {Local(2021, 6, 1, 14, 15), 1, 1}});
  catalog->SetDSTRange(1, 6, 1, 9, 6, 1, 12);
  const DayTable t = Day(Local(2021, 6, 1, 0, 0));
  EXPECT_EQ(t.kind, 0);
  EXPECT_EQ(MarkedSlots(t.any), (std::vector<int>{675, 855}));
}

TEST_F(TablesTest, FilesWithInvalidTimesOrNoBytesAddNothing) {
  // The file without bytes keeps the time of its minutes but adds no date and no minute.
  storage::IndexSummary noBytes = MakeSummary({{Local(2021, 6, 2, 10, 15), 1, 1}});
  noBytes.dataBytes = 0;
  storage::IndexSummary reversed = MakeSummary({{Local(2021, 6, 1, 11, 15), 1, 1}});
  reversed.endTime = reversed.startTime - 1;
  // A file whose records all lie in one second is a recording like any other.
  storage::IndexSummary oneSecond = MakeSummary({{Local(2021, 6, 1, 13, 15), 1, 1}});
  oneSecond.endTime = oneSecond.startTime;
  AddPair("a", noBytes);
  AddPair("b", reversed);
  AddPair("c", MakeSummary({{Local(2021, 6, 1, 12, 15), 1, 1}}));
  AddPair("d", oneSecond);
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(MarkedSlots(Day(Local(2021, 6, 1, 0, 0)).any), (std::vector<int>{735, 795}));
  EXPECT_TRUE(MarkedSlots(Day(Local(2021, 6, 2, 0, 0)).any).empty());
  EXPECT_EQ(Dates(), std::vector<int32_t>{Local(2021, 6, 1, 0, 0)});
}

// The zone's own daylight saving must not move anything.
class BerlinTablesTest : public TablesTest {
 protected:
  ScopedEnv berlin{"TZ", "Europe/Berlin"};
};

TEST_F(BerlinTablesTest, OrdinaryDaysPlaceEntriesAtTheirLocalMinute) {
  Catalogue({{Local(2021, 7, 1, 10, 15), 1, 1},
             {Local(2021, 3, 28, 1, 30), 1, 1},
             {Local(2021, 3, 28, 3, 15), 1, 2},
             {Local(2021, 10, 31, 23, 59), 1, 0, 0, 4}});
  EXPECT_EQ(MarkedSlots(Day(Local(2021, 7, 1, 0, 0)).any), std::vector<int>{615});
  const DayTable spring = Day(Local(2021, 3, 28, 12, 0));
  EXPECT_EQ(spring.kind, 0);
  EXPECT_EQ(MarkedSlots(spring.any), (std::vector<int>{90, 195}));
  EXPECT_EQ(MarkedSlots(Day(Local(2021, 10, 31, 12, 0)).r4), std::vector<int>{1439});
  EXPECT_EQ(Dates(), (std::vector<int32_t>{Local(2021, 3, 28, 0, 0), Local(2021, 7, 1, 0, 0),
                                           Local(2021, 10, 31, 0, 0)}));
}

TEST_F(BerlinTablesTest, DayKindCountsCalendarDaysAcrossTheZonesOwnChange) {
  // March 28 2021 has 23 hours in Berlin; the next day is still the second of the range.
  catalog->SetDSTRange(1, 3, 28, 2, 10, 30, 3);
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 3, 28, 12, 0))), 2);
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 3, 29, 0, 0))), 1);
  catalog->SetDSTRange(1, 3, 1, 2, 3, 29, 3);
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 3, 29, 0, 30))), 3);
  EXPECT_EQ(catalog->DayKind(platform::CTime(Local(2021, 3, 28, 0, 30))), 1);
}

// A day-table query racing STOP's Clear must never walk a released mapping.
TEST_F(TablesTest, DayTableRacingClearSeesAWholeCatalogueOrNone) {
  const int32_t t = Local(2021, 6, 1, 10, 0);
  for (int i = 0; i < 20; ++i) AddPair("f" + std::to_string(i), MakeSummary({{t + i * 60, 1, 1}}));
  std::atomic<bool> stop{false};
  std::atomic<int> partial{0};
  std::atomic<int> queries{0};
  std::thread reader([&] {
    DayTable d;
    while (!stop.load()) {
      catalog->GetDayTable(t, d.any.data(), d.r1.data(), d.r2.data(), d.r4.data(), d.audio.data(),
                           d.dst.data(), &d.kind, &d.hours);
      const size_t marked = MarkedSlots(d.any).size();
      if (marked != 0 && marked != 20) partial.fetch_add(1);
      queries.fetch_add(1);
    }
  });
  for (int round = 0; round < 30 || queries.load() < 30; ++round) {
    ASSERT_EQ(catalog->Build(), 1);
    catalog->Clear();
    if (round > 100000) break;
  }
  stop.store(true);
  reader.join();
  EXPECT_EQ(partial.load(), 0);
}

}  // namespace
}  // namespace catalog_test
