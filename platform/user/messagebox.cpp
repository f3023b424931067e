#include "platform/user/messagebox.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/base/text.h"
#include "platform/user/ui.h"
#include "platform/user/ui_module.h"

namespace {

std::mutex hookMutex;
platform::MessageBoxHook& Hook() {
  static platform::MessageBoxHook hook;
  return hook;
}

}  // namespace

int MessageBoxW(HWND, std::u16string_view text, std::u16string_view caption, UINT type) {
  platform::MessageBoxHook hook;
  {
    std::lock_guard lock(hookMutex);
    hook = Hook();
  }
  if (hook) {
    hook(text, caption);
    return IDOK;
  }
  if (platform::OpenUiDisplay()) {
    platform::LoadedUi()->messageBox(platform::ToAnsi(text).c_str(),
                                     platform::ToAnsi(caption).c_str(), type);
    return IDOK;
  }
  std::fprintf(stderr, "[%s] %s\n", platform::ToAnsi(caption).c_str(),
               platform::ToAnsi(text).c_str());
  const std::u16string noWindow = platform::UiModuleError();
  if (!noWindow.empty())
    std::fprintf(stderr, "(no window: %s)\n", platform::ToAnsi(noWindow).c_str());
  return IDOK;
}

namespace platform {

void SetMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard lock(hookMutex);
  Hook() = std::move(hook);
}

}  // namespace platform
