#include "platform/runtime/numbers.h"

#include <locale.h>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/base/locale.h"
#include "platform/base/text.h"
#include "platform/runtime/errors.h"

namespace platform {
namespace {

// The separators and the currency symbol of the current locale, as UTF-16.
struct NumberFormat {
  std::u16string decimal;
  std::u16string thousands;
  std::u16string currency;
};

NumberFormat CurrentNumberFormat() {
  UseLocale();
  const lconv* conv = std::localeconv();
  NumberFormat format{FromAnsi(conv->decimal_point), FromAnsi(conv->thousands_sep),
                      FromAnsi(conv->currency_symbol)};
  if (format.decimal.empty()) format.decimal.push_back(u'.');
  // A locale whose two separators are the same could not tell them apart.
  if (format.thousands == format.decimal) format.thousands.clear();
  return format;
}

enum class Parsed { kNumber, kNotNumber, kOverflow };

class Scanner {
 public:
  explicit Scanner(std::u16string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  char16_t Peek(size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : u'\0';
  }
  bool AtDigit(size_t ahead = 0) const { return Peek(ahead) >= u'0' && Peek(ahead) <= u'9'; }
  void Advance(size_t count = 1) { pos_ += count; }

  bool Eat(std::u16string_view token) {
    if (token.empty() || text_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }
  bool EatEither(char16_t upper) {
    if (Peek() != upper && Peek() != upper + (u'a' - u'A')) return false;
    ++pos_;
    return true;
  }
  void SkipBlanks() {
    while (Peek() == u' ' || Peek() == u'\t') ++pos_;
  }

 private:
  std::u16string_view text_;
  size_t pos_ = 0;
};

// "&H..." or "&O..." after the '&': the digits' value as a 16-bit integer when it fits 16 bits,
// as a 32-bit one when it fits 32 bits.
Parsed ParseRadixInteger(Scanner& in, double& value) {
  int bits;
  if (in.EatEither(u'H')) {
    bits = 4;
  } else if (in.EatEither(u'O')) {
    bits = 3;
  } else {
    return Parsed::kNotNumber;
  }
  std::uint64_t number = 0;
  bool any = false, overflow = false;
  for (;; in.Advance()) {
    char16_t c = in.Peek();
    int digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (bits == 4 && c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else if (bits == 4 && c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else {
      break;
    }
    if (digit >= (1 << bits)) return Parsed::kNotNumber;  // 8 or 9 in an octal number
    any = true;
    number = (number << bits) | digit;
    if (number > 0xFFFFFFFFu) {
      overflow = true;  // keep scanning: a later non-digit still makes it "not a number"
      number = 0;
    }
  }
  if (!any) return Parsed::kNotNumber;
  if (overflow) return Parsed::kOverflow;
  if (number <= 0xFFFF) {
    value = static_cast<std::int16_t>(static_cast<std::uint16_t>(number));
  } else {
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
  }
  return Parsed::kNumber;
}

// Digits with thousands separators between them, an optional decimal part and an optional
// exponent, rewritten as plain ASCII ("1234.5e-3") for strtod.
Parsed ScanDecimal(Scanner& in, const NumberFormat& format, std::string& ascii) {
  bool any = false;
  for (;;) {
    if (in.AtDigit()) {
      ascii.push_back(static_cast<char>(in.Peek()));
      in.Advance();
      any = true;
    } else if (any && !format.thousands.empty() && in.Eat(format.thousands)) {
      if (!in.AtDigit()) return Parsed::kNotNumber;
    } else {
      break;
    }
  }
  if (in.Eat(format.decimal)) {
    ascii.push_back('.');
    for (; in.AtDigit(); in.Advance()) {
      ascii.push_back(static_cast<char>(in.Peek()));
      any = true;
    }
  }
  if (!any) return Parsed::kNotNumber;
  if (in.EatEither(u'E') || in.EatEither(u'D')) {
    ascii.push_back('e');
    if (in.Peek() == u'+' || in.Peek() == u'-') {
      ascii.push_back(static_cast<char>(in.Peek()));
      in.Advance();
    }
    if (!in.AtDigit()) return Parsed::kNotNumber;
    for (; in.AtDigit(); in.Advance()) ascii.push_back(static_cast<char>(in.Peek()));
  }
  return Parsed::kNumber;
}

double StrtodC(const std::string& ascii) {
  // strtod reads the current locale's decimal point; the rewritten text always uses '.'.
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(ascii.c_str(), nullptr, cLocale);
}

// Blanks, a sign, blanks and digits to the end read the same in every locale (no locale has a
// digit for a separator or to begin its currency symbol), so they need none loaded. A blank
// after the digits does: it may be the locale's thousands separator.
bool NeedsNoLocale(std::u16string_view text) {
  std::size_t i = text.find_first_not_of(u" \t");
  if (i != std::u16string_view::npos && (text[i] == u'+' || text[i] == u'-'))
    i = text.find_first_not_of(u" \t", i + 1);
  if (i == std::u16string_view::npos) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
  }
  return true;
}

Parsed ParseNumber(std::u16string_view text, double& value) {
  const NumberFormat format =
      NeedsNoLocale(text) ? NumberFormat{u".", u"", u""} : CurrentNumberFormat();
  Scanner in(text);
  in.SkipBlanks();
  bool negative = false;
  const bool parenthesized = in.Eat(u"(");
  if (parenthesized) {
    negative = true;
    in.SkipBlanks();
  } else if (in.Peek() == u'+' || in.Peek() == u'-') {
    negative = in.Peek() == u'-';
    in.Advance();
    in.SkipBlanks();
  }
  Parsed result;
  if (in.Eat(u"&")) {
    result = ParseRadixInteger(in, value);
  } else {
    if (in.Eat(format.currency)) in.SkipBlanks();
    std::string ascii;
    result = ScanDecimal(in, format, ascii);
    if (result == Parsed::kNumber) {
      value = StrtodC(ascii);
      if (std::isinf(value)) result = Parsed::kOverflow;
    }
  }
  in.SkipBlanks();
  if (parenthesized && !in.Eat(u")")) return Parsed::kNotNumber;
  in.SkipBlanks();
  if (!in.AtEnd()) return Parsed::kNotNumber;
  if (negative) value = -value;
  return result;
}

}  // namespace

TextNumber ParseTextNumber(std::u16string_view text) {
  TextNumber n;
  switch (ParseNumber(text, n.value)) {
    case Parsed::kNumber:
      return n;
    case Parsed::kOverflow:
      return {0, kOverflow};
    case Parsed::kNotNumber:
      break;
  }
  return {0, kTypeMismatch};
}

double TextToDouble(std::u16string_view text, std::u16string_view source) {
  TextNumber n = ParseTextNumber(text);
  if (n.error != 0) RaiseError(n.error, source);
  return n.value;
}

bool IsNumericText(std::u16string_view text) {
  return ParseTextNumber(text).error == 0;
}

std::int32_t CheckedAdd(std::int32_t a, std::int32_t b, std::u16string_view source) {
  std::int32_t result;
  if (__builtin_add_overflow(a, b, &result)) RaiseError(kOverflow, source);
  return result;
}

std::int32_t CheckedSub(std::int32_t a, std::int32_t b, std::u16string_view source) {
  std::int32_t result;
  if (__builtin_sub_overflow(a, b, &result)) RaiseError(kOverflow, source);
  return result;
}

std::int32_t CheckedMul(std::int32_t a, std::int32_t b, std::u16string_view source) {
  std::int32_t result;
  if (__builtin_mul_overflow(a, b, &result)) RaiseError(kOverflow, source);
  return result;
}

namespace {

// Round to nearest, halves to even. nearbyint does exactly that in the default rounding mode,
// which nothing in the process changes.
template <typename Int>
Int RoundToInteger(double value, std::u16string_view source) {
  const double rounded = std::nearbyint(value);
  // NaN fails both comparisons.
  if (!(rounded >= static_cast<double>(std::numeric_limits<Int>::min()) &&
        rounded <= static_cast<double>(std::numeric_limits<Int>::max()))) {
    RaiseError(kOverflow, source);
  }
  return static_cast<Int>(rounded);
}

}  // namespace

std::int32_t RoundToInt32(double value, std::u16string_view source) {
  return RoundToInteger<std::int32_t>(value, source);
}

std::int16_t RoundToInt16(double value, std::u16string_view source) {
  return RoundToInteger<std::int16_t>(value, source);
}

}  // namespace platform
