// For tests: a private registry store. PICTOSS_PREFIX points at prefix(), a folder that does
// not exist until the store is first written, inside a fresh folder root() of the test's own;
// both go (and the variable is restored) at the end. With helpers to create the settings key and
// to look at its raw values. One test thread at a time; the environment variable is
// process-wide.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/registry/registry.h"
#include "product/product.h"

namespace testsupport {

inline constexpr const char* kSettingsSubKey = product::kSettingsSubKey.a;

class PrivateStore {
 public:
  // Who can reach root() once its own mode lets them: the test's user only (it is made in the
  // temporary folder, which may be private to that user, as XDG_RUNTIME_DIR is), or any user
  // (it is made in /tmp), for a test that runs a part of itself as another user.
  enum class Reach { kOwner, kAnyUser };

  explicit PrivateStore(Reach reach = Reach::kOwner) {
    const std::filesystem::path parent =
        reach == Reach::kAnyUser ? "/tmp" : std::filesystem::temp_directory_path();
    std::string pattern = (parent / "pictoss-store-XXXXXX").string();
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "cannot make a folder for a private store";
    root_ = pattern;
    prefix_ = root_ + "/machine";
    if (const char* old = getenv("PICTOSS_PREFIX")) previous_ = old;
    setenv("PICTOSS_PREFIX", prefix_.c_str(), 1);
  }
  ~PrivateStore() {
    if (previous_) {
      setenv("PICTOSS_PREFIX", previous_->c_str(), 1);
    } else {
      unsetenv("PICTOSS_PREFIX");
    }
    // A test may have taken the write permission away.
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::permissions(prefix_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }
  PrivateStore(const PrivateStore&) = delete;
  PrivateStore& operator=(const PrivateStore&) = delete;

  // The test's own folder, and the machine folder in it that holds the store.
  const std::string& root() const { return root_; }
  const std::string& prefix() const { return prefix_; }
  std::string StoreFile() const { return prefix_ + "/registry.db"; }

  // Nothing has been stored yet.
  bool Empty() const {
    std::error_code ignored;
    return !std::filesystem::exists(prefix_) || std::filesystem::is_empty(prefix_, ignored);
  }

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
  std::string root_, prefix_;
  std::optional<std::string> previous_;
};

}  // namespace testsupport
