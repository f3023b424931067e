// For tests: a private registry store (PICTOSS_PREFIX pointed at a fresh folder, removed
// afterwards) with helpers to create the settings key and to look at its raw values.
// One test thread at a time; the environment variable is process-wide.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry/registry.h"

namespace dialogstest {

inline constexpr const char* kSettingsSubKey = "Software\\Brindlemoor\\Pictoss";

class PrivateStore {
 public:
  PrivateStore() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pictoss-dlg-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    if (const char* old = getenv("PICTOSS_PREFIX")) previous_ = old;
    setenv("PICTOSS_PREFIX", dir_.c_str(), 1);
  }
  ~PrivateStore() {
    if (previous_) {
      setenv("PICTOSS_PREFIX", previous_->c_str(), 1);
    } else {
      unsetenv("PICTOSS_PREFIX");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  PrivateStore(const PrivateStore&) = delete;
  PrivateStore& operator=(const PrivateStore&) = delete;

  bool Empty() const { return std::filesystem::is_empty(dir_); }

  // Creates the settings key; true when it exists afterwards.
  bool CreateSettingsKey() {
    HKEY key = 0;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsSubKey, 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
  }

  // Stores text as REG_SZ with its NUL, as the plug-in writes it.
  bool Set(const char* name, const std::string& text) {
    HKEY key = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsSubKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS)
      return false;
    LONG status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
  }

  // The value's raw bytes (the NUL included) as a string; nullopt when the key or value is
  // missing or the value is not REG_SZ.
  std::optional<std::string> Raw(const char* name) {
    HKEY key = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsSubKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
      return std::nullopt;
    std::string data(1024, '\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    LONG status =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
    data.resize(size);
    return data;
  }

  // The value names of the settings key, spelled as stored.
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    HKEY key = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsSubKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
      return names;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD size = sizeof name;
      if (RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      names.emplace_back(name, size);
    }
    RegCloseKey(key);
    return names;
  }

  bool KeyExists() {
    HKEY key = 0;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsSubKey, 0, KEY_READ, &key);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
  }

 private:
  std::string dir_;
  std::optional<std::string> previous_;
};

}  // namespace dialogstest
