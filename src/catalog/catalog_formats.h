// Sizes of the file-search catalogue's tables. The per-position tables the frame reader
// reads are in storage/catalog_view.h.
#pragma once

#include "storage/catalog_view.h"

using storage::FileTimeTable;
using storage::kFileTimeTableSize;
using storage::kMinuteSlots;
using storage::kNoFile;
using storage::kOpenFileSlots;

// Day table of one date: 25 hour rows of 60 minutes (row 24 only on the 25-hour last day of
// the daylight-saving range).
inline constexpr int kDayTableRows = 25;
inline constexpr int kDayTableSlots = kDayTableRows * 60;  // 1500
