// sway's view of the windows, read from its IPC socket (SWAYSOCK): which window has the focus,
// each window's rectangle with its decorations (title bar and border), and the output that
// holds the focus; one of the ways of windows.h. Rectangles are in logical pixels of the output
// layout. UI thread only.
#pragma once

#include "platform/base/windef.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wayland/windows.h"

namespace platform::wayland {

// Whether this is a sway session (SWAYSOCK is set).
bool SwaySession();

// Asks sway for its tree; false with *error set when it cannot.
bool ReadSwayTree(WindowTree* tree, std::string* error);

// The tree from get_tree's JSON reply; false when it is not a tree.
bool ParseSwayTree(std::string_view json, WindowTree* tree);

}  // namespace platform::wayland
