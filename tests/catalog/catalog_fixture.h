// Fixture of the catalogue tests: a fresh directory for recordings, a private temporary
// directory (so the catalogue's mapping files can be counted), TZ=UTC, and one catalogue.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "catalog/file_catalog.h"
#include "catalog_test_util.h"

namespace catalog_test {

class CatalogTest : public ::testing::Test {
 protected:
  // Day table of one date with every buffer pre-filled with a sentinel.
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

  std::string PathAt(int32_t j) {
    const storage::FileInfo* info = catalog->FileInfoAt(j);
    return info ? storage::FileInfoPath(*info) : std::string("<none>");
  }
  int32_t StartAt(int32_t j) {
    const FileTimeTable* t = catalog->TimeTableAt(j);
    return t ? t->startTime : -1;
  }

  // Adds a recorder-style pair <dir><title>.FIH/.VDB to the list.
  void AddPair(const std::string& title, const storage::IndexSummary& s) {
    WritePair(dir, title, s);
    catalog->AddIndexFile(dir, title + ".FIH");
  }

  ScratchDir scratch;
  std::string tmpDir = scratch.Sub("tmp");
  std::string dir = scratch.Sub("rec");
  ScopedEnv tz{"TZ", "UTC"};
  ScopedEnv tmp{"TMPDIR", tmpDir};
  std::unique_ptr<CFileCatalog> catalog = std::make_unique<CFileCatalog>(nullptr, nullptr);
};

}  // namespace catalog_test
