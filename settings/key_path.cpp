#include "settings/key_path.h"

#include <algorithm>
#include <array>
#include <string>

#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/user/messagebox.h"

namespace pictoss {
namespace {

constexpr std::u16string_view kProductTitle = u"Pictoss";
// A readable value holds at most 254 bytes of text and its terminating NUL.
constexpr DWORD kReadBufferBytes = 255;
const std::u16string kReadFailed = u"Error";

// The same ASCII text, code unit by code unit (the root names are ASCII).
bool SameAscii(std::u16string_view wide, std::string_view ascii) {
  return std::equal(wide.begin(), wide.end(), ascii.begin(), ascii.end(),
                    [](char16_t w, char a) { return w == static_cast<unsigned char>(a); });
}

// Removes blanks (spaces only) from both ends.
std::u16string_view TrimBlanks(std::u16string_view text) {
  const size_t first = text.find_first_not_of(u' ');
  if (first == std::u16string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(u' ') - first + 1);
}

}  // namespace

HKEY RootKeyFromName(std::u16string_view sRootName) {
  for (const RootKeyName& root : kRootKeys) {
    if (SameAscii(sRootName, root.name)) return root.handle;
  }
  return 0;
}

std::optional<SplitKey> SplitKeyPath(std::u16string_view sKeyPath) {
  if (!sKeyPath.starts_with(u"HKEY_") || sKeyPath.ends_with(u'\\')) {
    std::u16string message = u"Incorrect Format:\n\n";
    message += sKeyPath;
    MessageBoxW(0, message, kProductTitle, MB_OK);
    return std::nullopt;
  }
  const size_t slash = sKeyPath.find(u'\\');
  if (slash == std::u16string_view::npos) return SplitKey{RootKeyFromName(sKeyPath), u""};
  return SplitKey{RootKeyFromName(sKeyPath.substr(0, slash)),
                  std::u16string(sKeyPath.substr(slash + 1))};
}

std::optional<std::u16string> ReadKeyValue(std::u16string_view sKeyPath,
                                           std::u16string_view sValueName) {
  const std::optional<SplitKey> split = SplitKeyPath(sKeyPath);
  if (!split || split->hRoot == 0) return std::nullopt;
  HKEY hKey = 0;
  if (RegOpenKeyExA(split->hRoot, platform::ToAnsi(split->sSubKey).c_str(), 0, KEY_READ, &hKey) !=
      ERROR_SUCCESS) {
    return kReadFailed;
  }
  std::string buffer(kReadBufferBytes, ' ');
  DWORD type = REG_SZ;
  DWORD size = kReadBufferBytes;
  const LONG status = RegQueryValueExA(hKey, platform::ToAnsi(sValueName).c_str(), nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer.data()), &size);
  RegCloseKey(hKey);
  if (status != ERROR_SUCCESS) return kReadFailed;
  // The whole buffer counts, not the size read: trimming keeps blanks that stand before the
  // stored NUL, and the last character left is that NUL.
  const std::u16string wide = platform::FromAnsi(buffer);
  std::u16string_view text = TrimBlanks(wide);
  if (!text.empty()) text.remove_suffix(1);
  return std::u16string(text);
}

LONG WriteKeyValueWithStatus(std::u16string_view sKeyPath, std::u16string_view sValueName,
                             std::u16string_view sValue) {
  const std::optional<SplitKey> split = SplitKeyPath(sKeyPath);
  if (!split) return ERROR_INVALID_PARAMETER;
  if (split->hRoot == 0) return ERROR_INVALID_HANDLE;
  HKEY hKey = 0;
  const LONG opened =
      RegOpenKeyExA(split->hRoot, platform::ToAnsi(split->sSubKey).c_str(), 0, KEY_WRITE, &hKey);
  if (opened != ERROR_SUCCESS) return opened;
  std::string data = platform::ToAnsi(sValue);
  data.push_back('\0');
  const LONG status =
      RegSetValueExA(hKey, platform::ToAnsi(sValueName).c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
  RegCloseKey(hKey);
  return status;
}

void WriteKeyValue(std::u16string_view sKeyPath, std::u16string_view sValueName,
                   std::u16string_view sValue) {
  WriteKeyValueWithStatus(sKeyPath, sValueName, sValue);
}

}  // namespace pictoss
