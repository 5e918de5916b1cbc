// Fixture of the catalogue tests: a catalogue over a fresh directory of recordings, a
// private temporary directory (so the catalogue's mapping files can be counted), TZ=UTC,
// and the host's queries of the tables.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "catalog/file_catalog.h"
#include "support/process_state.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"

namespace catalog_test {

using testsupport::ScopedEnv;
using testsupport::WriteBytes;

inline int32_t Local(int year, int month, int day, int hour, int minute) {
  return testsupport::LocalSeconds(year, month, day, hour, minute, 0);
}

// One minute entry of an index summary.
struct Entry {
  int32_t time = 0;
  uint32_t bytes = 0, reason1 = 0, reason2 = 0, reason4 = 0, audio = 0;
};

// A summary as the writer leaves it: start at the first entry, end 30 s after the last.
inline storage::IndexSummary MakeSummary(const std::vector<Entry>& entries,
                                         uint32_t dataBytes = 1000) {
  storage::IndexSummary s = storage::MakeEmptySummary();
  if (entries.empty()) return s;
  s.startTime = entries.front().time;
  s.endTime = entries.back().time + 30;
  s.dataBytes = dataBytes;
  s.lastEntry = static_cast<int32_t>(entries.size()) - 1;
  for (size_t i = 0; i < entries.size() && i < storage::kIndexEntryCount; ++i) {
    const Entry& e = entries[i];
    s.entries[i] = {e.time, e.bytes, e.reason1, e.reason2, e.reason4, e.audio};
  }
  return s;
}

class CatalogTest : public ::testing::Test {
 protected:
  // Day table of one date, every buffer pre-filled with a sentinel.
  struct DayTable {
    std::vector<uint32_t> any = std::vector<uint32_t>(kDayTableSlots, 0xDEADBEEF);
    std::vector<uint32_t> r1 = any, r2 = any, r4 = any, audio = any;
    std::vector<uint32_t> dst = std::vector<uint32_t>(kDayTableRows, 0xDEADBEEF);
    int32_t kind = -1;
    int32_t hours = -1;
  };
  DayTable Day(int32_t date) {
    DayTable t;
    catalog->GetDayTable(date, t.any.data(), t.r1.data(), t.r2.data(), t.r4.data(), t.audio.data(),
                         t.dst.data(), &t.kind, &t.hours);
    return t;
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
    for (int32_t j = 0; j < catalog->view.count; ++j) {
      const std::string path = storage::FileInfoPath(*catalog->FileInfoAt(j));
      EXPECT_EQ(path.rfind(dir, 0), 0u);
      titles.push_back(path.substr(dir.size(), path.size() - dir.size() - 4));
    }
    return titles;
  }
  const FileTimeTable& Table(int32_t j) { return *catalog->TimeTableAt(j); }
  static uint32_t Sum(const FileTimeTable& t) {
    return std::accumulate(std::begin(t.minuteBytes), std::end(t.minuteBytes), 0u);
  }
  // Adds a recorder-style pair to the list: <dir><title>.FIH with one record and an empty
  // <dir><title>.VDB.
  void AddPair(const std::string& title, const storage::IndexSummary& s) {
    testsupport::WriteIndexFile(dir + title + ".FIH", {testsupport::MakeRecord(title + ".VDB", s)},
                                1);
    WriteBytes(dir + title + ".VDB", "", 0);
    catalog->AddIndexFile(dir, title + ".FIH");
  }
  size_t MappingFiles() const { return testsupport::CountEntries(tmpDir, "fmap"); }

  testsupport::ScratchDir scratch;
  std::string tmpDir = scratch.Sub("tmp");
  std::string dir = scratch.Sub("rec");
  ScopedEnv tz{"TZ", "UTC"};
  ScopedEnv tmp{"TMPDIR", tmpDir};
  std::unique_ptr<CFileCatalog> catalog = std::make_unique<CFileCatalog>();
};

}  // namespace catalog_test
