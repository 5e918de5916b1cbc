// The catalogue over a fresh directory of recordings, with a private temporary directory (so
// its mapping files can be counted) and TZ=UTC: the search source, the order, minute slots,
// one index file as source, the table files, hostile index files, and the date and day tables
// with the host's daylight-saving range, which shows recorded times one hour later.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <numeric>
#include <random>
#include <thread>
#include <tuple>

#include "catalog/file_catalog.h"
#include "platform/syscall_faults.h"
#include "support/process_state.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"

namespace {

using namespace std::string_literals;
using Call = platform::ScopedSyscallFault::Call;

int32_t Local(int month, int day, int hour, int minute) {
  return testsupport::LocalSeconds(2021, month, day, hour, minute);
}

struct Entry {
  int32_t time = 0;
  uint32_t bytes = 0, reason1 = 0, reason2 = 0, reason4 = 0, audio = 0;
};

// A summary as the writer leaves it: start at the first entry, end 30 s after the last.
storage::IndexSummary MakeSummary(const std::vector<Entry>& entries, uint32_t dataBytes = 1000) {
  storage::IndexSummary s = storage::MakeEmptySummary();
  std::tie(s.startTime, s.endTime, s.dataBytes, s.lastEntry) = std::tuple(
      entries.front().time, entries.back().time + 30, dataBytes, int32_t(entries.size()) - 1);
  storage::IndexEntry* out = s.entries;
  for (Entry e : entries)
    *out++ = {uint32_t(e.time), e.bytes, e.reason1, e.reason2, e.reason4, e.audio};
  return s;
}

class CatalogTest : public ::testing::Test {
 protected:
  // Day table of one date, every buffer pre-filled with a sentinel.
  struct DayTable {
    std::vector<uint32_t> any = std::vector<uint32_t>(kDayTableSlots, 0xDEADBEEF);
    std::vector<uint32_t> r1 = any, r2 = any, r4 = any, audio = any;
    std::vector<uint32_t> dst = std::vector<uint32_t>(kDayTableRows, 0xDEADBEEF);
    int32_t kind = -1, hours = -1;
    std::string dstHours;  // which of the 25 hour rows are daylight hours, as 0 and 1
  };
  // Leaving output `missing` out (a null pointer).
  DayTable Day(int32_t date, int missing = -1) {
    DayTable t;
    std::array<void*, 8> out = {t.any.data(),   t.r1.data(),  t.r2.data(), t.r4.data(),
                                t.audio.data(), t.dst.data(), &t.kind,     &t.hours};
    if (missing >= 0) out[missing] = nullptr;
    const auto column = [&](int i) { return static_cast<uint32_t*>(out[i]); };
    catalog->GetDayTable(date, column(0), column(1), column(2), column(3), column(4), column(5),
                         static_cast<int32_t*>(out[6]), static_cast<int32_t*>(out[7]));
    for (uint32_t h : t.dst) t.dstHours += h != 0 ? '1' : '0';
    return t;
  }
  // The slots of a column that are not 0 (an untouched sentinel counts too).
  static std::vector<int> Marked(const std::vector<uint32_t>& column) {
    std::vector<int> slots;
    for (int s = 0; s < kDayTableSlots; ++s)
      if (column[s] != 0) slots.push_back(s);
    return slots;
  }
  std::vector<int32_t> Dates() {
    int32_t count = -1;
    catalog->GetDateTable(nullptr, &count);
    std::vector<uint32_t> table(static_cast<size_t>(std::max(count, 0)) + 1, 0xDEADBEEF);
    catalog->GetDateTable(table.data(), &count);
    EXPECT_EQ(table[count], 0xDEADBEEFu) << "copied more than the count";
    return std::vector<int32_t>(table.begin(), table.begin() + count);
  }
  // Titles of the catalogue's data files in position order ("<dir><title>.VDB").
  std::vector<std::string> Titles() {
    std::vector<std::string> titles;
    for (int32_t j = 0; j < catalog->view.count; ++j)
      titles.push_back(
          std::filesystem::path(storage::FileInfoPath(*catalog->FileInfoAt(j))).stem());
    return titles;
  }
  const FileTimeTable& Table(int32_t j) { return *catalog->TimeTableAt(j); }
  static uint32_t Sum(const FileTimeTable& t) {
    return std::accumulate(std::begin(t.minuteBytes), std::end(t.minuteBytes), 0u);
  }
  // Lists a recorder-style pair: <title>.FIH with one record and an empty <title>.VDB.
  void AddPair(const std::string& title, const storage::IndexSummary& s) {
    testsupport::WriteIndexFile(dir + title + ".FIH", {testsupport::MakeRecord(title + ".VDB", s)});
    testsupport::WriteBytes(dir + title + ".VDB");
    catalog->AddIndexFile(dir, title + ".FIH");
  }
  size_t MappingFiles() const { return testsupport::CountEntries(tmpDir, "fmap"); }
  // A cause as the caller sees it: "<operation> <path: under the recordings as is, the
  // temporary directory as TMP/>: <cause>".
  std::string Seen(const platform::Status& status) const {
    std::string text = status.ToString();
    for (const auto& [from, to] : {std::pair(dir, std::string()), std::pair(tmpDir, "TMP/"s)})
      if (const size_t at = text.find(from); at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
  }
  std::vector<std::string> Problems() const {
    std::vector<std::string> seen;
    for (const platform::Status& p : catalog->problems) seen.push_back(Seen(p));
    return seen;
  }

  testsupport::ScratchDir scratch;
  std::string tmpDir = scratch.Sub("tmp"), dir = scratch.Sub("rec");
  testsupport::ScopedEnv tz{"TZ", "UTC"}, tmp{"TMPDIR", tmpDir};
  std::unique_ptr<CFileCatalog> catalog = std::make_unique<CFileCatalog>();
};

// SETPATH: a set discards the list; only an add whose data file exists switches back; the
// host's directory is normalised and a directory in the name stays in the index path.
TEST_F(CatalogTest, TheSearchSource) {
  testsupport::WriteBytes(dir + "b.VDB");
  catalog->AddIndexFile(dir, "b.FIH");
  catalog->SetIndexFile(dir.substr(0, dir.size() - 1), "h.FIH");
  catalog->AddIndexFile(dir, "y.FIH");  // no y.VDB
  EXPECT_EQ(std::tuple(catalog->sourceMode, catalog->headerPath, catalog->indexPaths.size()),
            std::tuple(1, dir + "h.FIH", 0u));
  catalog->AddIndexFile(dir, "sub\\b.FIH");
  EXPECT_EQ(std::tuple(catalog->sourceMode, catalog->indexPaths, catalog->dataPaths),
            std::tuple(0, std::vector{dir + "sub/b.FIH"}, std::vector{dir + "b.VDB"}));
  // No index file readable: an empty catalogue without table files, and why.
  EXPECT_EQ(Seen(catalog->Build()), "open sub/b.FIH: No such file or directory");
  EXPECT_EQ(catalog->loaded.load(), 1);
  EXPECT_EQ(testsupport::OpenFilesUnder(tmpDir), 0u);
  catalog->SetIndexFile(dir, "h.FIH");  // while the catalogue stands, its source stays
  catalog->AddIndexFile(dir, "b.FIH");
  EXPECT_EQ(std::tuple(catalog->sourceMode, catalog->indexPaths.size()), std::tuple(0, 1u));
}

// Minute slots against the zone's own conversion, in zones with odd offsets and changes;
// and a day-table query racing STOP's Clear never walks a released mapping.
TEST_F(CatalogTest, EveryMinuteSlotMatchesTheLocalClockAndQueriesRacingClearSeeAllOrNone) {
  std::mt19937 next(12345);
  for (int f = 0; f < 40; ++f) {
    // Spread over 2021, runs of minutes (the common case) and random jumps.
    std::vector<Entry> entries;
    int32_t t = Local(1, 1, 0, 0) + static_cast<int32_t>(next() % (365u * 86400u));
    for (int i = 0; i < 120; ++i, t += next() % 4 == 0 ? int32_t(next() % 20000) : 60)
      entries.push_back({t, 1, 1});
    AddPair("z" + std::to_string(f), MakeSummary(entries));
  }
  for (const char* zone :
       {"Europe/Berlin", "Asia/Kolkata", "Australia/Lord_Howe", "America/St_Johns"}) {
    testsupport::ScopedTimeZone local(zone);
    ASSERT_TRUE(catalog->Build().ok());
    for (int32_t j = 0; j < catalog->view.count; ++j) {
      for (const storage::IndexEntry& e : catalog->FileInfoAt(j)->summary.entries) {
        const platform::LocalFields f = platform::CTime(e.time).Local();
        ASSERT_NE(Table(j).minuteBytes[f.hour * 60 + f.minute], 0u) << zone << " " << e.time;
      }
      ASSERT_EQ(Sum(Table(j)), 120u) << zone;
    }
    if (std::string(zone) == "Europe/Berlin") {      // a range's days are calendar days
      catalog->SetDSTRange(1, 3, 28, 2, 10, 30, 3);  // across the 23-hour one
      const int first = Day(Local(3, 28, 12, 0)).kind, next = Day(Local(3, 29, 0, 0)).kind;
      catalog->SetDSTRange(1, 3, 1, 2, 3, 29, 3);
      EXPECT_EQ(
          std::tuple(first, next, Day(Local(3, 28, 0, 30)).kind, Day(Local(3, 29, 0, 30)).kind),
          std::tuple(2, 1, 1, 3));
    }
  }
  ASSERT_TRUE(catalog->Build().ok());
  const int32_t day = catalog->FileInfoAt(0)->summary.startTime;
  const size_t all = Marked(Day(day).any).size();
  std::atomic<int> stop{0}, partial{0}, queries{0};
  std::thread reader([&] {
    for (; !stop.load(); queries.fetch_add(1)) {
      const size_t marked = Marked(Day(day).any).size();
      if (marked != 0 && marked != all) partial.fetch_add(1);
    }
  });
  for (int round = 0; (round < 30 || queries.load() < 30) && round < 100000; ++round) {
    EXPECT_TRUE(catalog->Build().ok());
    catalog->Clear();
  }
  stop.store(1);
  reader.join();
  EXPECT_EQ(std::pair(partial.load(), all > 10), std::pair(0, true));
}

// Source mode 1: the oldest record with data is the first position (of equal starts the
// earlier record), the others follow in rotation order; a record count beyond the file's
// whole records is cut to them, a count of 0 or an empty file fails the build, and a file
// that cannot be opened for writing gives an empty catalogue. The catalogue holds its two
// tables open while it stands, never with a name in the temporary directory, and a mapping
// that cannot be made leaves an empty catalogue.
TEST_F(CatalogTest, OneIndexFileIsCataloguedFromItsOldestRecordIntoTwoUnnamedTables) {
  const auto record = [](const char* title, int hour, uint32_t dataBytes = 1000) {
    return testsupport::MakeRecord(std::string(title) + ".VDB",
                                   MakeSummary({{Local(3, 5, hour, 0), 1}}, dataBytes));
  };
  const std::string path = dir + "set.FIH";
  testsupport::WriteIndexFile(
      path, {record("r0", 12), record("r1", 8), record("r2", 1, 0), record("r3", 8)}, 1000000);
  std::filesystem::resize_file(path, std::filesystem::file_size(path) + 1000);
  catalog->SetIndexFile(dir, "set.FIH");
  ASSERT_TRUE(catalog->Build().ok());
  EXPECT_EQ(std::tuple(catalog->oldestFile, Titles(), Table(1).startTime, Table(3).startTime),
            std::tuple(1, std::vector<std::string>{"r1", "r2", "r3", "r0"},
                       platform::CTime::NoTime().seconds(), Local(3, 5, 12, 0)));
  EXPECT_EQ(std::tuple(testsupport::OpenFilesUnder(tmpDir), MappingFiles()), std::tuple(2u, 0u));
  EXPECT_EQ(std::tuple(catalog->FileInfoAt(-1), catalog->FileInfoAt(4), catalog->TimeTableAt(-1),
                       catalog->TimeTableAt(4)),
            std::tuple(nullptr, nullptr, nullptr, nullptr));
  catalog->Clear();
  EXPECT_EQ(std::tuple(testsupport::OpenFilesUnder(tmpDir), catalog->loaded.load(), Dates().size()),
            std::tuple(0u, 0, 1u));  // Clear keeps the date table
  catalog->maxFiles = 2;
  ASSERT_TRUE(catalog->Build().ok());
  EXPECT_EQ(Titles(), (std::vector<std::string>{"r3", "r0"}));
  {
    platform::ScopedSyscallFault failing(platform::ScopedSyscallFault::Call::kMmap, ENOMEM);
    EXPECT_EQ(Seen(catalog->Build()), "map TMP/: Cannot allocate memory");
    EXPECT_EQ(catalog->loaded.load(), 0);
  }
  EXPECT_TRUE(catalog->view.count == 0 && Dates().empty() && Day(Local(3, 5, 0, 0)).any[540] == 0);
  testsupport::WriteIndexFile(path, {record("r0", 9)}, 0);
  EXPECT_EQ(Seen(catalog->Build()),
            "read set.FIH: not an index file (its header counts 0 records, it holds 1)");
  EXPECT_EQ(catalog->loaded.load(), 0);
  testsupport::WriteBytes(path);
  EXPECT_EQ(Seen(catalog->Build()),
            "read set.FIH: not an index file (its header counts 0 records, it holds 0)");
  EXPECT_EQ(std::tuple(catalog->loaded.load(), catalog->view.count, MappingFiles()),
            std::tuple(0, 0, 0u));
}

// In one index file, a record whose name leads out of the index file's directory (a
// separator, "..") is catalogued empty, with no path to open and no records, and counted;
// the others are catalogued as they are.
TEST_F(CatalogTest, ARecordNamingAFileOutsideTheIndexFilesDirectoryIsSkippedAndCounted) {
  std::vector<storage::IndexRecord> records;
  for (const char* name : {"r0.VDB", "../outside/victim.VDB", "sub/x.VDB", "..", "r4.VDB"}) {
    records.push_back(testsupport::MakeRecord(name, MakeSummary({{Local(3, 5, 9, 0), 1}})));
  }
  testsupport::WriteIndexFile(dir + "set.FIH", records);
  catalog->SetIndexFile(dir, "set.FIH");
  EXPECT_EQ(Seen(catalog->Build()),
            "read set.FIH: 3 records name a file outside the index file's directory");
  ASSERT_EQ(catalog->loaded.load(), 1);
  std::vector<std::string> paths;
  for (int32_t j = 0; j < catalog->view.count; ++j) {
    paths.push_back(storage::FileInfoPath(*catalog->FileInfoAt(j)));
    EXPECT_EQ(Table(j).dataBytes, paths.back().empty() ? 0u : 1000u);
  }
  EXPECT_EQ(paths, (std::vector<std::string>{dir + "r0.VDB", "", "", "", dir + "r4.VDB"}));
  EXPECT_EQ(catalog->refusedNames, 3);
}

// Footage recorded while the clock was not set (1970, or 2000 after a dead real-time clock)
// is listed in the date table and its minutes in the day table, in either source mode, as
// is footage recorded after a clock set back (which need not come in day order).
TEST_F(CatalogTest, FootageStampedIn1970Or2000IsListedInTheDateAndDayTables) {
  const int32_t y1970 = testsupport::LocalSeconds(1970, 1, 1, 0, 5);
  const int32_t y2000 = testsupport::LocalSeconds(2000, 1, 1, 0, 0, 7);
  const int32_t today = Local(3, 5, 9, 0);
  AddPair("now", MakeSummary({{today, 1, 1}}));
  AddPair("y1970", MakeSummary({{y1970, 1, 2}}));
  AddPair("y2000", MakeSummary({{y2000, 1, 4}}));
  ASSERT_TRUE(catalog->Build().ok());
  const std::vector<int32_t> days = {int32_t(testsupport::LocalSeconds(1970, 1, 1, 0, 0)),
                                     int32_t(testsupport::LocalSeconds(2000, 1, 1, 0, 0)),
                                     Local(3, 5, 0, 0)};
  EXPECT_EQ(Dates(), days);
  EXPECT_EQ(Day(days[0]).any[5], 2u);
  EXPECT_EQ(Day(days[1]).any[0], 4u);
  std::vector<storage::IndexRecord> records;
  for (const auto& [title, t] : {std::pair("now", today), std::pair("y1970", y1970)}) {
    records.push_back(
        testsupport::MakeRecord(std::string(title) + ".VDB", MakeSummary({{t, 1, 1}})));
  }
  testsupport::WriteIndexFile(dir + "set.FIH", records);
  catalog->Clear();
  catalog->SetIndexFile(dir, "set.FIH");
  ASSERT_TRUE(catalog->Build().ok());
  EXPECT_EQ(Dates(), (std::vector<int32_t>{days[0], days[2]}));
}

// Ordered by start time; equal starts keep the list order, a file listed twice is
// catalogued twice, files without recording go last; beyond the positions the reader can
// open the newest files are kept, so every day of the date table plays. Entries add their
// bytes to the slot of their local minute. Hostile index files in the list: a truncated one
// reads as zero past its end (never stale bytes of another), an empty one has no recording,
// one without its data file is never listed, one that cannot be opened is left out, and
// lastEntry is bounded to 0..119.
TEST_F(CatalogTest, ListIsOrderedByStartTimeAndHostileIndexFilesAreReadWithinBounds) {
  const int32_t nine = Local(3, 5, 9, 0), t = Local(3, 5, 10, 0), ten = t + 15 * 60;
  std::vector<Entry> all;
  for (int32_t i = 0; i < 120; ++i) all.push_back({t + i * 60, 1, 1});
  storage::IndexSummary high = MakeSummary(all), negative = MakeSummary(all);
  high.lastEntry = 5000;
  negative.lastEntry = -7;
  AddPair("a", MakeSummary({{nine, 10}}));
  AddPair("e1", storage::MakeEmptySummary());
  AddPair("t10", MakeSummary({{ten, 100}, {ten + 40, 23}, {Local(3, 5, 23, 59), 7}}, 4242));
  AddPair("high", high);
  AddPair("cut", MakeSummary({{t + 3600, 9}, {t + 3660, 9}, {t + 3720, 9}}));
  std::filesystem::resize_file(dir + "cut.FIH",
                               storage::kIndexSummaryOffset + 16 + storage::kIndexEntrySize);
  AddPair("empty", MakeSummary(all));
  std::filesystem::resize_file(dir + "empty.FIH", 0);
  AddPair("b", MakeSummary({{nine, 20}}));
  AddPair("negative", negative);
  AddPair("t08", MakeSummary({{Local(3, 5, 8, 0), 10}}));
  catalog->AddIndexFile(dir, "a.FIH");
  testsupport::WriteBytes(dir + "noindex.VDB");
  catalog->AddIndexFile(dir, "noindex.FIH");
  const std::string cut = "read cut.FIH: shorter than an index file (140 of 2996 bytes)";
  ASSERT_EQ(Seen(catalog->Build()), cut);
  ASSERT_EQ(Problems(), (std::vector{cut, "open noindex.FIH: No such file or directory"s}));
  ASSERT_EQ(Titles(), (std::vector<std::string>{"t08", "a", "b", "a", "high", "negative", "t10",
                                                "cut", "e1", "empty"}));
  EXPECT_EQ(
      std::vector<int64_t>({Table(6).minuteBytes[615], Table(6).minuteBytes[1439], Sum(Table(6)),
                            Table(6).dataBytes, Table(6).startTime, catalog->oldestFile}),
      std::vector<int64_t>({123, 7, 130, 4242, ten, 0}));
  EXPECT_EQ(std::vector<int64_t>({Sum(Table(4)), Sum(Table(5)), Sum(Table(7)), Sum(Table(9)),
                                  Table(5).startTime, Table(7).minuteBytes[660],
                                  catalog->FileInfoAt(7)->summary.entries[1].time,
                                  Table(9).dataBytes, Table(9).endTime}),
            std::vector<int64_t>({120, 0, 9, 0, t, 9, 0, 0, platform::CTime::NoTime().seconds()}));
  const std::vector<uint32_t> any = Day(t).any;  // the day table is bounded the same way
  EXPECT_EQ(std::count(any.begin(), any.end(), 1u), 120);
  catalog->maxFiles = 3;
  ASSERT_EQ(Seen(catalog->Build()), cut);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"negative", "t10", "cut"}));
  EXPECT_EQ(Dates(), std::vector<int32_t>{Local(3, 5, 0, 0)});
}

