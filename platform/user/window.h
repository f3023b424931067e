// The windowing calls: window handles are X window ids, the desktop window is the root window,
// and screen coordinates start at the top-left corner of the primary monitor. A window that does
// not exist makes a call fail the platform's way. Threading: the user-interface thread only.
#pragma once

#include "platform/base/windef.h"
#include "platform/gdi/gdi.h"

PLATFORM_API HWND GetDesktopWindow();
PLATFORM_API HWND GetForegroundWindow();
PLATFORM_API BOOL GetWindowRect(HWND hwnd, RECT* rect);
