// The user-interface runtime's window services: the user-interface module (FLTK and what is
// built on it) is loaded on first use, and its display opened. User-interface thread only.
#pragma once

#include <string>

#include "platform/base/windef.h"

namespace platform {

// Loads the user-interface module unless it is loaded, and opens the display connection that
// its windows use (the one named by DISPLAY) unless it is open. False when there is no display
// to show a window on (DISPLAY unset, the server unreachable) or the module cannot be loaded;
// nothing is shown then. Without DISPLAY the module is not even loaded. A server that goes away
// never ends the process: its connection is given up, and the next call opens one to the
// server that DISPLAY names by then.
PLATFORM_API bool OpenUiDisplay();

// The address of an entry point of the user-interface module, which is loaded on first use;
// nullptr when the module cannot be loaded or has no such entry.
PLATFORM_API void* UiModuleEntry(const char* name);

// Why the module or the last entry asked for could not be had ("" when nothing failed).
PLATFORM_API std::u16string UiModuleError();

}  // namespace platform
