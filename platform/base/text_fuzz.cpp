// Fuzzes the UTF-8 and UTF-16 conversions: they never fail, bytes survive the round trip through
// UTF-16 unchanged, and so does UTF-16 whose unpaired surrogates are not escaped bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/base/text.h"

namespace {

// UTF-16 with every unpaired surrogate replaced by U+FFFD, escaped bytes included.
std::u16string Repaired(const std::u16string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      out += c;
      out += text[++i];
    } else {
      out += (c >= 0xD800 && c <= 0xDFFF) ? u'\uFFFD' : c;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string wide = platform::FromAnsi(bytes);
  if (platform::ToAnsi(wide) != bytes) std::abort();
  if (wide.size() > bytes.size()) std::abort();  // one unit at most for each byte

  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  const std::u16string repaired = Repaired(units);
  if (platform::FromAnsi(platform::ToAnsi(repaired)) != repaired) std::abort();
  // Escaped bytes may join their neighbours into UTF-8; the bytes stay the same.
  const std::string once = platform::ToAnsi(units);
  if (platform::ToAnsi(platform::FromAnsi(once)) != once) std::abort();
  return 0;
}
