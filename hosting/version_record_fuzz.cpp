// Fuzzes the version note reader on mutated module files: it never reads out of bounds, and
// what it finds are entries without NUL bytes whose keys hold no "=".
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hosting/version_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string why;
  const auto entries = hosting::ParseVersionRecord(
      std::string_view(reinterpret_cast<const char*>(data), size), &why);
  if (!entries) {
    if (why.empty()) std::abort();
    return 0;
  }
  for (const auto& [key, value] : *entries) {
    if (key.find('=') != std::string::npos || key.find('\0') != std::string::npos ||
        value.find('\0') != std::string::npos) {
      std::abort();
    }
  }
  return 0;
}
