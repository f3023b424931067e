// The clipboard, the platform's way: one opener at a time; EmptyClipboard frees what was on it;
// a bitmap handed over with SetClipboardData belongs to the clipboard from then on, and other
// programs get it through the X CLIPBOARD selection. Threading: the user-interface thread only.
#pragma once

#include "platform/base/windef.h"

constexpr UINT CF_BITMAP = 2;

PLATFORM_API BOOL OpenClipboard(HWND owner);
PLATFORM_API BOOL EmptyClipboard();
PLATFORM_API HANDLE32 SetClipboardData(UINT format, HANDLE32 data);
PLATFORM_API BOOL CloseClipboard();
