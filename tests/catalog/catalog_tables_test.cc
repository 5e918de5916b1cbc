// Date table, day table and the catalogue's daylight-saving range, which shows recorded
// times one hour later inside the range and gives its last day 25 hours.
#include <atomic>
#include <thread>
#include <tuple>

#include "catalog_test_util.h"

namespace catalog_test {
namespace {

class TablesTest : public CatalogTest {
 protected:
  // One file per entry, so each entry's minute is easy to follow.
  void Catalogue(const std::vector<Entry>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
      AddPair("f" + std::to_string(i), MakeSummary({entries[i]}));
    }
    ASSERT_EQ(catalog->Build(), 1);
  }
  static std::vector<int> Marked(const std::vector<uint32_t>& table) {
    std::vector<int> slots;
    for (int s = 0; s < kDayTableSlots; ++s) {
      if (table[s] != 0) slots.push_back(s);
    }
    return slots;
  }
  // Which of the day table's 25 hour rows are daylight hours, as a string of 0 and 1.
  static std::string DstHours(const DayTable& t) {
    std::string hours;
    for (uint32_t h : t.dst) hours += h != 0 ? '1' : '0';
    return hours;
  }
};

// Without a range, and with each invalid or inverted one, every day is ordinary; each mask
// goes to its own table; the date table queries store the count and copy only that many.
TEST_F(TablesTest, OrdinaryDayWithoutAValidRange) {
  EXPECT_TRUE(Dates().empty());
  catalog->GetDateTable(nullptr, nullptr);
  // A file without bytes adds no date and no minute, nor one whose end lies before its
  // start; one whose records all lie in one second is a recording like any other.
  for (const auto& [day, hour, dataBytes, length] :
       {std::tuple(2, 10, 0u, 30), {1, 11, 1000u, -1}, {1, 13, 1000u, 0}}) {
    storage::IndexSummary summary = MakeSummary({{Local(2021, 6, day, hour, 15), 1, 1}}, dataBytes);
    summary.endTime = summary.startTime + length;
    AddPair("h" + std::to_string(hour), summary);
  }
  Catalogue({{Local(2021, 6, 1, 10, 15), 1, 1u << 3, 0, 1u << 4, 1u << 5}});
  const std::vector<std::array<int32_t, 7>> ranges = {
      {0, 4, 1, 2, 10, 30, 3},  {1, 0, 1, 2, 10, 30, 3},  {1, 4, 1, 2, 13, 30, 3},
      {1, 4, 32, 2, 10, 30, 3}, {1, 4, 1, 60, 10, 30, 3}, {1, 4, 1, -1, 10, 30, 3},
      {1, 10, 30, 3, 4, 1, 2},  {1, 6, 1, 9, 6, 1, 12}};  // the last: no kind, but shifts
  for (const auto& r : ranges) {
    catalog->SetDSTRange(r[0], r[1], r[2], r[3], r[4], r[5], r[6]);
    const DayTable t = Day(Local(2021, 6, 1, 14, 0));
    EXPECT_EQ(std::pair(t.kind, t.hours), std::pair(0, 24));
    const int slot = r[1] == 6 ? 675 : 615;
    EXPECT_EQ(Marked(t.any), (std::vector<int>{slot, 795}));
    EXPECT_EQ(std::vector<uint32_t>({t.any[slot], t.r1[slot], t.r4[slot], t.audio[slot]}),
              std::vector<uint32_t>({24, 8, 16, 32}));
    EXPECT_TRUE(Marked(t.r2).empty());
    EXPECT_EQ(t.dst, std::vector<uint32_t>(kDayTableRows, 0));
  }
  EXPECT_TRUE(Marked(Day(Local(2021, 6, 2, 0, 0)).any).empty());
  EXPECT_EQ(Dates(), std::vector<int32_t>{Local(2021, 6, 1, 0, 0)});
  // A host that leaves any one output out gets nothing written into the others.
  for (size_t missing = 0; missing < 8; ++missing) {
    DayTable t;
    std::vector<void*> out = {t.any.data(),   t.r1.data(),  t.r2.data(), t.r4.data(),
                              t.audio.data(), t.dst.data(), &t.kind,     &t.hours};
    out[missing] = nullptr;
    catalog->GetDayTable(Local(2021, 6, 1, 0, 0), static_cast<uint32_t*>(out[0]),
                         static_cast<uint32_t*>(out[1]), static_cast<uint32_t*>(out[2]),
                         static_cast<uint32_t*>(out[3]), static_cast<uint32_t*>(out[4]),
                         static_cast<uint32_t*>(out[5]), static_cast<int32_t*>(out[6]),
                         static_cast<int32_t*>(out[7]));
    // (Marked counts the untouched fill too.)
    EXPECT_TRUE(Marked(t.any).size() + Marked(t.r1).size() == 2 * kDayTableSlots && t.kind == -1 &&
                t.hours == -1)
        << missing;
  }
}

// Inside the range times show one hour later (the last hour of May 31 moves to June 1);
// its first day is daylight from its start hour, its last has 25 hours, daylight up to its
// end hour; without a catalogue the minute tables are zero but the range applies.
TEST_F(TablesTest, DaysOfTheRangeShowTimesOneHourLater) {
  Catalogue({{Local(2021, 6, 1, 10, 15), 1, 1},
             {Local(2021, 5, 31, 23, 30), 1, 2},
             {Local(2021, 4, 1, 1, 30), 1, 1},
             {Local(2021, 4, 1, 2, 30), 1, 1},
             {Local(2021, 10, 30, 2, 30), 1, 1},
             {Local(2021, 10, 30, 3, 30), 1, 1}});
  catalog->SetDSTRange(1, 4, 1, 2, 10, 30, 3);
  const DayTable inside = Day(Local(2021, 6, 1, 0, 0));
  EXPECT_EQ(Marked(inside.any), (std::vector<int>{30, 675}));
  EXPECT_EQ(inside.r1[30], 2u);
  EXPECT_TRUE(Marked(Day(Local(2021, 5, 31, 0, 0)).any).empty());
  const DayTable first = Day(Local(2021, 4, 1, 12, 0)), last = Day(Local(2021, 10, 30, 0, 0));
  EXPECT_EQ(Marked(first.any), (std::vector<int>{90, 210}));
  EXPECT_EQ(Marked(last.any), (std::vector<int>{210, 270}));
  EXPECT_EQ(std::vector<std::string>({DstHours(first), DstHours(inside), DstHours(last)}),
            std::vector<std::string>({"0011111111111111111111110", std::string(24, '1') + "0",
                                      "1111000000000000000000000"}));
  const std::vector<std::pair<int32_t, int32_t>> kinds = {
      {Local(2021, 3, 31, 12, 0), 0}, {Local(2021, 4, 1, 23, 0), 2},
      {Local(2021, 4, 2, 0, 0), 1},   {Local(2021, 10, 29, 0, 0), 1},
      {Local(2021, 10, 30, 5, 0), 3}, {Local(2021, 10, 31, 0, 0), 0}};
  for (const auto& [date, kind] : kinds) EXPECT_EQ(Day(date).kind, kind) << date;
  catalog->Clear();
  const DayTable empty = Day(Local(2021, 10, 30, 0, 0));
  EXPECT_EQ(std::pair(empty.kind, empty.hours), std::pair(3, 25));
  EXPECT_TRUE(Marked(empty.any).empty() && Marked(empty.audio).empty());
  // A start hour of 30 carries into the next day.
  catalog->SetDSTRange(1, 4, 1, 30, 10, 30, 3);
  EXPECT_EQ(DstHours(Day(Local(2021, 4, 2, 0, 0))), "0000001111111111111111110");
  EXPECT_EQ(Day(Local(2021, 4, 1, 0, 0)).kind, 2);
}

// The zone's own daylight saving moves nothing, and the range's days are counted in
// calendar days across its 23-hour day.
TEST_F(TablesTest, TheZonesOwnChangesMoveNothing) {
  ScopedEnv berlin{"TZ", "Europe/Berlin"};
  Catalogue({{Local(2021, 7, 1, 10, 15), 1, 1},
             {Local(2021, 3, 28, 1, 30), 1, 1},
             {Local(2021, 3, 28, 3, 15), 1, 2},
             {Local(2021, 10, 31, 23, 59), 1, 0, 0, 4}});
  EXPECT_EQ(Marked(Day(Local(2021, 7, 1, 0, 0)).any), std::vector<int>{615});
  EXPECT_EQ(Marked(Day(Local(2021, 3, 28, 12, 0)).any), (std::vector<int>{90, 195}));
  EXPECT_EQ(Marked(Day(Local(2021, 10, 31, 12, 0)).r4), std::vector<int>{1439});
  EXPECT_EQ(Dates(), (std::vector<int32_t>{Local(2021, 3, 28, 0, 0), Local(2021, 7, 1, 0, 0),
                                           Local(2021, 10, 31, 0, 0)}));
  catalog->SetDSTRange(1, 3, 28, 2, 10, 30, 3);
  EXPECT_EQ(Day(Local(2021, 3, 28, 12, 0)).kind, 2);
  EXPECT_EQ(Day(Local(2021, 3, 29, 0, 0)).kind, 1);
  catalog->SetDSTRange(1, 3, 1, 2, 3, 29, 3);
  EXPECT_EQ(Day(Local(2021, 3, 29, 0, 30)).kind, 3);
  EXPECT_EQ(Day(Local(2021, 3, 28, 0, 30)).kind, 1);
}

// A day-table query racing STOP's Clear must never walk a released mapping.
TEST_F(TablesTest, DayTableRacingClearSeesAWholeCatalogueOrNone) {
  const int32_t t = Local(2021, 6, 1, 10, 0);
  for (int i = 0; i < 20; ++i) AddPair("f" + std::to_string(i), MakeSummary({{t + i * 60, 1, 1}}));
  std::atomic<bool> stop{false};
  std::atomic<int> partial{0}, queries{0};
  std::thread reader([&] {
    while (!stop.load()) {
      const size_t marked = Marked(Day(t).any).size();
      if (marked != 0 && marked != 20) partial.fetch_add(1);
      queries.fetch_add(1);
    }
  });
  for (int round = 0; (round < 30 || queries.load() < 30) && round < 100000; ++round) {
    ASSERT_EQ(catalog->Build(), 1);
    catalog->Clear();
  }
  stop.store(true);
  reader.join();
  EXPECT_EQ(partial.load(), 0);
}

}  // namespace
}  // namespace catalog_test
