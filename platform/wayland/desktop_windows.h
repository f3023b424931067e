// The window in front on desktops that tell it only in their own ways: KWin runs a script of
// ours that reports the active window's frame back over the session bus; GNOME Shell answers
// through the Pictoss extension (gnome-shell-extension/) when it is enabled. Both give the frame
// as the screen shows it, title bar included. The user-interface thread only.
#pragma once

#include <string>
#include <string_view>

#include "platform/wayland/output_layout.h"

namespace platform::wayland {

enum class Lookup {
  kFound,
  kNoWindow,     // the desktop answered: no window has the focus
  kNotHere,      // this desktop is not running
  kUnavailable,  // it is, but cannot tell (*why says what is missing)
};

// KWin's active window, in the logical pixels of the output layout.
Lookup KWinActiveFrame(Rect* frame, std::string* why);

// GNOME Shell's focused window through the extension, in stage pixels; *stage_width and
// *stage_height give the stage's size, which spans the layout.
Lookup GnomeShellFocusedFrame(Rect* frame, int* stage_width, int* stage_height, std::string* why);

// The extension's UUID, which names its folder.
inline constexpr const char* kGnomeShellExtension = "pictoss@brindlemoor";

// The rectangle in "X Y WIDTH HEIGHT" (numbers that may have fractions), rounded outwards to
// whole pixels; false for anything else.
bool ParseFrame(std::string_view text, Rect* frame);

}  // namespace platform::wayland
