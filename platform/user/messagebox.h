// The platform's message box: modal, OK only, with a title and an optional icon. With a
// display it shows a real window; without one it writes the title and the text to standard
// error. Threading: the user-interface thread only.
#pragma once

#include <functional>
#include <string_view>

#include "platform/base/windef.h"

constexpr UINT MB_OK = 0x00;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;

// Shows the message and returns IDOK when the user has closed it.
PLATFORM_API int MessageBoxW(HWND owner, std::u16string_view text, std::u16string_view caption,
                             UINT type);

namespace platform {

// For tests: while a hook is set, every message box goes to it instead of the screen or
// standard error. Pass nullptr to remove it.
using MessageBoxHook = std::function<void(std::u16string_view text, std::u16string_view caption)>;
PLATFORM_API void SetMessageBoxHook(MessageBoxHook hook);

}  // namespace platform
