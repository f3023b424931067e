// The window in front as Xwayland sees it, for the Wayland display: on a Wayland desktop the X
// server holds only the X11 programs' windows, and _NET_ACTIVE_WINDOW on its root names the
// focused one (None while a native Wayland window has the focus). Plain values; the user-interface
// thread only, on the process's display connection.
#pragma once

#include <cstdint>

#include "platform/x11/x11.h"

namespace platform::x11 {

struct XwaylandFrame {
  std::uint32_t window = 0;  // the client window that _NET_ACTIVE_WINDOW names
  Rect frame;                // what the screen shows of it, frame included, in root coordinates
  int root_width = 0;        // the root's size, which spans the desktop's whole layout
  int root_height = 0;
};

// The focused X11 window's frame: its rectangle grown by _NET_FRAME_EXTENTS where the window
// manager draws the frame, else shrunk by _GTK_FRAME_EXTENTS (the shadow of a window that draws
// its own frame), else its rectangle. False when no X11 window has the focus or there is no X
// server.
PLATFORM_API bool ActiveXwaylandFrame(XwaylandFrame* out);

}  // namespace platform::x11
