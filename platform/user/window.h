// The windowing calls: window handles are X window ids, the desktop window is the root window,
// and screen coordinates start at the top-left corner of the primary monitor. A window that does
// not exist makes a call fail the platform's way. Threading: the user-interface thread only.
#pragma once

#include "platform/base/windef.h"
#include "platform/gdi/gdi.h"

PLATFORM_API HWND GetDesktopWindow();
PLATFORM_API HWND GetForegroundWindow();
PLATFORM_API BOOL GetWindowRect(HWND hwnd, RECT* rect);

// GetSystemMetrics indexes: the primary screen's width and height in pixels.
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;
// The metric in pixels; 0 for an unknown index or when there is no display.
PLATFORM_API int GetSystemMetrics(int index);
