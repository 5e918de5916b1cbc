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

// Whether the zone is the one the cached stamp was made in.
bool SameZone(const StampCache& cache, const char* tz) {
  if (tz == nullptr) return !cache.tzSet;
  return cache.tzSet && std::strcmp(cache.tz, tz) == 0;
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
  const time_t t = static_cast<time_t>(seconds_);
  struct tm fields {};
  LocalFields out;
  {
    std::lock_guard<std::mutex> hold(ZoneLock());
    // localtime_r need not look at TZ again; tzset makes a changed zone take effect.
    ::tzset();
    if (::localtime_r(&t, &fields) == nullptr) return out;
  }
  out.year = fields.tm_year + 1900;
  out.month = fields.tm_mon + 1;
  out.day = fields.tm_mday;
  out.hour = fields.tm_hour;
  out.minute = fields.tm_min;
  out.second = fields.tm_sec;
  out.isDst = fields.tm_isdst;
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

  const size_t tzLength = tz == nullptr ? 0 : std::strlen(tz);
  cache.valid = tzLength < sizeof(cache.tz);
  cache.second = now;
  cache.tzSet = tz != nullptr;
  if (tz != nullptr && cache.valid) std::memcpy(cache.tz, tz, tzLength + 1);
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
