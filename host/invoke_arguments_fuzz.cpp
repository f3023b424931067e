// Fuzzes the reading of `pictoss invoke`'s "TYPE:VALUE" arguments and the JSON printed for
// them: numbers read back as they print, and the JSON has no raw control characters.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/invoke_arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string spec(reinterpret_cast<const char*>(data), size);
  const auto value = host::ReadArgument(spec);
  if (!value) return 0;
  const std::string json = host::JsonVariant(*value);
  for (char c : json) {
    if (static_cast<unsigned char>(c) < 0x20) std::abort();
  }
  // {"type":"TYPE","value":VALUE}
  const std::string type = json.substr(9, json.find('"', 9) - 9);
  const std::size_t at = json.find("\"value\":") + 8;
  const std::string printed = json.substr(at, json.size() - at - 1);
  if ((type == "i2" || type == "i4" || type == "r8") && printed != "null") {
    const auto again = host::ReadArgument(type + ":" + printed);
    if (!again || host::JsonVariant(*again) != json) std::abort();
  }
  return 0;
}
