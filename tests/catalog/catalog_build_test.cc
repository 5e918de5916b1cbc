// Building the catalogue: the search source, order, the time-table rule, source mode 1, the
// temporary mapping files, and hostile index files.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

#include "catalog_test_util.h"
#include "platform/syscall_faults.h"

namespace catalog_test {
namespace {

using BuildTest = CatalogTest;

// SETPATH: a set discards the list; only an add whose data file exists switches back; the
// host's directory is normalised and a directory in the name stays in the index path; no
// call changes a standing catalogue, whose list survives its Clear.
TEST_F(BuildTest, TheSearchSource) {
  WriteBytes(dir + "b.VDB", "", 0);
  catalog->AddIndexFile(dir, "b.FIH");
  catalog->SetIndexFile(dir.substr(0, dir.size() - 1), "h.FIH");
  EXPECT_EQ(std::tuple(catalog->sourceMode, catalog->headerPath,
                       catalog->indexPaths.size() + catalog->dataPaths.size()),
            std::tuple(1, dir + "h.FIH", 0u));
  catalog->AddIndexFile(dir, "y.FIH");  // no y.VDB
  EXPECT_EQ(catalog->sourceMode, 1);
  std::string windowsStyle = dir.substr(0, dir.size() - 1);
  std::replace(windowsStyle.begin(), windowsStyle.end(), '/', '\\');
  catalog->AddIndexFile(windowsStyle, "sub\\b.FIH");
  EXPECT_EQ(catalog->sourceMode, 0);
  EXPECT_EQ(catalog->indexPaths, std::vector<std::string>{dir + "sub/b.FIH"});
  EXPECT_EQ(catalog->dataPaths, std::vector<std::string>{dir + "b.VDB"});
  ASSERT_EQ(catalog->Build(), 1);
  catalog->AddIndexFile(dir, "b.FIH");
  catalog->SetIndexFile(dir, "h.FIH");
  EXPECT_EQ(std::tuple(catalog->sourceMode, catalog->indexPaths.size()), std::tuple(0, 1u));
  catalog->Clear();
  catalog->AddIndexFile(dir, "b.FIH");
  EXPECT_EQ(catalog->indexPaths.size(), 2u);
}

// Ordered by start time; equal starts keep the list order, a file listed twice is
// catalogued twice, files without recording go last; beyond the positions the reader can
// open the newest files are kept, so every day of the date table plays. Entries add their
// bytes to the slot of their local minute.
TEST_F(BuildTest, ListIsOrderedByStartTimeAndEntriesFillTheirMinutes) {
  const int32_t nine = Local(2021, 3, 5, 9, 0), ten = Local(2021, 3, 5, 10, 15);
  AddPair("a", MakeSummary({{nine, 10}}));
  AddPair("e1", storage::MakeEmptySummary());
  AddPair("t10", MakeSummary({{ten, 100}, {ten + 40, 23}, {Local(2021, 3, 5, 23, 59), 7}}, 4242));
  AddPair("b", MakeSummary({{nine, 20}}));
  AddPair("e2", storage::MakeEmptySummary());
  AddPair("t08", MakeSummary({{Local(2021, 3, 5, 8, 0), 10}}));
  catalog->AddIndexFile(dir, "a.FIH");
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"t08", "a", "b", "a", "t10", "e1", "e2"}));
  const FileTimeTable& t = Table(4);
  EXPECT_EQ(std::vector<uint32_t>({t.minuteBytes[615], t.minuteBytes[1439], Sum(t), t.dataBytes}),
            std::vector<uint32_t>({123, 7, 130, 4242}));
  EXPECT_EQ(t.startTime, ten);
  EXPECT_EQ(catalog->oldestFile, 0);
  catalog->maxFiles = 3;
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"b", "a", "t10"}));
  EXPECT_EQ(Dates(), std::vector<int32_t>{Local(2021, 3, 5, 0, 0)});
}

