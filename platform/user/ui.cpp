// Loads the user-interface module from the folder of the platform library, once.
#include "platform/user/ui.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "platform/base/locale.h"
#include "platform/base/text.h"
#include "platform/user/ui_module.h"

namespace platform {
namespace {

struct UiModule {
  bool tried = false;
  void* handle = nullptr;
  const UiPlatform* table = nullptr;
  std::string error;
};

UiModule& Module() {
  static UiModule module;
  return module;
}

// The module's path: the folder that this library was loaded from, and the module's file.
std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || !info.dli_fname)
    return kUiModuleFile;
  std::string library = info.dli_fname;
  const auto slash = library.rfind('/');
  return slash == std::string::npos ? std::string(kUiModuleFile)
                                    : library.substr(0, slash + 1) + kUiModuleFile;
}

bool HasDisplayName() {
  const char* name = std::getenv("DISPLAY");
  return name && *name;
}

}  // namespace

const UiPlatform* LoadedUi() {
  return Module().table;
}

const UiPlatform* LoadUi() {
  UiModule& module = Module();
  if (module.tried) return module.table;
  module.tried = true;
  UseLocale();  // the windows show and take text in the user's locale
  const std::string path = ModulePath();
  // Kept loaded for the life of the process: FLTK keeps its display and its fonts.
  module.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!module.handle) {
    const char* why = dlerror();
    module.error = why ? why : path + ": cannot be loaded";
    return nullptr;
  }
  auto entry = reinterpret_cast<UiPlatformEntry>(dlsym(module.handle, kUiPlatformEntry));
  module.table = entry ? entry() : nullptr;
  if (!module.table) module.error = path + ": has no entry " + kUiPlatformEntry;
  return module.table;
}

bool OpenUiDisplay() {
  if (const UiPlatform* ui = LoadedUi()) return ui->openDisplay();
  if (!HasDisplayName()) return false;
  const UiPlatform* ui = LoadUi();
  return ui && ui->openDisplay();
}

void* UiModuleEntry(const char* name) {
  if (!LoadUi()) return nullptr;
  void* entry = dlsym(Module().handle, name);
  if (!entry) Module().error = ModulePath() + ": has no entry " + name;
  return entry;
}

std::u16string UiModuleError() {
  return FromAnsi(Module().error);
}

}  // namespace platform