// A system call that fails while a list is catalogued reaches the caller with the operation,
// the file and the errno: a listed index file that cannot be opened is left out and one that
// cannot be read is catalogued without a recording (the rest as they are); a table that
// cannot be made leaves no catalogue.
TEST_F(CatalogTest, AFailingCallWhileAListIsCataloguedIsToldWithItsFileAndErrno) {
  for (const char* title : {"a", "b", "c"})
    AddPair(title, MakeSummary({{Local(3, 5, 9 + title[0] - 'a', 0), 1}}));
  struct Row {
    Call call;
    int error, skip;
    const char* pathPart;
    std::string seen;  // the build's result
    size_t problems;
    int32_t loaded;
    std::vector<std::string> titles;
  };
  const std::vector<std::string> all = {"a", "b", "c"};
  const Row rows[] = {
      {Call::kOpen, EACCES, 0, "b.FIH", "open b.FIH: Permission denied", 1, 1, {"a", "c"}},
      {Call::kOpen, ENOENT, 0, "b.FIH", "open b.FIH: No such file or directory", 1, 1, {"a", "c"}},
      {Call::kOpen,
       ELOOP,
       0,
       "a.FIH",
       "open a.FIH: Too many levels of symbolic links",
       1,
       1,
       {"b", "c"}},
      {Call::kRead, EIO, 1, "", "read b.FIH: Input/output error", 1, 1, {"a", "c", "b"}},
      {Call::kFstat, EIO, 0, "", "open a.FIH: Input/output error", 3, 1, {}},
      {Call::kFlock, ENOLCK, 0, "", "open a.FIH: No locks available", 3, 1, {}},
      {Call::kFcntlFlags, EBADF, 0, "", "open a.FIH: Bad file descriptor", 3, 1, {}},
      {Call::kPosixFallocate, ENOSPC, 0, "", "map TMP/: No space left on device", 1, 0, {}},
      {Call::kMmap, ENOMEM, 0, "", "map TMP/: Cannot allocate memory", 1, 0, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.seen);
    platform::ScopedSyscallFault fault(
        row.call, row.error, row.skip,
        row.call == Call::kRead ? 1 : platform::ScopedSyscallFault::kPersistent, row.pathPart);
    EXPECT_EQ(Seen(catalog->Build()), row.seen);
    ASSERT_EQ(catalog->problems.size(), row.problems);
    EXPECT_EQ(catalog->problems.front().error(), row.error);
    EXPECT_EQ(std::pair(catalog->loaded.load(), Titles()), std::pair(row.loaded, row.titles));
  }
  EXPECT_TRUE(catalog->Build().ok());
  EXPECT_EQ(std::pair(Problems().size(), Titles()), std::pair(size_t{0}, all));
}

