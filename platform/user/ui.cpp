// Loads the user-interface module from the folder of the platform library, once.
#include "platform/user/ui.h"

#include <cstdlib>
#include <string>

#include "platform/base/locale.h"
#include "platform/base/modules.h"
#include "platform/base/text.h"
#include "platform/user/ui_module.h"

namespace platform {
namespace {

struct UiModule {
  bool tried = false;
  const UiPlatform* table = nullptr;
  std::string error;
};

UiModule& Module() {
  static UiModule module;
  return module;
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
  auto entry = reinterpret_cast<UiPlatformEntry>(
      ModuleEntry(kUiModuleFile, kUiPlatformEntry, &module.error));
  module.table = entry ? entry() : nullptr;
  if (entry && !module.table) module.error = ModuleBeside(kUiModuleFile) + ": gives no table";
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
  return ModuleEntry(kUiModuleFile, name, &Module().error);
}

std::u16string UiModuleError() {
  return FromAnsi(Module().error);
}

}  // namespace platform