// Minute slots against the zone's own conversion, in zones with odd offsets and changes.
class ZoneSlotTest : public CatalogTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ZoneSlotTest, EverySlotMatchesTheLocalClock) {
  ScopedEnv zone("TZ", GetParam());
  std::mt19937 next(12345);
  for (int f = 0; f < 40; ++f) {
    // Spread over 2021, runs of minutes (the common case) and random jumps.
    std::vector<Entry> entries;
    int32_t t = Local(2021, 1, 1, 0, 0) + static_cast<int32_t>(next() % (365u * 86400u));
    for (int i = 0; i < 120;
         ++i, t += next() % 4 == 0 ? static_cast<int32_t>(next() % 20000) : 60) {
      entries.push_back({t, 1});
    }
    AddPair("z" + std::to_string(f), MakeSummary(entries));
  }
  ASSERT_EQ(catalog->Build(), 1);
  for (int32_t j = 0; j < catalog->view.count; ++j) {
    std::vector<uint32_t> expected(kMinuteSlots, 0);
    for (const storage::IndexEntry& e : catalog->FileInfoAt(j)->summary.entries) {
      const platform::LocalFields f = platform::CTime(e.time).Local();
      expected[f.hour * 60 + f.minute] += e.bytes;
    }
    const uint32_t* slots = Table(j).minuteBytes;
    ASSERT_EQ(std::vector<uint32_t>(slots, slots + kMinuteSlots), expected) << "file " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, ZoneSlotTest,
                         ::testing::Values("UTC", "Europe/Berlin", "Asia/Kolkata",
                                           "Australia/Lord_Howe", "America/St_Johns"));

storage::IndexRecord Rec(const std::string& title, int hour, uint32_t dataBytes = 1000) {
  return testsupport::MakeRecord(title + ".VDB",
                                 MakeSummary({{Local(2021, 3, 5, hour, 0), 1}}, dataBytes));
}

// Source mode 1: the oldest record with data is the first position (of equal starts the
// earlier record), the others follow in rotation order; a record count beyond the file's
// whole records is cut to them, a count of 0 or an empty file fails the build, and a file
// that cannot be opened for writing gives an empty catalogue.
TEST_F(BuildTest, OneIndexFileIsCataloguedFromItsOldestRecord) {
  const std::string path = dir + "set.FIH";
  testsupport::WriteIndexFile(path, {Rec("r0", 12), Rec("r1", 8), Rec("r2", 1, 0), Rec("r3", 8)},
                              1000000);
  std::ofstream(path, std::ios::binary | std::ios::app) << std::string(1000, 'x');
  catalog->SetIndexFile(dir, "set.FIH");
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(catalog->oldestFile, 1);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"r1", "r2", "r3", "r0"}));
  EXPECT_EQ(Table(1).startTime, platform::CTime::NoTime().seconds());
  EXPECT_EQ(Table(3).startTime, Local(2021, 3, 5, 12, 0));
  EXPECT_NE(catalog->headerFile, nullptr);
  catalog->Clear();
  EXPECT_EQ(catalog->headerFile, nullptr);
  catalog->maxFiles = 2;
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"r3", "r0"}));

  {
    platform::ScopedSyscallFault refused(platform::ScopedSyscallFault::Call::kOpen, EACCES, 0,
                                         platform::ScopedSyscallFault::kPersistent, "set.FIH");
    EXPECT_EQ(catalog->Build(), 1);
  }
  EXPECT_TRUE(catalog->view.count == 0 && catalog->headerFile == nullptr && Dates().empty());

  for (uint32_t count : {0u, 1u}) {
    testsupport::WriteIndexFile(path, {Rec("r0", 9)}, count);
    if (count == 1) WriteBytes(path, "", 0);
    EXPECT_EQ(catalog->Build(), 0);
    EXPECT_EQ(std::tuple(catalog->loaded.load(), catalog->view.count, MappingFiles()),
              std::tuple(0, 0, 0u));
  }
}