// The same for one index file: one that cannot be opened gives an empty catalogue, a header
// that cannot be read none; a record that cannot be read in either pass is told and the
// catalogue stands.
TEST_F(CatalogTest, AFailingCallWhileOneIndexFileIsCataloguedIsToldWithItsFileAndErrno) {
  std::vector<storage::IndexRecord> records;
  for (int hour : {12, 8, 10})
    records.push_back(testsupport::MakeRecord("r.VDB", MakeSummary({{Local(3, 5, hour, 0), 1}})));
  testsupport::WriteIndexFile(dir + "set.FIH", records);
  catalog->SetIndexFile(dir, "set.FIH");
  struct Row {
    Call call;
    int error, skip;
    std::string seen;
    int32_t loaded, count;
  };
  // Reads: the header, a record each in the first pass, then a record each in the second.
  const Row rows[] = {
      {Call::kOpen, EACCES, 0, "open set.FIH: Permission denied", 1, 0},
      {Call::kOpen, ENOENT, 0, "open set.FIH: No such file or directory", 1, 0},
      {Call::kOpen, EMFILE, 1, "open set.FIH: Too many open files", 1, 3},  // the second pass
      {Call::kRead, EIO, 0, "read set.FIH: Input/output error", 0, 0},
      {Call::kRead, EIO, 2, "read set.FIH: Input/output error", 1, 3},
      {Call::kRead, EIO, 5, "read set.FIH: Input/output error", 1, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.seen + " after " + std::to_string(row.skip));
    platform::ScopedSyscallFault fault(row.call, row.error, row.skip, 1,
                                       row.call == Call::kOpen ? "set.FIH" : "");
    EXPECT_EQ(Seen(catalog->Build()), row.seen);
    EXPECT_EQ(std::tuple(catalog->problems.size(), catalog->loaded.load(), catalog->view.count),
              std::tuple(size_t{1}, row.loaded, row.count))
        << testing::PrintToString(Problems());
  }
}

