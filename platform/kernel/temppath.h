// The temporary folder, per user: $TMPDIR when it is set and not empty, else $XDG_RUNTIME_DIR
// when that is set and not empty, else /tmp/pictoss-<uid>, created with mode 0700 and checked on
// every call (a folder, not a symbolic link, owned by the user, mode 0700) so that other users
// can neither read the pictures in it nor plant files there. Always ends in the path separator
// "/". Reads the environment on every call; the failure text is kept per thread.
#pragma once

#include <string>

#include "platform/base/windef.h"

// Writes the folder and its NUL into buffer and returns its length without the NUL. When the
// buffer (length characters, here bytes) is too short, writes nothing and returns the length
// needed with the NUL. Returns 0 when there is no folder that is safe to use; TempPathFault()
// then says why.
PLATFORM_API DWORD GetTempPathA(DWORD length, char* buffer);

namespace platform {

// Why the last GetTempPathA on this thread returned 0, naming the folder ("The temporary folder
// /tmp/pictoss-1000 cannot be used: it belongs to another user (uid 0)"); empty after a success.
PLATFORM_API std::string TempPathFault();

// For tests: the folder in which the private folder pictoss-<uid> is made ("/tmp" when empty).
PLATFORM_API void SetPrivateTempParent(std::string parent);

}  // namespace platform
