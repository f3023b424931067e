// The debug channel: where the platform layer says that it fell back (no shared memory, a strip
// read turned into a plain read, a display lost). PICTOSS_DEBUG names the subsystems to hear
// from, separated by commas ("x11,wayland"), or "all"; they write one line each to standard
// error, prefixed "pictoss:<subsystem>: ". Silent otherwise. Any thread.
#pragma once

#include <string_view>

#include "platform/base/windef.h"

namespace platform {

// Whether PICTOSS_DEBUG names the channel now.
PLATFORM_API bool DebugOn(std::string_view channel);

// Writes the line when PICTOSS_DEBUG names the channel.
PLATFORM_API void DebugLine(std::string_view channel, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace platform
