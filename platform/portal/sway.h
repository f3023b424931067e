// sway's view of the windows, read from its IPC socket (SWAYSOCK): which window has the focus,
// each window's rectangle with its decorations (title bar and border), and the output that
// holds the focus. Rectangles are in logical pixels of the output layout. Other compositors
// have no such interface, so this is how "/xptactive" finds its window. UI thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/portal/output_layout.h"

namespace platform::portal {

struct SwayWindow {
  std::uint32_t id = 0;  // sway's container id
  Rect frame;            // with title bar and border
  Rect client;           // the window's own content
};

struct SwayTree {
  std::vector<SwayWindow> windows;
  std::uint32_t focused = 0;  // the focused window's id, 0 when the focus is on no window
  std::string output;         // the output that holds the focus
};

// Whether this is a sway session (SWAYSOCK is set).
bool SwaySession();

// Asks sway for its tree; false with *error set when it cannot.
bool ReadSwayTree(SwayTree* tree, std::string* error);

// The tree from get_tree's JSON reply; false when it is not a tree.
bool ParseSwayTree(std::string_view json, SwayTree* tree);

}  // namespace platform::portal
