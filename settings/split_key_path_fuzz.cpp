// Fuzzes SplitKeyPath: a path is rejected, with exactly one message, exactly when it does not
// begin with "HKEY_" or ends with a backslash; otherwise root name and sub-key make up the path.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/base/text.h"
#include "platform/user/messagebox.h"
#include "settings/key_path.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static int shown = 0;
  static const bool hooked = [] {
    platform::SetMessageBoxHook([](std::u16string_view, std::u16string_view) { ++shown; });
    return true;
  }();
  (void)hooked;
  const std::u16string path =
      platform::FromAnsi(std::string(reinterpret_cast<const char*>(data), size));
  shown = 0;
  const auto split = pictoss::SplitKeyPath(path);
  const bool wellFormed = path.starts_with(u"HKEY_") && !path.ends_with(u'\\');
  if (split.has_value() != wellFormed || shown != (wellFormed ? 0 : 1)) std::abort();
  if (!split) return 0;
  const std::size_t slash = path.find(u'\\');
  const std::u16string rootName = path.substr(0, slash);
  if (split->hRoot != pictoss::RootKeyFromName(rootName)) std::abort();
  if (slash == std::u16string::npos ? !split->sSubKey.empty()
                                    : rootName + u"\\" + split->sSubKey != path) {
    std::abort();
  }
  return 0;
}
