// Fuzzes the text to number conversion: any text either converts to a finite number or raises
// 13 or 6, and IsNumericText agrees with the conversion. The first byte picks the locale.
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/runtime/errors.h"
#include "platform/runtime/numbers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const char* const kLocales[] = {"C", "de_DE.UTF-8", "en_US.UTF-8"};
  std::setlocale(LC_ALL, kLocales[data[0] % 3]);
  // The rest, two bytes a UTF-16 code unit, so that every unit can occur.
  std::u16string text;
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  bool converted = false;
  try {
    const double value = platform::TextToDouble(text, u"Vorlick.PT");
    if (!std::isfinite(value)) std::abort();
    converted = true;
  } catch (const platform::RuntimeError& e) {
    if (e.number() != platform::kTypeMismatch && e.number() != platform::kOverflow) std::abort();
  }
  if (platform::IsNumericText(text) != converted) std::abort();
  return 0;
}
