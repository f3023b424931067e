#include "hosting/setup.h"

#include <dlfcn.h>

#include <string_view>

#include "platform/ole/com.h"
#include "platform/registry/registry.h"
#include "product/product.h"

namespace hosting {
namespace {

struct DefaultSetting {
  const char* name;
  std::string value;
};
const DefaultSetting kDefaultSettings[] = {
    {product::kTimeDelayValue.a, std::string(product::kDefaultTimeDelay.narrow())},
    {product::kFileNameValue.a,
     std::string(product::kDefaultFileStem.narrow()) + std::string(product::kJpegSuffix.narrow())}};

}  // namespace

bool CallRegistrationEntry(const std::filesystem::path& module, const char* entry,
                           std::string* why) {
  std::error_code ec;
  if (!std::filesystem::exists(module, ec)) {
    *why = "no module " + module.string();
    return false;
  }
  // Stays loaded, as an installer's own load would until it exits; the registry store keeps
  // what the entry point wrote.
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    *why = "cannot load " + module.string() + ": " + dlerror();
    return false;
  }
  auto function = reinterpret_cast<DllRegisterServerFunction>(dlsym(handle, entry));
  if (!function) {
    *why = module.string() + " has no " + entry;
    return false;
  }
  HRESULT hr = function();
  if (FAILED(hr)) {
    *why = std::string(entry) + " of " + module.string() + " failed: " + platform::StatusText(hr);
    if (const std::string problem = platform::RegistryStoreProblem(); !problem.empty()) {
      *why += "; the registry store cannot be used: " + problem;
    }
    return false;
  }
  return true;
}

bool CreateSettings(std::string* why) {
  HKEY key = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, product::kSettingsSubKey.a, 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    const std::string problem = platform::RegistryStoreProblem();
    *why = std::string("cannot create HKEY_LOCAL_MACHINE\\") + product::kSettingsSubKey.a + " in " +
           (problem.empty() ? platform::RegistryStoreFileName() : problem);
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
      *why = std::string("cannot write the setting ") + setting.name + " in " +
             platform::RegistryStoreFileName();
      ok = false;
    }
  }
  RegCloseKey(key);
  return ok;
}

bool SetUp(const std::filesystem::path& module, std::string* why) {
  return CallRegistrationEntry(module, "DllRegisterServer", why) && CreateSettings(why);
}

std::filesystem::path ModuleBeside(const std::filesystem::path& hostFile,
                                   const std::filesystem::path& installed) {
  namespace fs = std::filesystem;
  fs::path dir = hostFile.parent_path();
  std::error_code ec;
  for (const fs::path& candidate :
       {dir / "PT.so", dir.parent_path() / "plugin" / "PT.so", dir / installed}) {
    if (fs::exists(candidate, ec)) return candidate.lexically_normal();
  }
  return dir / "PT.so";
}

}  // namespace hosting
