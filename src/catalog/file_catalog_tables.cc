// CFileCatalog: the date table (days that hold recordings), the day table (per-minute
// channel masks of one day) and the catalogue's own daylight-saving range, which shows
// recorded times one hour later inside the range and gives its last day 25 hours.
#include <algorithm>
#include <cstring>

#include "catalog/file_catalog.h"

namespace {

using platform::CTime;
using platform::DaysFromCivil;
using platform::LocalFields;

int64_t LocalDayNumber(CTime t) {
  const LocalFields f = t.Local();
  return DaysFromCivil(f.year, f.month, f.day);
}

// Range ends of one calendar year, remembered while a day table walks its entries (the
// entries of one day nearly always fall in one year).
struct RangeEnds {
  int year = 0;
  CTime start, end;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Date table.

void CFileCatalog::BuildDateTable() {
  platform::MutexLock hold(&lock);
  dateTable.clear();
  dateTable.shrink_to_fit();
  dateTable.reserve(static_cast<size_t>(std::max(view.count, 0)));
  // A file that holds records lists its day whatever its stamp, also footage of a clock
  // that had not been set (1970, or the year 2000 of a dead real-time clock). Files in
  // rotation order, or recorded across a clock set back, need not come in day order, so the
  // days are sorted once gathered.
  for (int32_t j = 0; view.tables != nullptr && j < view.count; ++j) {
    const FileTimeTable& table = view.tables[j];
    if (table.dataBytes != 0) {
      const CTime day = CTime(table.startTime).LocalMidnight();
      if (dateTable.empty() || dateTable.back() != day) dateTable.push_back(day);
    }
  }
  std::sort(dateTable.begin(), dateTable.end());
  dateTable.erase(std::unique(dateTable.begin(), dateTable.end()), dateTable.end());
}

void CFileCatalog::GetDateTable(uint32_t* table, int32_t* count) {
  platform::MutexLock hold(&lock);
  if (count != nullptr) *count = static_cast<int32_t>(dateTable.size());
  if (table != nullptr) {
    for (size_t i = 0; i < dateTable.size(); ++i) {
      table[i] = dateTable[i].seconds();
    }
  }
}

// ---------------------------------------------------------------------------------------
// Daylight-saving range.

void CFileCatalog::SetDSTRange(int32_t enabled, int32_t startMonth, int32_t startDay,
                               int32_t startHour, int32_t endMonth, int32_t endDay,
                               int32_t endHour) {
  dstEnabled.store(enabled);
  dstStart[0].store(startMonth);
  dstStart[1].store(startDay);
  dstStart[2].store(startHour);
  dstEnd[0].store(endMonth);
  dstEnd[1].store(endDay);
  dstEnd[2].store(endHour);
}

CFileCatalog::DstRange CFileCatalog::LoadRange() const {
  DstRange r;
  r.startMonth = dstStart[0].load();
  r.startDay = dstStart[1].load();
  r.startHour = dstStart[2].load();
  r.endMonth = dstEnd[0].load();
  r.endDay = dstEnd[1].load();
  r.endHour = dstEnd[2].load();
  const auto month = [](int32_t m) { return m >= 1 && m <= 12; };
  const auto day = [](int32_t d) { return d >= 1 && d <= 31; };
  // Hours up to 59 are accepted on purpose: mktime carries them into the next day.
  const auto hour = [](int32_t h) { return h >= 0 && h < 60; };
  r.valid = dstEnabled.load() != 0 && month(r.startMonth) && day(r.startDay) && hour(r.startHour) &&
            month(r.endMonth) && day(r.endDay) && hour(r.endHour);
  return r;
}

bool CFileCatalog::IsValidRange(CTime start, CTime end) {
  // A file whose records all lie in one second starts and ends in that second. Any stamp
  // counts (the caller has checked that the file holds records), 1970 and 2000 included.
  return start <= end;
}

bool CFileCatalog::IsDaylightHourIn(const DstRange& range, CTime t) {
  if (!range.valid) return false;
  const LocalFields f = t.Local();
  const CTime hourStart = CTime::FromLocal(f.year, f.month, f.day, f.hour, 0, 0, -1);
  const CTime start =
      CTime::FromLocal(f.year, range.startMonth, range.startDay, range.startHour, 0, 0, -1);
  const CTime end = CTime::FromLocal(f.year, range.endMonth, range.endDay, range.endHour, 0, 0, -1);
  return hourStart >= start && hourStart < end;
}

int32_t CFileCatalog::DayKindIn(const DstRange& range, CTime date) {
  if (!range.valid) return 0;
  const LocalFields f = date.Local();
  const CTime rangeStart = CTime::FromLocal(f.year, range.startMonth, range.startDay, 0, 0, 0, -1);
  const CTime rangeEnd = CTime::FromLocal(f.year, range.endMonth, range.endDay, 0, 0, 0, -1);
  // Whole calendar days, so a 23- or 25-hour day of the zone's own daylight saving does not
  // move the result by a day.
  const int64_t today = DaysFromCivil(f.year, f.month, f.day);
  const int64_t sinceStart = today - LocalDayNumber(rangeStart);
  const int64_t sinceEnd = today - LocalDayNumber(rangeEnd);
  if (sinceStart == 0 && sinceEnd < 0) return 2;
  if (sinceStart <= 0) return 0;
  if (sinceEnd < 0) return 1;
  if (sinceEnd == 0) return 3;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Day table.

void CFileCatalog::GetDayTable(uint32_t date, uint32_t* anyMask, uint32_t* reason1Mask,
                               uint32_t* reason2Mask, uint32_t* reason4Mask, uint32_t* audioMask,
                               uint32_t* dstHours, int32_t* dayKind, int32_t* hourCount) {
  if (anyMask == nullptr || reason1Mask == nullptr || reason2Mask == nullptr ||
      reason4Mask == nullptr || audioMask == nullptr || dstHours == nullptr || dayKind == nullptr ||
      hourCount == nullptr) {
    return;
  }
  platform::MutexLock hold(&lock);
  const DstRange range = LoadRange();
  const CTime day(date);
  const int32_t kind = DayKindIn(range, day);
  *hourCount = kind == 3 ? 25 : 24;
  *dayKind = kind;

  const size_t tableBytes = sizeof(uint32_t) * kDayTableSlots;
  std::memset(anyMask, 0, tableBytes);
  std::memset(reason1Mask, 0, tableBytes);
  std::memset(reason2Mask, 0, tableBytes);
  std::memset(reason4Mask, 0, tableBytes);
  std::memset(audioMask, 0, tableBytes);
  std::memset(dstHours, 0, sizeof(uint32_t) * kDayTableRows);

  const LocalFields f = day.Local();
  for (int h = 0; h < 24; ++h) {
    if (kind == 3) {
      dstHours[h] = h <= range.endHour ? 1 : 0;
    } else if (kind == 1 || kind == 2) {
      const CTime hourStart = CTime::FromLocal(f.year, f.month, f.day, h, 0, 0, 0);
      dstHours[h] = IsDaylightHourIn(range, hourStart) ? 1 : 0;
    }
  }

  if (view.infos == nullptr || view.count <= 0) return;
  const int64_t first = CTime::FromLocal(f.year, f.month, f.day, 0, 0, 0, -1).seconds();
  const int64_t last = CTime::FromLocal(f.year, f.month, f.day, 23, 59, 59, -1).seconds();
  // An entry can be shown at most one hour after its stamp, so anything stamped outside
  // [first - 1 h, last] cannot land on this day and needs no time conversion at all.
  const int64_t earliest = first - (range.valid ? 3600 : 0);
  RangeEnds ends;

  for (int32_t j = 0; j < view.count; ++j) {
    const storage::IndexSummary& s = view.infos[j].summary;
    if (s.dataBytes == 0 || s.lastEntry < 0) continue;
    if (!IsValidRange(CTime(s.startTime), CTime(s.endTime))) continue;
    const int32_t lastEntry = std::min<int32_t>(s.lastEntry, storage::kLastEntryMax);
    for (int32_t i = 0; i <= lastEntry; ++i) {
      const storage::IndexEntry& e = s.entries[i];
      const int64_t stamp = e.time;
      if (stamp > last || stamp < earliest) continue;
      bool daylight = false;
      if (range.valid) {
        const LocalFields ef = CTime(e.time).Local();
        if (ends.year != ef.year) {
          ends.year = ef.year;
          ends.start = CTime::FromLocal(ef.year, range.startMonth, range.startDay, range.startHour,
                                        0, 0, -1);
          ends.end =
              CTime::FromLocal(ef.year, range.endMonth, range.endDay, range.endHour, 0, 0, -1);
        }
        const CTime hourStart = CTime::FromLocal(ef.year, ef.month, ef.day, ef.hour, 0, 0, -1);
        daylight = hourStart >= ends.start && hourStart < ends.end;
      }
      const int64_t shown = stamp + (daylight ? 3600 : 0);
      if (shown < first || shown > last) continue;  // not on this day
      const LocalFields sf = CTime(static_cast<uint32_t>(shown)).Local();
      const int row = (kind == 3 && !daylight) ? sf.hour + 1 : sf.hour;
      const int slot = row * 60 + sf.minute;
      if (slot < 0 || slot >= kDayTableSlots) continue;
      anyMask[slot] |= e.reason1Mask | e.reason2Mask | e.reason4Mask;
      reason1Mask[slot] |= e.reason1Mask;
      reason2Mask[slot] |= e.reason2Mask;
      reason4Mask[slot] |= e.reason4Mask;
      audioMask[slot] |= e.audioMask;
    }
  }
}
