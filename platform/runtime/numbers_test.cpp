#include "platform/runtime/numbers.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "platform/base/locale.h"
#include "platform/runtime/errors.h"
#include "tests/support/child_process.h"
#include "tests/support/runtime_error.h"

namespace platform {
namespace {

constexpr std::u16string_view kSource = u"Vorlick.PT";

// What a conversion should give: a number, error 13 or error 6.
struct Case {
  std::u16string_view text;
  int error;  // 0, kTypeMismatch or kOverflow
  double value;
};

constexpr Case kNumber(std::u16string_view text, double value) {
  return {text, 0, value};
}
constexpr Case kNotNumber(std::u16string_view text) {
  return {text, kTypeMismatch, 0};
}
constexpr Case kTooLarge(std::u16string_view text) {
  return {text, kOverflow, 0};
}

// Sets a locale for the test and puts the previous one back.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char* name) : previous_(std::setlocale(LC_ALL, nullptr)) {
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~ScopedLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_;
};

void CheckTable(const char* locale, std::initializer_list<Case> cases) {
  ScopedLocale scoped(locale);
  ASSERT_TRUE(scoped.ok()) << locale << " is not installed (run scripts/deps)";
  for (const Case& c : cases) {
    const std::string shown(c.text.begin(), c.text.end());
    SCOPED_TRACE(std::string(locale) + ": \"" + shown + "\"");
    EXPECT_EQ(IsNumericText(c.text), c.error == 0);
    double value = 0;
    if (auto e = testsupport::ErrorOf([&] { value = TextToDouble(c.text, kSource); })) {
      EXPECT_EQ(e->number(), c.error);
      EXPECT_EQ(e->source(), kSource);
    } else {
      EXPECT_EQ(c.error, 0) << "converted to " << value;
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(TextToDouble, PlainLocale) {
  CheckTable("C", {
                      kNumber(u"3", 3),
                      kNumber(u" 3 ", 3),
                      kNumber(u"\t 3\t", 3),
                      kNumber(u"+3", 3),
                      kNumber(u"-3", -3),
                      kNumber(u"(5)", -5),
                      kNumber(u" ( 5 ) ", -5),
                      kNumber(u"1.5", 1.5),
                      kNumber(u".5", 0.5),
                      kNumber(u"5.", 5),
                      kNumber(u"007", 7),
                      kNumber(u"1e3", 1000),
                      kNumber(u"1E+3", 1000),
                      kNumber(u"25e-2", 0.25),
                      kNumber(u"1D3", 1000),
                      kNumber(u"2d-1", 0.2),
                      kNumber(u"1e-400", 0),
                      kNumber(u"1.7976931348623157e308", 1.7976931348623157e308),
                      kNumber(u"&H10", 16),
                      kNumber(u"&hff", 255),
                      kNumber(u"&HFFFF", -1),
                      kNumber(u"&H8000", -32768),
                      kNumber(u"&H10000", 65536),
                      kNumber(u"&HFFFFFFFF", -1),
                      kNumber(u"&H80000000", -2147483648.0),
                      kNumber(u"&H0000000010", 16),
                      kNumber(u"-&H10", -16),
                      kNumber(u"&O17", 15),
                      kNumber(u"&o177777", -1),
                      kNotNumber(u""),
                      kNotNumber(u"   "),
                      kNotNumber(u"-"),
                      kNotNumber(u"+"),
                      kNotNumber(u"."),
                      kNotNumber(u"3s"),
                      kNotNumber(u"0x10"),
                      kNotNumber(u"1e"),
                      kNotNumber(u"1e+"),
                      kNotNumber(u"e3"),
                      kNotNumber(u"Infinity"),
                      kNotNumber(u"inf"),
                      kNotNumber(u"NaN"),
                      kNotNumber(u"--3"),
                      kNotNumber(u"3-"),
                      kNotNumber(u"(-5)"),
                      kNotNumber(u"(5"),
                      kNotNumber(u"5)"),
                      kNotNumber(u"1.2.3"),
                      kNotNumber(u"1 000"),
                      kNotNumber(u"1,000"),  // no thousands separator in this locale
                      kNotNumber(u"$5"),     // nor a currency symbol
                      kNotNumber(u"3\n"),
                      kNotNumber(u"&H"),
                      kNotNumber(u"&HG"),
                      kNotNumber(u"&O8"),
                      kNotNumber(u"&10"),
                      kNotNumber(u"&H100000000x"),
                      kNotNumber(std::u16string_view(u"3\0", 2)),
                      kTooLarge(u"1e309"),
                      kTooLarge(u"-1.8e308"),
                      kTooLarge(u"1e99999999999999999999"),
                      kTooLarge(u"&H100000000"),
                      kTooLarge(u"&O40000000000"),
                  });
}

TEST(TextToDouble, CommaThousandsLocale) {
  CheckTable("en_US.UTF-8", {
                                kNumber(u"1,000", 1000),
                                kNumber(u"1,000.5", 1000.5),
                                kNumber(u"1,2", 12),  // group sizes are not checked
                                kNumber(u"1.5", 1.5),
                                kNumber(u"$5", 5),
                                kNumber(u"-$5", -5),
                                kNumber(u"($1,000)", -1000),
                                kNotNumber(u"1,,2"),
                                kNotNumber(u",5"),
                                kNotNumber(u"5,"),
                                kNotNumber(u"1.000,5"),
                                kNotNumber(u"5$"),
                            });
}

TEST(TextToDouble, CommaDecimalLocale) {
  CheckTable("de_DE.UTF-8", {
                                kNumber(u"1,5", 1.5),
                                kNumber(u",5", 0.5),
                                kNumber(u"-2,25", -2.25),
                                kNumber(u"1.000,5", 1000.5),
                                kNumber(u"1.5", 15),  // the dot separates thousands here
                                kNumber(u"3", 3),
                                kNumber(u"1,5e3", 1500),
                                kNumber(u"\u20AC5", 5),
                                kNumber(u"\u20AC 2,5", 2.5),
                                kNotNumber(u"1,2,3"),
                                kNotNumber(u"1..5"),
                                kNotNumber(u"$5"),
                            });
}

using testsupport::InChild;

std::string ProcessLocale() {
  return std::setlocale(LC_ALL, nullptr);
}

// A program that asked for the user's locale on first use gets it when a text needs the
// locale's separators, and not before: a plain count reads the same in every locale. Where
// nobody asked (a chat client sets its own), the process's locale stays as it is.
TEST(TextToDouble, TheUsersLocaleIsSetWhenATextFirstNeedsIt) {
  ASSERT_EQ(ProcessLocale(), "C");
  EXPECT_EQ(InChild([] {
              setenv("LC_ALL", "de_DE.UTF-8", 1);
              SetUserLocaleOnFirstUse();
              for (std::u16string_view plain : {u"12", u"  -3", u"+ 40", u"0"}) {
                if (!IsNumericText(plain)) return 1;
              }
              if (ProcessLocale() != "C") return 2;
              if (!IsNumericText(u"5 ") || ProcessLocale() != "de_DE.UTF-8") return 3;
              if (TextToDouble(u"1,5", kSource) != 1.5) return 4;
              return TextToDouble(u"1.000", kSource) == 1000 ? 0 : 5;
            }),
            0);
  EXPECT_EQ(InChild([] {
              setenv("LC_ALL", "de_DE.UTF-8", 1);
              UseLocale();
              return !IsNumericText(u"1,5") && ProcessLocale() == "C" ? 0 : 1;
            }),
            0);
}

// What f gives, or error 6 where the case overflows.
template <class F>
void ExpectResultOrOverflow(F f, bool overflows, std::int32_t expected) {
  std::int32_t result = 0;
  if (auto e = testsupport::ErrorOf([&] { result = f(); })) {
    EXPECT_TRUE(overflows);
    EXPECT_EQ(e->number(), kOverflow);
    EXPECT_EQ(e->description(), u"Overflow");
  } else {
    EXPECT_EQ(result, expected);
    EXPECT_FALSE(overflows);
  }
}

TEST(CheckedArithmetic, RaisesOverflowOutsideSigned32Bits) {
  struct Op {
    std::int32_t (*op)(std::int32_t, std::int32_t, std::u16string_view);
    std::int32_t a, b;
    bool overflows;
    std::int32_t result;
  };
  const Op ops[] = {
      {CheckedAdd, INT_MAX, 0, false, INT_MAX},
      {CheckedAdd, INT_MAX, 1, true, 0},
      {CheckedAdd, INT_MIN, -1, true, 0},
      {CheckedAdd, INT_MIN, INT_MAX, false, -1},
      {CheckedSub, INT_MIN, 1, true, 0},
      {CheckedSub, 0, INT_MIN, true, 0},
      {CheckedSub, -1, INT_MIN, false, INT_MAX},
      {CheckedMul, 46340, 46340, false, 2147395600},
      {CheckedMul, 46341, 46341, true, 0},
      {CheckedMul, 65536, 32768, true, 0},
      {CheckedMul, -65536, 32768, false, INT_MIN},
      {CheckedMul, INT_MIN, -1, true, 0},
      {CheckedMul, 1920 * 3 + 3, 1080, false, 5763 * 1080},
  };
  for (const Op& o : ops) {
    SCOPED_TRACE(std::to_string(o.a) + ", " + std::to_string(o.b));
    ExpectResultOrOverflow([&] { return o.op(o.a, o.b, kSource); }, o.overflows, o.result);
  }
}

TEST(RoundToInteger, HalvesGoToEvenAndOutOfRangeOverflows) {
  struct Round {
    double value;
    bool overflows;
    std::int32_t result;
  };
  const Round rounds[] = {
      {0.5, false, 0},
      {1.5, false, 2},
      {2.5, false, 2},
      {3.5, false, 4},
      {-2.5, false, -2},
      {-3.5, false, -4},
      {2.4999999, false, 2},
      {2.5000001, false, 3},
      {-0.4, false, 0},
      {2147483647.4, false, INT_MAX},
      {2147483647.5, true, 0},
      {-2147483648.5, false, INT_MIN},
      {-2147483649.0, true, 0},
      {std::numeric_limits<double>::infinity(), true, 0},
      {std::numeric_limits<double>::quiet_NaN(), true, 0},
  };
  for (const Round& r : rounds) {
    SCOPED_TRACE(r.value);
    ExpectResultOrOverflow([&] { return RoundToInt32(r.value, kSource); }, r.overflows, r.result);
  }
  EXPECT_EQ(RoundToInt16(32766.5, kSource), 32766);
  EXPECT_EQ(RoundToInt16(-32768.5, kSource), -32768);
  EXPECT_THROW(RoundToInt16(32767.5, kSource), RuntimeError);
}

}  // namespace
}  // namespace platform
