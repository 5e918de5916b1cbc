// What the frame reader sees of a file search's catalogue: per catalogue position, the
// data file's FileInfo (path and index summary) and its FileTimeTable (start and end time,
// bytes per minute, recorded bytes). The catalogue fills the view; the reader only reads it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "storage/formats.h"

namespace storage {

// Minute slots of one local day without a date: slot = hour * 60 + minute.
inline constexpr int kMinuteSlots = 1440;

// Open data-file slots of a catalogue; positions from here on are never opened. The same
// value marks "no file" in the reader's first/last/current positions.
inline constexpr int32_t kOpenFileSlots = 40000;
inline constexpr int32_t kNoFile = 40000;

#pragma pack(push, 1)
struct FileTimeTable {
  uint32_t startTime;                  // local 2000-01-01 00:00:00 when nothing was recorded
  uint32_t endTime;                    // same placeholder when nothing was recorded
  uint32_t minuteBytes[kMinuteSlots];  // bytes recorded per local minute of day
  uint32_t dataBytes;                  // recorded bytes of the data file; 0 = no recording
};
#pragma pack(pop)

inline constexpr size_t kFileTimeTableSize = 5772;
static_assert(sizeof(FileTimeTable) == kFileTimeTableSize);
static_assert(offsetof(FileTimeTable, startTime) == 0);
static_assert(offsetof(FileTimeTable, endTime) == 4);
static_assert(offsetof(FileTimeTable, minuteBytes) == 8);
static_assert(offsetof(FileTimeTable, dataBytes) == 5768);

// The two tables of a catalogue, `count` positions each (both null when there is none).
// The catalogue sets count to 0 before it releases the tables.
struct CatalogView {
  FileInfo* infos = nullptr;
  FileTimeTable* tables = nullptr;
  int32_t count = 0;

  // Null when there is no table or j is out of range.
  FileInfo* InfoAt(int32_t j) const {
    return infos == nullptr || j < 0 || j >= count ? nullptr : &infos[j];
  }
  FileTimeTable* TableAt(int32_t j) const {
    return tables == nullptr || j < 0 || j >= count ? nullptr : &tables[j];
  }
};

}  // namespace storage
