// Xwayland's focused window, one of the ways of windows.h: on every Wayland desktop the X
// server names the focused X11 window (_NET_ACTIVE_WINDOW), and where the window manager draws
// its frame, how wide that is (platform/x11/xwayland.h). Rectangles are in the X root's pixels
// (tree->span), which span the layout. UI thread only.
#pragma once

#include <string>

#include "platform/wayland/windows.h"

namespace platform::wayland {

// Whether an X11 window has the focus.
bool XwaylandFocus();

// That window as the one window of the tree; false with *error set when it is gone.
bool ReadXwaylandTree(WindowTree* tree, std::string* error);

}  // namespace platform::wayland
