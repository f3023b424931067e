// The temporary folder, the platform's way: $TMPDIR when it is set and not empty, else "/tmp",
// always ending in the path separator "/". Stateless; reads the environment on every call.
#pragma once

#include "platform/base/windef.h"

// Writes the folder and its NUL into buffer and returns its length without the NUL. When the
// buffer (length characters, here bytes) is too short, writes nothing and returns the length
// needed with the NUL. Returns 0 on failure.
PLATFORM_API DWORD GetTempPathA(DWORD length, char* buffer);
