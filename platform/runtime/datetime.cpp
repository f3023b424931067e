#include "platform/runtime/datetime.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>

#include "platform/runtime/errors.h"

namespace platform {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, DateParts& parts) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  parts.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  parts.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  parts.year = static_cast<int>(yoe + era * 400 + (parts.month <= 2));
}

// Day 0 of the automation date, 1899-12-30, counted from 1970-01-01.
const std::int64_t kEpochDays = DaysFromCivil(1899, 12, 30);
constexpr std::int64_t kMinSeconds = -657434 * kSecondsPerDay;
constexpr std::int64_t kMaxSeconds = 2958465 * kSecondsPerDay + kSecondsPerDay - 1;

// A rough range test that keeps the conversion to seconds in 64 bits; callers then check the
// seconds. Fails for NaN. (-657434.5 is noon of 100-01-01, so the first day reaches to -657435.)
bool IsValidDate(Date date) {
  return date > kMinDate - 1.0 && date < kMaxDate + 1.0;
}

// Seconds since 1899-12-30 00:00. The fraction of a negative date counts forward from the
// midnight of its day, so -1.25 is one day back plus six hours.
std::int64_t DateToSeconds(Date date) {
  const double whole = std::trunc(date);
  const double fraction = std::fabs(date - whole);
  return static_cast<std::int64_t>(whole) * kSecondsPerDay +
         std::llround(fraction * kSecondsPerDay);
}

Date SecondsToDate(std::int64_t seconds) {
  std::int64_t day = seconds / kSecondsPerDay;
  std::int64_t time = seconds % kSecondsPerDay;
  if (time < 0) {
    time += kSecondsPerDay;
    --day;
  }
  const double fraction = static_cast<double>(time) / kSecondsPerDay;
  return day >= 0 ? day + fraction : day - fraction;
}

std::mutex clockMutex;
ClockHook& Clock() {
  static ClockHook hook;
  return hook;
}
MonotonicHook& Monotonic() {
  static MonotonicHook hook;
  return hook;
}

}  // namespace

std::optional<Date> TryDateFromParts(const DateParts& p) {
  if (p.month < 1 || p.month > 12 || p.day < 1 || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
      p.minute > 59 || p.second < 0 || p.second > 59 || p.year < 100 || p.year > 9999) {
    return std::nullopt;
  }
  const std::int64_t days = DaysFromCivil(p.year, p.month, p.day);
  // A day past the month's end would land in the next month.
  DateParts check;
  CivilFromDays(days, check);
  if (check.day != p.day) return std::nullopt;
  return SecondsToDate((days - kEpochDays) * kSecondsPerDay + p.hour * 3600 + p.minute * 60 +
                       p.second);
}

std::optional<DateParts> TryDateToParts(Date date) {
  if (!IsValidDate(date)) return std::nullopt;
  const std::int64_t seconds = DateToSeconds(date);
  if (seconds < kMinSeconds || seconds > kMaxSeconds) return std::nullopt;
  std::int64_t day = seconds / kSecondsPerDay;
  std::int64_t time = seconds % kSecondsPerDay;
  if (time < 0) {
    time += kSecondsPerDay;
    --day;
  }
  DateParts parts;
  CivilFromDays(day + kEpochDays, parts);
  parts.hour = static_cast<int>(time / 3600);
  parts.minute = static_cast<int>(time / 60 % 60);
  parts.second = static_cast<int>(time % 60);
  return parts;
}

Date DateFromParts(const DateParts& parts, std::u16string_view source) {
  std::optional<Date> date = TryDateFromParts(parts);
  if (!date) RaiseError(kInvalidProcedureCall, source);
  return *date;
}

DateParts DateToParts(Date date, std::u16string_view source) {
  std::optional<DateParts> parts = TryDateToParts(date);
  if (!parts) RaiseError(kInvalidProcedureCall, source);
  return *parts;
}

Date Now() {
  return ReadClocks().now;
}

double MonotonicSeconds() {
  {
    std::lock_guard lock(clockMutex);
    if (Monotonic()) return Monotonic()();
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ClockReading ReadClocks() {
  ClockReading reading;
  ClockHook hook;
  {
    std::lock_guard lock(clockMutex);
    hook = Clock();
  }
  if (hook) {
    reading.now = hook();
  } else {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    std::tm local{};
    localtime_r(&wall.tv_sec, &local);
    DateParts parts{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                    local.tm_hour,        local.tm_min,     local.tm_sec == 60 ? 59 : local.tm_sec};
    // A clock outside the date's range reads as the range's nearest end.
    if (parts.year < 100) {
      reading.now = kMinDate;
    } else if (parts.year > 9999) {
      reading.now = kMaxDate;
    } else {
      reading.now = TryDateFromParts(parts).value_or(kMinDate);
      reading.fraction = static_cast<double>(wall.tv_nsec) / 1e9;
    }
  }
  reading.monotonic = MonotonicSeconds();
  return reading;
}

Date DateAddSeconds(Date date, double seconds, std::u16string_view source) {
  if (!IsValidDate(date)) RaiseError(kInvalidProcedureCall, source);
  const double whole = std::nearbyint(seconds);  // halves to even
  // Anything this large leaves the range; checking first keeps the sum in 64 bits. NaN too.
  if (!(std::fabs(whole) <= 1e12)) RaiseError(kInvalidProcedureCall, source);
  const std::int64_t start = DateToSeconds(date);
  if (start < kMinSeconds || start > kMaxSeconds) RaiseError(kInvalidProcedureCall, source);
  const std::int64_t result = start + static_cast<std::int64_t>(whole);
  if (result < kMinSeconds || result > kMaxSeconds) RaiseError(kInvalidProcedureCall, source);
  return SecondsToDate(result);
}

void SetClockHook(ClockHook hook) {
  std::lock_guard lock(clockMutex);
  Clock() = std::move(hook);
}

void SetMonotonicHook(MonotonicHook hook) {
  std::lock_guard lock(clockMutex);
  Monotonic() = std::move(hook);
}

}  // namespace platform
