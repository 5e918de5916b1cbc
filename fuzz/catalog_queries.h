// What a host asks a built catalogue: the date table, then the day table of every date
// (and of a few instants that are no date of it). Shared by the catalogue fuzz targets.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <vector>

#include "catalog/file_catalog.h"

namespace fuzz {

inline void QueryDayTable(CFileCatalog* catalog, int32_t date) {
  constexpr size_t kMinuteSlots = 1500;
  std::vector<uint32_t> any(kMinuteSlots), r1(kMinuteSlots), r2(kMinuteSlots), r4(kMinuteSlots),
      audio(kMinuteSlots), dst(25);
  int32_t kind = -1;
  int32_t hours = -1;
  catalog->GetDayTable(date, any.data(), r1.data(), r2.data(), r4.data(), audio.data(), dst.data(),
                       &kind, &hours);
  if (hours != 23 && hours != 24 && hours != 25) abort();
}

inline void QueryTables(CFileCatalog* catalog) {
  int32_t count = -1;
  catalog->GetDateTable(nullptr, &count);
  if (count < 0 || count > catalog->view.count) abort();  // a file adds at most one new day
  // One guard word past the table: the copy must stop at the count it reported.
  std::vector<uint32_t> dates(static_cast<size_t>(count) + 1, 0xA5A5A5A5u);
  int32_t again = -1;
  catalog->GetDateTable(dates.data(), &again);
  if (again != count || dates[static_cast<size_t>(count)] != 0xA5A5A5A5u) abort();
  for (int32_t i = 0; i < count; ++i) {
    QueryDayTable(catalog, static_cast<int32_t>(dates[i]));
  }
  QueryDayTable(catalog, 0);
  QueryDayTable(catalog, INT32_MIN);
  QueryDayTable(catalog, INT32_MAX);
}

// Clearing leaves nothing listed and nothing loaded.
inline void ClearAndCheck(CFileCatalog* catalog) {
  catalog->Clear();
  if (catalog->view.count != 0 || catalog->loaded.load() != 0) abort();
}

}  // namespace fuzz
