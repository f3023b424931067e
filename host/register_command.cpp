// pictoss register / unregister / setup: the module's self-registration, run the way an
// installer runs it (load the module, call its entry point), and the settings key that an
// installer creates.
#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host/command.h"
#include "host/plugin_host.h"
#include "platform/ole/com.h"
#include "platform/registry/registry.h"
#include "product/product.h"

namespace host {
namespace {

constexpr const char* kSettingsKey = product::kSettingsSubKey.a;
struct DefaultSetting {
  const char* name;
  std::string value;
};
const DefaultSetting kDefaultSettings[] = {
    {product::kTimeDelayValue.a, product::kDefaultTimeDelay.a},
    {product::kFileNameValue.a,
     std::string(product::kDefaultFileStem.narrow()) + std::string(product::kJpegSuffix.narrow())}};

// Loads the module and calls one of its registration entry points. Prints what happened.
int CallRegistrationEntry(const std::vector<std::string>& args, const char* entry,
                          const char* done) {
  if (args.size() > 1) {
    std::fprintf(stderr, "usage: pictoss %s [MODULE]\n", done);
    return 2;
  }
  std::error_code ec;
  std::string named = args.empty() ? DefaultModulePath() : args[0];
  std::filesystem::path path = std::filesystem::absolute(named, ec);
  if (ec || !std::filesystem::exists(path, ec)) {
    std::fprintf(stderr, "pictoss: no module %s\n", named.c_str());
    return 1;
  }
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "pictoss: cannot load %s: %s\n", path.c_str(), dlerror());
    return 1;
  }
  auto function = reinterpret_cast<DllRegisterServerFunction>(dlsym(module, entry));
  if (!function) {
    std::fprintf(stderr, "pictoss: %s has no %s\n", path.c_str(), entry);
    return 1;
  }
  HRESULT hr = function();
  if (FAILED(hr)) {
    std::fprintf(stderr, "pictoss: %s failed: %s\n", entry, platform::StatusText(hr).c_str());
    return 1;
  }
  std::printf("%s %s\n", done, path.c_str());
  return 0;
}

int Register(const std::vector<std::string>& args) {
  return CallRegistrationEntry(args, "DllRegisterServer", "registered");
}

int Unregister(const std::vector<std::string>& args) {
  return CallRegistrationEntry(args, "DllUnregisterServer", "unregistered");
}

// Creates the settings key and the values that are missing; never overwrites one.
bool CreateSettings() {
  HKEY key = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    std::fprintf(stderr, "pictoss: cannot create HKEY_LOCAL_MACHINE\\%s in %s\n", kSettingsKey,
                 platform::RegistryStoreFileName().c_str());
    return false;
  }
  bool ok = true;
  for (const auto& setting : kDefaultSettings) {
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, setting.name, nullptr, nullptr, nullptr, &size);
    if (status == ERROR_SUCCESS) continue;
    const auto* data = reinterpret_cast<const BYTE*>(setting.value.c_str());
    DWORD length = static_cast<DWORD>(setting.value.size() + 1);
    if (status != ERROR_FILE_NOT_FOUND ||
        RegSetValueExA(key, setting.name, 0, REG_SZ, data, length) != ERROR_SUCCESS) {
      std::fprintf(stderr, "pictoss: cannot write the setting %s\n", setting.name);
      ok = false;
    }
  }
  RegCloseKey(key);
  return ok;
}

int Setup(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: pictoss setup\n");
    return 2;
  }
  int status = Register({});
  if (status != 0) return status;
  if (!CreateSettings()) return 1;
  std::printf("settings HKEY_LOCAL_MACHINE\\%s\n", kSettingsKey);
  return 0;
}

const HostCommand registerCommand("register", "register [MODULE]", Register);
const HostCommand unregisterCommand("unregister", "unregister [MODULE]", Unregister);
const HostCommand setupCommand("setup", "setup", Setup);

}  // namespace
}  // namespace host
