// The calling thread's last-error code, the platform's way: a call that fails may set it to say
// why, and the caller reads it right after the failure. Per thread; nothing else is kept.
#pragma once

#include "platform/base/windef.h"

// The screen's display server is gone: there is none, or it went away during the call.
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

PLATFORM_API DWORD GetLastError();
PLATFORM_API void SetLastError(DWORD code);
