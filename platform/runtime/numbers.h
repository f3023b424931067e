// The automation runtime's number rules: the locale-aware conversion of text to a double (what
// CDbl and IsNumeric do with a string), checked signed 32-bit arithmetic, and the conversion of
// a double to an integer with halves rounded to even. Failures raise platform::RuntimeError
// with the source the caller gives. Stateless; the text conversion reads the process's current
// locale (LC_NUMERIC, LC_MONETARY), so call it from one thread while nobody changes the locale.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/base/windef.h"

namespace platform {

// Converts text to a double by the platform's rules, in the current locale:
//   blanks and tabs around the number; one optional leading sign, or the whole number in
//   parentheses for a negative one, "(5)"; the locale's currency symbol before the digits;
//   digits with the locale's thousands separator between them; one decimal separator (the
//   locale's); an exponent "E" or "D" with an optional sign; "&H" hex and "&O" octal integers,
//   which read as a 16-bit integer when they fit 4 hex digits and as a 32-bit one when they
//   fit 8 ("&HFFFF" is -1).
// Raises 13 (type mismatch) for text that is not a number ("", "-", "3s", "0x10", "1e",
// "Infinity", "NaN") and 6 (overflow) for a number too large for a double.
PLATFORM_API double TextToDouble(std::u16string_view text, std::u16string_view source);

// The same conversion without raising: the value, or in `error` the run-time error number that
// TextToDouble would raise (13 or 6; 0 when the text is a number).
struct TextNumber {
  double value = 0;
  std::int32_t error = 0;
};
PLATFORM_API TextNumber ParseTextNumber(std::u16string_view text);

// True when TextToDouble would return a value for this text (neither 13 nor 6).
PLATFORM_API bool IsNumericText(std::u16string_view text);

// Signed 32-bit arithmetic that raises 6 (overflow) when the exact result does not fit.
PLATFORM_API std::int32_t CheckedAdd(std::int32_t a, std::int32_t b, std::u16string_view source);
PLATFORM_API std::int32_t CheckedSub(std::int32_t a, std::int32_t b, std::u16string_view source);
PLATFORM_API std::int32_t CheckedMul(std::int32_t a, std::int32_t b, std::u16string_view source);

// The nearest integer, an exact half going to the even neighbour (2.5 -> 2, 3.5 -> 4,
// -2.5 -> -2). Raises 6 (overflow) when the rounded value does not fit, or for NaN.
PLATFORM_API std::int32_t RoundToInt32(double value, std::u16string_view source);
PLATFORM_API std::int16_t RoundToInt16(double value, std::u16string_view source);

}  // namespace platform
