#include "platform/runtime/datetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "platform/runtime/errors.h"
#include "tests/support/runtime_error.h"

namespace platform {
namespace {

constexpr std::u16string_view kSource = u"Vorlick.PT";
constexpr double kSecond = 1.0 / 86400;

TEST(Date, CalendarDatesGiveTheKnownDayNumbers) {
  struct Known {
    DateParts parts;
    Date date;
  };
  // Day numbers as the automation date type has them (1900-01-01 is day 2, because day 0 is
  // 1899-12-30); 2024 is a leap year, 1900 is not.
  const Known known[] = {
      {{1899, 12, 30, 0, 0, 0}, 0},
      {{1899, 12, 31, 0, 0, 0}, 1},
      {{1900, 1, 1, 0, 0, 0}, 2},
      {{1900, 3, 1, 0, 0, 0}, 61},
      {{2000, 1, 1, 0, 0, 0}, 36526},
      {{2000, 1, 1, 12, 0, 0}, 36526.5},
      {{2024, 2, 29, 0, 0, 0}, 45351},
      {{1899, 12, 29, 6, 0, 0}, -1.25},  // the time of day counts forward from midnight
      {{100, 1, 1, 0, 0, 0}, kMinDate},
      {{9999, 12, 31, 0, 0, 0}, 2958465},
      {{9999, 12, 31, 23, 59, 59}, kMaxDate},
  };
  for (const Known& k : known) {
    SCOPED_TRACE(k.date);
    EXPECT_DOUBLE_EQ(DateFromParts(k.parts, kSource), k.date);
    const DateParts back = DateToParts(k.date, kSource);
    EXPECT_EQ(back.year, k.parts.year);
    EXPECT_EQ(back.month, k.parts.month);
    EXPECT_EQ(back.day, k.parts.day);
    EXPECT_EQ(back.hour * 3600 + back.minute * 60 + back.second,
              k.parts.hour * 3600 + k.parts.minute * 60 + k.parts.second);
  }
}

TEST(Date, ImpossibleCalendarDatesRaiseInvalidCall) {
  const DateParts bad[] = {
      {1900, 2, 29, 0, 0, 0}, {2023, 2, 29, 0, 0, 0}, {2023, 4, 31, 0, 0, 0},
      {2023, 13, 1, 0, 0, 0}, {2023, 0, 1, 0, 0, 0},  {2023, 1, 1, 24, 0, 0},
      {99, 12, 31, 0, 0, 0},  {10000, 1, 1, 0, 0, 0},
  };
  for (const DateParts& p : bad) {
    SCOPED_TRACE(std::to_string(p.year) + "-" + std::to_string(p.month) + "-" +
                 std::to_string(p.day) + " " + std::to_string(p.hour));
    EXPECT_RUNTIME_ERROR(DateFromParts(p, kSource), kInvalidProcedureCall, kSource);
  }
}

TEST(Date, AddingSecondsRoundsTheCountAndStaysInRange) {
  struct Add {
    Date date;
    double seconds;
    Date expected;
  };
  const Add adds[] = {
      {0, 86400, 1},
      {0, 1.5, 2 * kSecond},  // halves to even
      {0, 2.5, 2 * kSecond},
      {0, 0.5, 0},
      {0, -0.4, 0},
      {36526, -1, 36525 + 86399 * kSecond},
      {0, -1, -1 - 86399 * kSecond},  // 1899-12-29 23:59:59
      {-1.25, -21600, -1},
      {-1.25, 86400 + 21600, 0.5},
      {kMaxDate, -86399, 2958465},
      {kMinDate, 86400, kMinDate + 1},
  };
  for (const Add& a : adds) {
    SCOPED_TRACE(std::to_string(a.date) + " + " + std::to_string(a.seconds));
    EXPECT_NEAR(DateAddSeconds(a.date, a.seconds, kSource), a.expected, 1e-9);
  }
  const Add outside[] = {
      {kMaxDate, 1, 0},
      {kMinDate, -1, 0},
      {0, 1e300, 0},
      {0, -1e15, 0},
      {0, std::numeric_limits<double>::quiet_NaN(), 0},
      {std::numeric_limits<double>::quiet_NaN(), 1, 0},
      {kMaxDate + 2, -86400 * 3, 0},
  };
  for (const Add& a : outside) {
    SCOPED_TRACE(std::to_string(a.date) + " + " + std::to_string(a.seconds));
    if (auto e = testsupport::RaisedError([&] { DateAddSeconds(a.date, a.seconds, kSource); })) {
      EXPECT_EQ(e->number(), kInvalidProcedureCall);
    }
  }
}

TEST(Date, NowIsTheLocalClockToTheWholeSecond) {
  // A zone far from UTC shows that the local time is read, not UTC.
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  setenv("TZ", "XYZ-9:30", 1);
  tzset();
  const std::time_t before = std::time(nullptr);
  const Date now = Now();
  const std::time_t after = std::time(nullptr);
  previous ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();

  EXPECT_NEAR(now * 86400, std::round(now * 86400), 1e-3);
  // Seconds since 1899-12-30 of UTC+9:30: 25569 days lie between 1899-12-30 and 1970-01-01.
  const double expectedBefore = 25569.0 + (before + 9 * 3600 + 1800) / 86400.0;
  const double expectedAfter = 25569.0 + (after + 9 * 3600 + 1800) / 86400.0;
  EXPECT_GE(now, expectedBefore - 1e-9);
  EXPECT_LE(now, expectedAfter + 1e-9);
}

TEST(Date, ClockHookReplacesTheSystemClock) {
  SetClockHook([] { return 36526.5; });
  EXPECT_EQ(Now(), 36526.5);
  SetClockHook(nullptr);
  EXPECT_GT(Now(), 36526.5);
}

}  // namespace
}  // namespace platform
