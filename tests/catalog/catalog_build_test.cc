// Building the catalogue: order, slots, the time-table rule, source mode 1, the temporary
// mapping files, and hostile index files.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <numeric>

#include "catalog_test_util.h"
#include "platform/syscalls.h"

namespace catalog_test {
namespace {

using BuildTest = CatalogTest;

// Ordered by start time; equal starts keep the list order, a file listed twice is
// catalogued twice, and files without recording go last in list order.
TEST_F(BuildTest, ListIsOrderedByStartTimeWithItsDataPaths) {
  const int32_t nine = Local(2021, 3, 5, 9, 0);
  AddPair("a", MakeSummary({{nine, 10}}));
  AddPair("e1", storage::MakeEmptySummary());
  AddPair("t10", MakeSummary({{Local(2021, 3, 5, 10, 0), 10}}));
  AddPair("b", MakeSummary({{nine, 20}}));
  AddPair("e2", storage::MakeEmptySummary());
  AddPair("t08", MakeSummary({{Local(2021, 3, 5, 8, 0), 10}}));
  catalog->AddIndexFile(dir, "a.FIH");
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(Paths(), Vdb({"t08", "a", "b", "a", "t10", "e1", "e2"}));
  EXPECT_EQ(StartAt(0), Local(2021, 3, 5, 8, 0));
  EXPECT_EQ(StartAt(4), Local(2021, 3, 5, 10, 0));
  EXPECT_EQ(catalog->oldestFile, 0);

  // Beyond the positions the reader can open, the newest files are kept, so every day of
  // the date table can be played.
  catalog->maxFiles = 3;
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(Paths(), Vdb({"b", "a", "t10"}));
  EXPECT_EQ(Dates(), std::vector<int32_t>{Local(2021, 3, 5, 0, 0)});
}

TEST_F(BuildTest, EntriesAddToTheSlotOfTheirLocalMinute) {
  const int32_t t = Local(2021, 3, 5, 10, 15);
  AddPair("a", MakeSummary({{t, 100}, {t + 40, 23}, {Local(2021, 3, 5, 23, 59), 7}}, 4242));
  ASSERT_EQ(catalog->Build(), 1);
  const FileTimeTable* table = catalog->TimeTableAt(0);
  EXPECT_EQ(table->minuteBytes[615], 123u);
  EXPECT_EQ(table->minuteBytes[1439], 7u);
  EXPECT_EQ(table->dataBytes, 4242u);
  EXPECT_EQ(table->startTime, t);
  EXPECT_EQ(std::accumulate(table->minuteBytes, table->minuteBytes + kMinuteSlots, 0u), 130u);
}

// Minute slots against the zone's own conversion, in zones with odd offsets and changes.
class ZoneSlotTest : public CatalogTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ZoneSlotTest, EverySlotMatchesTheLocalClock) {
  ScopedEnv zone("TZ", GetParam());
  uint32_t seed = 12345;
  const auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  std::vector<std::vector<Entry>> files(40);
  for (auto& entries : files) {
    // Spread over 2021, runs of minutes (the common case) and random jumps.
    int32_t t = Local(2021, 1, 1, 0, 0) + static_cast<int32_t>(next() % (365u * 86400u));
    for (int i = 0; i < 120; ++i) {
      entries.push_back({t, 1});
      t += (next() % 4 == 0) ? static_cast<int32_t>(next() % 20000) : 60;
    }
  }
  for (size_t f = 0; f < files.size(); ++f) AddPair("z" + std::to_string(f), MakeSummary(files[f]));
  ASSERT_EQ(catalog->Build(), 1);
  for (int32_t j = 0; j < catalog->view.count; ++j) {
    const storage::IndexSummary& s = catalog->FileInfoAt(j)->summary;
    std::vector<uint32_t> expected(kMinuteSlots, 0);
    for (const storage::IndexEntry& e : s.entries) {
      const platform::LocalFields f = platform::CTime(e.time).Local();
      expected[f.hour * 60 + f.minute] += e.bytes;
    }
    const FileTimeTable* table = catalog->TimeTableAt(j);
    ASSERT_EQ(std::vector<uint32_t>(table->minuteBytes, table->minuteBytes + kMinuteSlots),
              expected)
        << "file " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, ZoneSlotTest,
                         ::testing::Values("UTC", "Europe/Berlin", "Asia/Kolkata",
                                           "Australia/Lord_Howe", "America/St_Johns",
                                           "Asia/Shanghai"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '/', '_');
                           return name;
                         });

// ---------------------------------------------------------------------------------------
// Source mode 1: one index file with several records.

class IndexFileTest : public CatalogTest {
 protected:
  std::string WriteHeaderIndex(const std::vector<storage::IndexRecord>& records, uint32_t count) {
    const std::string path = dir + "set.FIH";
    WriteIndexFile(path, records, count);
    catalog->SetIndexFile(dir, "set.FIH");
    return path;
  }
  // A record of <title>.VDB recorded from `hour` on 2021-03-05.
  static storage::IndexRecord Rec(const std::string& title, int hour, uint32_t dataBytes = 1000) {
    return MakeRecord(title + ".VDB", MakeSummary({{Local(2021, 3, 5, hour, 0), 1}}, dataBytes));
  }
};

// The oldest record with data is the first position (of equal starts the earlier record),
// the others follow in rotation order; a record count beyond the file's whole records is
// cut to them.
TEST_F(IndexFileTest, CataloguesFromTheOldestRecordInRotationOrder) {
  const std::string path =
      WriteHeaderIndex({Rec("r0", 12), Rec("r1", 8), Rec("r2", 1, 0), Rec("r3", 8)}, 1000000);
  // Half a fifth record: not a whole record, so not catalogued.
  std::ofstream(path, std::ios::binary | std::ios::app) << std::string(1000, 'x');
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(catalog->oldestFile, 1);
  EXPECT_EQ(Paths(), Vdb({"r1", "r2", "r3", "r0"}));
  EXPECT_EQ(StartAt(1), platform::CTime::NoTime().seconds());
  EXPECT_EQ(StartAt(3), Local(2021, 3, 5, 12, 0));
  EXPECT_NE(catalog->headerFile, nullptr);
  catalog->Clear();
  EXPECT_EQ(catalog->headerFile, nullptr);

  // Beyond the positions the reader can open, the newest records are kept.
  catalog->maxFiles = 2;
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(Paths(), Vdb({"r3", "r0"}));
}

TEST_F(IndexFileTest, ZeroRecordCountOrEmptyFileFailsTheBuild) {
  WriteHeaderIndex({Rec("r0", 9)}, 0);
  EXPECT_EQ(catalog->Build(), 0);
  EXPECT_EQ(catalog->loaded.load(), 0);
  EXPECT_EQ(catalog->view.count, 0);
  EXPECT_EQ(MappingFiles(tmpDir), 0u);
  WriteBytes(dir + "set.FIH", "", 0);  // an empty file fails too
  EXPECT_EQ(catalog->Build(), 0);
  EXPECT_EQ(catalog->view.count, 0);
}

// Fails opens for writing of one path, as a read-only file would.
std::string g_refusedPath;
int RefuseWritableOpen(const char* path, int flags, mode_t mode) {
  if ((flags & O_ACCMODE) != O_RDONLY && g_refusedPath == path) {
    errno = EACCES;
    return -1;
  }
  return platform::RealSyscalls().open(path, flags, mode);
}

TEST_F(IndexFileTest, FileThatCannotBeOpenedForWritingGivesAnEmptyCatalogue) {
  g_refusedPath = WriteHeaderIndex({Rec("r0", 9)}, 1);
  platform::SetSyscall(&platform::Syscalls::open, &RefuseWritableOpen);
  const int32_t result = catalog->Build();
  platform::RestoreSyscalls();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(catalog->loaded.load(), 1);
  EXPECT_EQ(catalog->view.count, 0);
  EXPECT_EQ(catalog->headerFile, nullptr);
  EXPECT_TRUE(Dates().empty());
}

// ---------------------------------------------------------------------------------------
// Temporary mapping files.

using TempFileTest = CatalogTest;

// The catalogue holds its two tables open while it stands, and none of them ever has a name
// in the temporary directory.
TEST_F(TempFileTest, TwoUnnamedFilesAreHeldWhileTheCatalogueStands) {
  // An empty list builds an empty catalogue without them.
  EXPECT_EQ(catalog->Build(), 1);
  EXPECT_EQ(catalog->loaded.load(), 1);
  EXPECT_EQ(catalog->view.count, 0);
  EXPECT_EQ(MappingFiles(tmpDir), 0u);
  EXPECT_TRUE(Dates().empty());
  catalog->Clear();

  AddPair("a", MakeSummary({{Local(2021, 3, 5, 9, 0), 1}}));
  ASSERT_EQ(catalog->Build(), 1);
  EXPECT_EQ(testsupport::OpenFilesUnder(tmpDir), 2u);
  EXPECT_EQ(MappingFiles(tmpDir), 0u);

  catalog->Clear();
  EXPECT_EQ(testsupport::OpenFilesUnder(tmpDir), 0u);
  EXPECT_EQ(catalog->view.count, 0);
  EXPECT_EQ(catalog->loaded.load(), 0);
  EXPECT_EQ(Dates().size(), 1u) << "Clear keeps the date table";

  ASSERT_EQ(catalog->Build(), 1);  // the list survived
  EXPECT_EQ(testsupport::OpenFilesUnder(tmpDir), 2u);
  catalog.reset();
  EXPECT_EQ(testsupport::OpenFilesUnder(tmpDir), 0u);
  EXPECT_EQ(MappingFiles(tmpDir), 0u);
}

void* FailingMmap(void*, size_t, int, int, int, off_t) {
  errno = ENOMEM;
  return reinterpret_cast<void*>(-1);
}

TEST_F(TempFileTest, MappingThatCannotBeCreatedLeavesAnEmptyCatalogue) {
  AddPair("a", MakeSummary({{Local(2021, 3, 5, 9, 0), 1, 1}}));
  platform::SetSyscall(&platform::Syscalls::mmap, &FailingMmap);
  const int32_t result = catalog->Build();
  platform::RestoreSyscalls();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(catalog->view.count, 0);
  EXPECT_EQ(MappingFiles(tmpDir), 0u);
  EXPECT_TRUE(Dates().empty());
  EXPECT_EQ(Day(Local(2021, 3, 5, 0, 0)).any[540], 0u);
  // The source is intact: the next build works.
  EXPECT_EQ(catalog->Build(), 1);
  EXPECT_EQ(catalog->view.count, 1);
}

// ---------------------------------------------------------------------------------------
// Hostile index files in the list.

using BadIndexTest = CatalogTest;

TEST_F(BadIndexTest, EmptyAndTruncatedFilesAreZeroPaddedNotStale) {
  const int32_t t = Local(2021, 3, 5, 10, 0);
  std::vector<Entry> many;
  for (int i = 0; i < 10; ++i) many.push_back({t + i * 60, 50});
  AddPair("full", MakeSummary(many));
  // Truncated right after its first entry, although it claims three: the missing entries
  // read as zero and add nothing.
  AddPair("cut", MakeSummary({{t + 3600, 9}, {t + 3660, 9}, {t + 3720, 9}}));
  std::filesystem::resize_file(dir + "cut.FIH",
                               storage::kIndexSummaryOffset + 16 + storage::kIndexEntrySize);
  AddPair("empty", MakeSummary(many));
  std::filesystem::resize_file(dir + "empty.FIH", 0);
  catalog->AddIndexFile(dir, "missing.FIH");  // no data file: never listed
  WriteBytes(dir + "noindex.VDB", "", 0);
  catalog->AddIndexFile(dir, "noindex.FIH");  // listed, but its index cannot be opened

  ASSERT_EQ(catalog->Build(), 1);
  ASSERT_EQ(Paths(), Vdb({"full", "cut", "empty"}));
  const FileTimeTable* c = catalog->TimeTableAt(1);
  EXPECT_EQ(std::accumulate(c->minuteBytes, c->minuteBytes + kMinuteSlots, 0u), 9u);
  EXPECT_EQ(c->minuteBytes[11 * 60], 9u);
  EXPECT_EQ(catalog->FileInfoAt(1)->summary.entries[1].time, 0);
  const FileTimeTable* e = catalog->TimeTableAt(2);
  EXPECT_EQ(e->dataBytes, 0u);
  EXPECT_EQ(e->startTime, platform::CTime::NoTime().seconds());
  EXPECT_EQ(e->endTime, platform::CTime::NoTime().seconds());
}

TEST_F(BadIndexTest, LastEntryOutOfRangeIsBounded) {
  const int32_t t = Local(2021, 3, 5, 0, 0);
  std::vector<Entry> all;
  for (uint32_t i = 0; i < storage::kIndexEntryCount; ++i) {
    all.push_back({t + static_cast<int32_t>(i) * 60, 1, 1});
  }
  storage::IndexSummary high = MakeSummary(all);
  high.lastEntry = 5000;
  for (Entry& e : all) e.reason1 = 2;
  storage::IndexSummary negative = MakeSummary(all);
  negative.lastEntry = -7;
  AddPair("high", high);
  AddPair("negative", negative);
  ASSERT_EQ(catalog->Build(), 1);
  const FileTimeTable* h = catalog->TimeTableAt(0);
  const FileTimeTable* n = catalog->TimeTableAt(1);
  EXPECT_EQ(std::accumulate(h->minuteBytes, h->minuteBytes + kMinuteSlots, 0u), 120u);
  EXPECT_EQ(std::accumulate(n->minuteBytes, n->minuteBytes + kMinuteSlots, 0u), 0u);
  EXPECT_EQ(n->startTime, t) << "times are kept even without entries";
  const DayTable d = Day(t);
  for (int s = 0; s < kDayTableSlots; ++s) {
    ASSERT_EQ(d.any[s], s < 120 ? 1u : 0u) << s;  // only the first file's 120 entries
  }
}

}  // namespace
}  // namespace catalog_test
