// The process's locale, set on first use. A program that runs in the user's locale (as
// setlocale(LC_ALL, "") sets it) may have it set when something first reads it instead of at
// start: loading it opens some thirty files of the locale archive, and a capture whose delay is
// a plain count of seconds never reads it. Code that reads the locale calls UseLocale() first;
// where nobody asked (a chat client sets its own locale), UseLocale() does nothing.
// Threading: both run on the thread that owns the locale, before other threads read it.
#pragma once

#include "platform/base/windef.h"

namespace platform {

// The user's locale is to be set by the first UseLocale().
PLATFORM_API void SetUserLocaleOnFirstUse();
// Sets the user's locale now, once, if SetUserLocaleOnFirstUse() asked for it.
PLATFORM_API void UseLocale();

}  // namespace platform
