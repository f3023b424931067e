#include "platform/messagebox.h"

#include <cstdio>
#include <mutex>

#include "platform/text.h"

namespace {

std::mutex hookMutex;
platform::MessageBoxHook& Hook() {
  static platform::MessageBoxHook hook;
  return hook;
}

}  // namespace

int MessageBoxW(HWND, std::u16string_view text, std::u16string_view caption, UINT) {
  platform::MessageBoxHook hook;
  {
    std::lock_guard lock(hookMutex);
    hook = Hook();
  }
  if (hook) {
    hook(text, caption);
    return IDOK;
  }
  std::fprintf(stderr, "[%s] %s\n", platform::ToAnsi(caption).c_str(),
               platform::ToAnsi(text).c_str());
  return IDOK;
}

namespace platform {

void SetMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard lock(hookMutex);
  Hook() = std::move(hook);
}

}  // namespace platform
