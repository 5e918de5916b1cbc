#include "platform/local_time.h"

#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

#include "platform/clock.h"

namespace platform {
namespace {

// glibc serialises its time-zone state with a lock that ThreadSanitizer cannot see, and
// tzset/mktime free and reload that state. Every conversion of the library goes through
// this file, so one lock here makes the order visible and costs an uncontended mutex.
std::mutex& ZoneLock() {
  // Constant-initialised, so it exists before any conversion; nothing to free at unload.
  static std::mutex lock;
  return lock;
}

// Every conversion runs through 64-bit time_t (the build asks for it on 32-bit targets too),
// so instants past January 2038 convert like any other.
static_assert(sizeof(time_t) == 8, "time conversions need a 64-bit time_t");

bool FitsCTime(int64_t value) {
  return value >= 0 && value <= int64_t{std::numeric_limits<uint32_t>::max()};
}

// mktime on the given fields. mktime returns -1 both for failure and for the instant one
// second before 1970, so errno tells them apart.
bool MakeLocal(struct tm* fields, int64_t* seconds) {
  std::lock_guard<std::mutex> hold(ZoneLock());
  errno = 0;
  const time_t t = ::mktime(fields);
  if (t == static_cast<time_t>(-1) && errno != 0) return false;
  *seconds = static_cast<int64_t>(t);
  return true;
}

bool LocalSeconds(int year, int month, int day, int hour, int minute, int second, int dstFlag,
                  int64_t* seconds) {
  struct tm fields {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = dstFlag < 0 ? -1 : (dstFlag > 0 ? 1 : 0);
  return MakeLocal(&fields, seconds) && FitsCTime(*seconds);
}

// The last stamp a host thread made. Trivially destructible, so a thread that ends (or a
// library that is unloaded) leaves nothing to clean up.
struct StampCache {
  bool valid = false;
  int64_t second = 0;
  bool tzSet = false;  // TZ was set when the stamp was made
  char tz[96] = {};    // its value then; longer values are not cached
  LocalStamp stamp;
};

thread_local StampCache t_stampCache;

// The zone's rules for one hour of instants, as a thread last looked them up: the offset of
// local time from UTC and the DST flag, the same all through the hour. Playback turns every
// delivered frame's time into local fields; with this, a frame costs a look at TZ and some
// arithmetic instead of a process-wide lock, tzset and (TZ unset) a stat of the zone file.
struct HourCache {
  bool valid = false;
  int64_t hour = 0;  // floor(seconds / 3600)
  bool tzSet = false;
  char tz[96] = {};
  int64_t offset = 0;  // local minus UTC, seconds
  int isDst = -1;
};

thread_local HourCache t_hourCache;

// Whether the zone is the one the cache was filled in.
template <typename Cache>
bool SameZone(const Cache& cache, const char* tz) {
  if (tz == nullptr) return !cache.tzSet;
  return cache.tzSet && std::strcmp(cache.tz, tz) == 0;
}

template <typename Cache>
void KeepZone(Cache* cache, const char* tz) {
  const size_t tzLength = tz == nullptr ? 0 : std::strlen(tz);
  cache->valid = tzLength < sizeof(cache->tz);
  cache->tzSet = tz != nullptr;
  if (tz != nullptr && cache->valid) std::memcpy(cache->tz, tz, tzLength + 1);
}

// localtime_r with the zone as TZ now gives it.
bool ZoneLocal(int64_t seconds, struct tm* fields) {
  if (seconds < std::numeric_limits<time_t>::min() || seconds > std::numeric_limits<time_t>::max())
    return false;
  const time_t t = static_cast<time_t>(seconds);
  std::lock_guard<std::mutex> hold(ZoneLock());
  // localtime_r need not look at TZ again; tzset makes a changed zone take effect.
  ::tzset();
  return ::localtime_r(&t, fields) != nullptr;
}

// Local minus UTC for the instant whose local fields these are.
int64_t OffsetOf(const struct tm& f, int64_t seconds) {
  const int64_t local = DaysFromCivil(int64_t{f.tm_year} + 1900, f.tm_mon + 1, f.tm_mday) * 86400 +
                        int64_t{f.tm_hour} * 3600 + f.tm_min * 60 + f.tm_sec;
  return local - seconds;
}

LocalFields FieldsOf(const struct tm& f) {
  LocalFields out;
  out.year = f.tm_year + 1900;
  out.month = f.tm_mon + 1;
  out.day = f.tm_mday;
  out.hour = f.tm_hour;
  out.minute = f.tm_min;
  out.second = f.tm_sec;
  out.isDst = f.tm_isdst;
  return out;
}

}  // namespace

CTime CTime::FromLocal(int year, int month, int day, int hour, int minute, int second,
                       int dstFlag) {
  int64_t seconds = 0;
  if (!LocalSeconds(year, month, day, hour, minute, second, dstFlag, &seconds)) return NoTime();
  return CTime(static_cast<uint32_t>(seconds));
}

CTime CTime::FromUtcFieldsAsLocal(int64_t utcSeconds) {
  if (utcSeconds < std::numeric_limits<time_t>::min() ||
      utcSeconds > std::numeric_limits<time_t>::max()) {
    return NoTime();
  }
  const time_t t = static_cast<time_t>(utcSeconds);
  struct tm fields {};
  if (::gmtime_r(&t, &fields) == nullptr) return NoTime();
  fields.tm_isdst = -1;
  int64_t seconds = 0;
  if (!MakeLocal(&fields, &seconds) || !FitsCTime(seconds)) return NoTime();
  return CTime(static_cast<uint32_t>(seconds));
}

CTime CTime::NoTime() {
  // Local time of the current TZ, so never cached: tests switch zones between cases.
  int64_t seconds = 0;
  if (!LocalSeconds(2000, 1, 1, 0, 0, 0, -1, &seconds)) return CTime(946684800);
  return CTime(static_cast<uint32_t>(seconds));
}

CTime CTime::Now() {
  const int64_t now = NowSeconds();
  if (!FitsCTime(now)) return NoTime();
  return CTime(static_cast<uint32_t>(now));
}

LocalFields CTime::Local() const {
  const int64_t t = seconds_;
  const int64_t hour = FloorDiv(t, 3600);
  const char* tz = std::getenv("TZ");
  HourCache& cache = t_hourCache;
  if (!cache.valid || cache.hour != hour || !SameZone(cache, tz)) {
    // The hour's rules hold for all of it when both its ends agree (zones change their
    // offset at most once an hour); else this instant is converted on its own.
    struct tm first {
    }, last{}, own{};
    cache.valid = false;
    if (!ZoneLocal(hour * 3600, &first) || !ZoneLocal(hour * 3600 + 3599, &last) ||
        OffsetOf(first, hour * 3600) != OffsetOf(last, hour * 3600 + 3599) ||
        first.tm_isdst != last.tm_isdst) {
      return ZoneLocal(t, &own) ? FieldsOf(own) : LocalFields{};
    }
    KeepZone(&cache, tz);
    cache.hour = hour;
    cache.offset = OffsetOf(first, hour * 3600);
    cache.isDst = first.tm_isdst;
  }
  const int64_t local = t + cache.offset;
  const int64_t days = FloorDiv(local, 86400);
  const int64_t rest = local - days * 86400;
  int64_t year = 0, month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  LocalFields out;
  out.year = static_cast<int>(year);
  out.month = static_cast<int>(month);
  out.day = static_cast<int>(day);
  out.hour = static_cast<int>(rest / 3600);
  out.minute = static_cast<int>(rest / 60 % 60);
  out.second = static_cast<int>(rest % 60);
  out.isDst = cache.isDst;
  return out;
}

CTime CTime::LocalMidnight() const {
  const LocalFields f = Local();
  return FromLocal(f.year, f.month, f.day, 0, 0, 0, -1);
}

LocalStamp NowLocalStamp() {
  const int64_t now = NowSeconds();
  StampCache& cache = t_stampCache;
  const char* tz = std::getenv("TZ");
  if (cache.valid && cache.second == now && SameZone(cache, tz)) return cache.stamp;

  LocalStamp stamp;
  stamp.time = FitsCTime(now) ? CTime(static_cast<uint32_t>(now)) : CTime::NoTime();
  stamp.fields = stamp.time.Local();
  const LocalFields& f = stamp.fields;
  stamp.time = CTime::FromLocal(f.year, f.month, f.day, f.hour, f.minute, f.second, f.isDst);

  KeepZone(&cache, tz);
  cache.second = now;
  cache.stamp = stamp;
  return stamp;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Day counts by eras of 400 years (146097 days), which repeat exactly; the year is taken to
// start in March so the leap day ends it.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = FloorDiv(year, 400);
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, int64_t* month, int64_t* day) {
  days += 719468;
  const int64_t era = FloorDiv(days, 146097);
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t marchMonth = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * marchMonth + 2) / 5 + 1;
  *month = marchMonth < 10 ? marchMonth + 3 : marchMonth - 9;
  *year = yearOfEra + era * 400 + (*month <= 2);
}

}  // namespace platform
