#include "platform/kernel/temppath.h"

#include <cstdlib>
#include <cstring>
#include <string>

DWORD GetTempPathA(DWORD length, char* buffer) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir && *dir ? dir : "/tmp";
  if (path.back() != '/') path.push_back('/');
  if (path.size() + 1 > 0xFFFFFFFFu) return 0;
  DWORD needed = static_cast<DWORD>(path.size() + 1);
  if (!buffer || length < needed) return needed;
  std::memcpy(buffer, path.c_str(), needed);
  return needed - 1;
}
