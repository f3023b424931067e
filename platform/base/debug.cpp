#include "platform/base/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace platform {

bool DebugOn(std::string_view channel) {
  const char* names = std::getenv("PICTOSS_DEBUG");
  if (!names) return false;
  std::string_view rest = names;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view name = rest.substr(0, comma);
    if (name == channel || name == "all") return true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

void DebugLine(std::string_view channel, const char* format, ...) {
  if (!DebugOn(channel)) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // One write a line, so that lines of several threads do not interleave.
  std::string line = "pictoss:" + std::string(channel) + ": " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace platform
