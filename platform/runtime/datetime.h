// The automation date: a double counting days from 1899-12-30 00:00, its fraction the time of
// day (for dates before 1899-12-30 the fraction still counts forward from midnight: -1.25 is
// 1899-12-29 06:00). Valid from 100-01-01 to 9999-12-31 23:59:59. Local time, no time zone is
// stored. Stateless apart from the test clock; call from the user-interface thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/base/windef.h"

namespace platform {

using Date = double;

inline constexpr Date kMinDate = -657434.0;                      // 100-01-01 00:00:00
inline constexpr Date kMaxDate = 2958465.0 + 86399.0 / 86400.0;  // 9999-12-31 23:59:59

struct DateParts {
  int year = 1899;
  int month = 12;  // 1..12
  int day = 30;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The local date and time, to the whole second (fractions of a second are dropped). A system
// clock outside 100-01-01..9999-12-31 reads as the nearest end of that range.
PLATFORM_API Date Now();

// Seconds on the monotonic clock, from an unspecified start: it runs on evenly through changes
// of the wall clock, of the time zone and of daylight-saving time.
PLATFORM_API double MonotonicSeconds();

// The wall clock and the monotonic clock read together: the local date and time to the whole
// second (as Now()), how far the wall clock is into that second (0 to under 1), and
// MonotonicSeconds(). A wait for a tick of the wall clock's second is measured on the monotonic
// clock from this one reading.
struct ClockReading {
  Date now = 0;
  double fraction = 0;
  double monotonic = 0;
};
PLATFORM_API ClockReading ReadClocks();

// Adds a number of seconds to a date, as DateAdd("s", ...) does: the count is first rounded to
// a whole number (halves to even) and the result is a whole second. Raises 5 (invalid
// procedure call or argument) when the result lies outside 100-01-01..9999-12-31, or when the
// date itself is not a valid date.
PLATFORM_API Date DateAddSeconds(Date date, double seconds, std::u16string_view source);

// The date of the given calendar parts; raises 5 when a part is out of its range (month 13,
// February 30, hour 24) or the date lies outside the valid range.
PLATFORM_API Date DateFromParts(const DateParts& parts, std::u16string_view source);

// The calendar parts of a date, rounded to the whole second; raises 5 outside the valid range.
PLATFORM_API DateParts DateToParts(Date date, std::u16string_view source);

// The same two conversions without raising: nullopt where they would raise 5.
PLATFORM_API std::optional<Date> TryDateFromParts(const DateParts& parts);
PLATFORM_API std::optional<DateParts> TryDateToParts(Date date);

// For tests: while a clock is set, Now() returns what it returns instead of reading the system
// clock. Pass nullptr to remove it.
using ClockHook = std::function<Date()>;
PLATFORM_API void SetClockHook(ClockHook hook);

// For tests: while a monotonic clock is set, MonotonicSeconds() returns what it returns. While
// the clock hook is set, ReadClocks() takes its date from that hook with a fraction of 0.
using MonotonicHook = std::function<double()>;
PLATFORM_API void SetMonotonicHook(MonotonicHook hook);

}  // namespace platform
