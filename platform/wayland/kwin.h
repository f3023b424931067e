// KWin's active window, one of the ways of windows.h: KWin (KDE Plasma) runs a script of ours
// that reports the active window's frame back over the session bus, title bar included, in
// logical pixels of the output layout. Needs no authorisation. UI thread only.
#pragma once

#include <string>
#include <string_view>

#include "platform/wayland/windows.h"

namespace platform::wayland {

// The id that the active window found this way has: KWin's script tells no id of its own.
inline constexpr std::uint32_t kKWinActiveWindow = 2;

// Whether KWin runs the session (it owns org.kde.KWin on the session bus).
bool KWinSession();

// The active window as the one window of the tree (none when nothing has the focus); false with
// *error set when KWin cannot tell.
bool ReadKWinTree(WindowTree* tree, std::string* error);

// The rectangle in "X Y WIDTH HEIGHT" (numbers that may have fractions), rounded outwards to
// whole pixels; false for anything else.
bool ParseFrame(std::string_view text, Rect* frame);

}  // namespace platform::wayland
