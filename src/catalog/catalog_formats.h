// Structures and sizes of the file-search catalogue. FileTimeTable records live in a
// temporary file mapping, one per catalogue position, and are read by the frame reader
// (start time, per-minute byte sums, recorded bytes) and by the date table.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "stored structures are little-endian");

// Minute slots of one local day without a date: slot = hour * 60 + minute.
inline constexpr int kMinuteSlots = 1440;

// Open data-file slots of a catalogue; positions from here on are never opened. The same
// value marks "no file" in the reader's first/last/current positions.
inline constexpr int32_t kOpenFileSlots = 40000;
inline constexpr int32_t kNoFile = 40000;

// Day table of one date: 25 hour rows of 60 minutes (row 24 only on the 25-hour last day of
// the daylight-saving range).
inline constexpr int kDayTableRows = 25;
inline constexpr int kDayTableSlots = kDayTableRows * 60;  // 1500

#pragma pack(push, 1)
struct FileTimeTable {
  int32_t startTime;                   // local 2000-01-01 00:00:00 when nothing was recorded
  int32_t endTime;                     // same placeholder when nothing was recorded
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