// The catalogue holds its two tables open while it stands, none of them ever has a name in
// the temporary directory, and a mapping that cannot be made leaves an empty catalogue.
TEST_F(BuildTest, TwoUnnamedTableFilesAreHeldWhileTheCatalogueStands) {
  EXPECT_EQ(catalog->Build(), 1);  // an empty list: an empty catalogue without them
  EXPECT_EQ(testsupport::OpenFilesUnder(tmpDir), 0u);
  catalog->Clear();
  AddPair("gone", MakeSummary({{Local(2021, 3, 5, 9, 0), 1, 1}}));
  std::filesystem::remove(dir + "gone.FIH");  // nothing readable: the same
  EXPECT_EQ(catalog->Build(), 1);
  EXPECT_EQ(testsupport::OpenFilesUnder(tmpDir), 0u);
  catalog->Clear();
  AddPair("a", MakeSummary({{Local(2021, 3, 5, 9, 0), 1, 1}}));
  {
    platform::ScopedSyscallFault failing(platform::ScopedSyscallFault::Call::kMmap, ENOMEM);
    EXPECT_EQ(catalog->Build(), 0);
  }
  EXPECT_TRUE(catalog->view.count == 0 && Dates().empty());
  EXPECT_EQ(Day(Local(2021, 3, 5, 0, 0)).any[540], 0u);
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(std::tuple(testsupport::OpenFilesUnder(tmpDir), MappingFiles()), std::tuple(2u, 0u));
  for (int32_t j : {-1, 1}) {  // one file: only position 0 is in the catalogue
    EXPECT_TRUE(catalog->FileInfoAt(j) == nullptr && catalog->TimeTableAt(j) == nullptr) << j;
  }
  catalog->Clear();
  EXPECT_EQ(std::tuple(testsupport::OpenFilesUnder(tmpDir), catalog->loaded.load()),
            std::tuple(0u, 0));
  EXPECT_EQ(Dates().size(), 1u) << "Clear keeps the date table";
  ASSERT_EQ(catalog->Build(), 1);
  catalog.reset();
  EXPECT_EQ(testsupport::OpenFilesUnder(tmpDir), 0u);
}

// Hostile index files in the list: a truncated one reads as zero past its end (never stale
// bytes of another), an empty one has no recording, one without its data file is never
// listed, one that cannot be opened is left out, and lastEntry is bounded to 0..119.
TEST_F(BuildTest, HostileIndexFilesAreReadWithinBounds) {
  const int32_t t = Local(2021, 3, 5, 10, 0);
  std::vector<Entry> all;
  for (int32_t i = 0; i < 120; ++i) all.push_back({t + i * 60, 1, 1});
  storage::IndexSummary high = MakeSummary(all), negative = MakeSummary(all);
  high.lastEntry = 5000;
  negative.lastEntry = -7;
  AddPair("high", high);
  AddPair("cut", MakeSummary({{t + 3600, 9}, {t + 3660, 9}, {t + 3720, 9}}));
  std::filesystem::resize_file(dir + "cut.FIH",
                               storage::kIndexSummaryOffset + 16 + storage::kIndexEntrySize);
  AddPair("empty", MakeSummary(all));
  std::filesystem::resize_file(dir + "empty.FIH", 0);
  AddPair("negative", negative);
  catalog->AddIndexFile(dir, "missing.FIH");
  WriteBytes(dir + "noindex.VDB", "", 0);
  catalog->AddIndexFile(dir, "noindex.FIH");
  ASSERT_EQ(catalog->Build(), 1);
  ASSERT_EQ(Titles(), (std::vector<std::string>{"high", "negative", "cut", "empty"}));
  EXPECT_EQ(std::vector<uint32_t>({Sum(Table(0)), Sum(Table(1)), Sum(Table(2)), Sum(Table(3))}),
            std::vector<uint32_t>({120, 0, 9, 0}));
  EXPECT_EQ(Table(1).startTime, t) << "times are kept even without entries";
  EXPECT_EQ(Table(2).minuteBytes[11 * 60], 9u);
  EXPECT_EQ(catalog->FileInfoAt(2)->summary.entries[1].time, 0);
  EXPECT_EQ(Table(3).dataBytes, 0u);
  EXPECT_EQ(Table(3).endTime, platform::CTime::NoTime().seconds());
  const std::vector<uint32_t> any = Day(t).any;  // the day table is bounded the same way
  EXPECT_EQ(std::count(any.begin(), any.end(), 1u), 120);
}

}  // namespace
}  // namespace catalog_test
