// Registry: the plug-in's settings store. Reads and writes string values of a key named by one
// text path that begins with a root-key name ("HKEY_LOCAL_MACHINE\Software\..."); each call
// opens the key, uses it and closes it again, so nothing is kept between calls. It never raises:
// a failed read yields "Error", a failed write is silent. User-interface thread only (a malformed
// path shows a message box).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/base/windef.h"

namespace pictoss {

// The root handle of one of the seven predefined root names, compared case-sensitively;
// 0 for any other text.
HKEY RootKeyFromName(std::u16string_view sRootName);

struct SplitKey {
  HKEY hRoot = 0;  // 0 when the root name is not one of the seven
  std::u16string sSubKey;
};

// Cuts a key path at its first backslash. A path that does not begin with "HKEY_" or ends with a
// backslash is rejected (nullopt) after the format message has been shown.
std::optional<SplitKey> SplitKeyPath(std::u16string_view sKeyPath);

// The value's text; nullopt (the empty result) when the path was rejected or names no known
// root; "Error" when the key or value cannot be read or the value is longer than 254 bytes.
std::optional<std::u16string> ReadKeyValue(std::u16string_view sKeyPath,
                                           std::u16string_view sValueName);

// Stores the text as REG_SZ in an existing key; creates nothing and reports nothing.
void WriteKeyValue(std::u16string_view sKeyPath, std::u16string_view sValueName,
                   std::u16string_view sValue);

// The same write, returning its status: ERROR_SUCCESS, ERROR_INVALID_PARAMETER for a rejected
// path (the format message has been shown), ERROR_INVALID_HANDLE for an unknown root, otherwise
// the status of opening the key or of setting the value.
LONG WriteKeyValueWithStatus(std::u16string_view sKeyPath, std::u16string_view sValueName,
                             std::u16string_view sValue);

}  // namespace pictoss
