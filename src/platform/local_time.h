// CTime: an unsigned 32-bit count of seconds since 1970-01-01 00:00:00 UTC (so it runs to
// 2106-02-07 06:28:15 UTC), with the local
// calendar conversions the recorder, its files and the catalogue use. Local time follows
// the process's TZ: what is cached per thread is keyed by TZ's value, so a change of TZ takes
// effect at the next conversion. (With TZ unset, a new /etc/localtime is seen once the
// cached hour or second has passed.)
#pragma once

#include <cstdint>

namespace platform {

struct LocalFields {
  int year = 0;   // four digits
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int isDst = -1;  // as localtime_r gave it: 1, 0 (or -1 when unknown)
};

class CTime {
 public:
  constexpr CTime() = default;
  constexpr explicit CTime(uint32_t seconds) : seconds_(seconds) {}

  // From local fields with mktime normalisation (an hour of 30 runs into the next day).
  // dstFlag: -1 lets the system decide, 0 = standard time, 1 = daylight time.
  // An instant outside 0..2^32-1 gives the no-time value.
  static CTime FromLocal(int year, int month, int day, int hour, int minute, int second,
                         int dstFlag = -1);
  // The instant whose UTC calendar fields, read as local fields (DST flag -1), give the time:
  // the rule for file last-write times.
  static CTime FromUtcFieldsAsLocal(int64_t utcSeconds);
  // Local 2000-01-01 00:00:00: the value of a time not yet set. Computed on every call.
  static CTime NoTime();
  // The current wall-clock time (platform::NowSeconds, so tests can drive it).
  static CTime Now();

  uint32_t seconds() const { return seconds_; }
  // Local fields. Each thread keeps the zone's offset for the hour it converted last, so
  // converting many instants of an hour takes no lock and no system call.
  LocalFields Local() const;
  // Local midnight of this instant's local date (DST flag -1).
  CTime LocalMidnight() const;

  friend bool operator==(CTime a, CTime b) { return a.seconds_ == b.seconds_; }
  friend bool operator!=(CTime a, CTime b) { return a.seconds_ != b.seconds_; }
  friend bool operator<(CTime a, CTime b) { return a.seconds_ < b.seconds_; }
  friend bool operator<=(CTime a, CTime b) { return a.seconds_ <= b.seconds_; }
  friend bool operator>(CTime a, CTime b) { return a.seconds_ > b.seconds_; }
  friend bool operator>=(CTime a, CTime b) { return a.seconds_ >= b.seconds_; }

 private:
  uint32_t seconds_ = 0;
};

// The current time as intake stamps a frame: the local fields of now, and the instant
// rebuilt from those fields with the DST flag localtime gave (so the repeated autumn hour
// stays unambiguous).
struct LocalStamp {
  CTime time;
  LocalFields fields;
};

// Stamps arrive hundreds of times a second on each host thread, and with TZ unset every
// zone look-up re-reads /etc/localtime. So each thread keeps the stamp of the last wall-clock
// second it converted, keyed by that second and by the TZ value, and converts again only
// when either changes: a zone change is seen by the first stamp after it.
LocalStamp NowLocalStamp();

// Proleptic Gregorian calendar arithmetic, free of any zone: the day number of a date
// (0 = 1970-01-01, negative before it) and back. Months outside 1..12 and days outside the
// month are not normalised here; callers fold them first.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day);
void CivilFromDays(int64_t days, int64_t* year, int64_t* month, int64_t* day);
// Floor division (rounds towards minus infinity); b must not be 0.
int64_t FloorDiv(int64_t a, int64_t b);

}  // namespace platform