// Without a range, and with each invalid or inverted one, every day is ordinary; each mask
// goes to its own table; the date table queries store the count and copy only that many.
// Inside a valid range times show one hour later (the last hour of May 31 moves to June 1);
// its first day is daylight from its start hour, its last has 25 hours, daylight up to its
// end hour; without a catalogue the minute tables are zero but the range applies.
TEST_F(CatalogTest, DayTablesWithAndWithoutADaylightRange) {
  catalog->GetDateTable(nullptr, nullptr);
  AddPair("masks", MakeSummary({{Local(6, 1, 10, 15), 1, 1u << 3, 0, 1u << 4, 1u << 5}}));
  // A file without bytes adds no date and no minute, nor one whose end lies before its
  // start; one whose records all lie in one second is a recording like any other.
  const std::vector<std::array<int32_t, 7>> files = {
      {6, 2, 10, 15, 1, 0, 30},     {6, 1, 11, 15, 1, 1000, -1}, {6, 1, 13, 15, 1, 1000, 0},
      {5, 31, 23, 30, 2, 1000, 30}, {4, 1, 1, 30, 1, 1000, 30},  {4, 1, 2, 30, 1, 1000, 30},
      {10, 30, 2, 30, 1, 1000, 30}, {10, 30, 3, 30, 1, 1000, 30}};
  for (const auto& [month, day, hour, minute, reason1, dataBytes, length] : files) {
    const int32_t t = Local(month, day, hour, minute);
    storage::IndexSummary summary = MakeSummary({{t, 1, uint32_t(reason1)}}, uint32_t(dataBytes));
    summary.endTime = t + length;
    AddPair(std::to_string(t), summary);
  }
  ASSERT_TRUE(catalog->Build().ok());
  const std::vector<std::array<int32_t, 7>> ranges = {
      {0, 4, 1, 2, 10, 30, 3},  {1, 0, 1, 2, 10, 30, 3},  {1, 4, 1, 2, 13, 30, 3},
      {1, 4, 32, 2, 10, 30, 3}, {1, 4, 1, 60, 10, 30, 3}, {1, 4, 1, -1, 10, 30, 3},
      {1, 10, 30, 3, 4, 1, 2},  {1, 6, 1, 9, 6, 1, 12}};  // the last: no kind, but shifts
  for (const auto& r : ranges) {
    catalog->SetDSTRange(r[0], r[1], r[2], r[3], r[4], r[5], r[6]);
    const DayTable t = Day(Local(6, 1, 14, 0));
    const int slot = r[1] == 6 ? 675 : 615;
    EXPECT_EQ(std::tuple(t.kind, t.hours, Marked(t.any), Marked(t.r2), t.dstHours),
              std::tuple(0, 24, std::vector{slot, 795}, std::vector<int>{}, std::string(25, '0')));
    EXPECT_EQ(std::vector<uint32_t>({t.any[slot], t.r1[slot], t.r4[slot], t.audio[slot]}),
              std::vector<uint32_t>({24, 8, 16, 32}));
  }
  EXPECT_EQ(Dates(), (std::vector<int32_t>{Local(4, 1, 0, 0), Local(5, 31, 0, 0), Local(6, 1, 0, 0),
                                           Local(10, 30, 0, 0)}));
  // A host that leaves any one output out gets nothing written into the others.
  for (int missing = 0; missing < 8; ++missing) {
    const DayTable t = Day(Local(6, 1, 0, 0), missing);
    EXPECT_EQ(Marked(t.any).size() + Marked(t.r1).size() + t.kind + t.hours, 2 * kDayTableSlots - 2)
        << missing;
  }
  catalog->SetDSTRange(1, 4, 1, 2, 10, 30, 3);
  const DayTable inside = Day(Local(6, 1, 0, 0));
  const DayTable first = Day(Local(4, 1, 12, 0)), last = Day(Local(10, 30, 0, 0));
  EXPECT_EQ(std::tuple(Marked(inside.any), inside.r1[30], Marked(Day(Local(5, 31, 0, 0)).any),
                       Marked(first.any), Marked(last.any)),
            std::tuple(std::vector{30, 675, 855}, 2u, std::vector<int>{}, std::vector{90, 210},
                       std::vector{210, 270}));
  EXPECT_EQ(std::vector<std::string>({first.dstHours, inside.dstHours, last.dstHours}),
            std::vector<std::string>({"0011111111111111111111110", std::string(24, '1') + "0",
                                      "1111000000000000000000000"}));
  const auto kind = [&](int month, int day) { return Day(Local(month, day, 12, 0)).kind; };
  EXPECT_EQ(std::vector({first.kind, kind(4, 2), inside.kind, kind(10, 29), last.kind, kind(3, 31),
                         kind(10, 31)}),
            std::vector({2, 1, 1, 1, 3, 0, 0}));
  catalog->Clear();
  const DayTable empty = Day(Local(10, 30, 0, 0));
  EXPECT_EQ(std::tuple(empty.kind, empty.hours, Marked(empty.any), Marked(empty.audio)),
            std::tuple(3, 25, std::vector<int>{}, std::vector<int>{}));
}

}  // namespace
