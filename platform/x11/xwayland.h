// What the X server of a Wayland desktop (Xwayland) knows: it holds only the X11 programs'
// windows, each with pixels of its own, and no picture of the screen; _NET_ACTIVE_WINDOW on its
// root names the focused X11 window (None while a native Wayland window has the focus). The
// Wayland display asks it which X11 window is in front; the X11 display, where X11 is forced
// under Wayland, reads that window's own pixels. Coordinates are the root's. The user-interface
// thread only, on the process's display connection.
#pragma once

#include "platform/base/windef.h"

#include <cstdint>
#include <functional>

namespace platform::x11 {

struct XwaylandFrame {
  std::uint32_t window = 0;    // the client window that _NET_ACTIVE_WINDOW names
  std::uint32_t toplevel = 0;  // the window manager's window around it (or the window itself)
  // What the screen shows of it, frame included.
  int x = 0, y = 0, width = 0, height = 0;
  // The part of that which the X server holds pixels for: inside `toplevel`. Where the window
  // manager draws the title bar into its window (GNOME) that is all of it; where the compositor
  // draws it outside the X server (KWin), the window alone.
  int held_x = 0, held_y = 0, held_width = 0, held_height = 0;
  int root_width = 0, root_height = 0;  // the root spans the desktop's whole layout
};

// The focused X11 window's frame: its rectangle grown by _NET_FRAME_EXTENTS where the window
// manager draws the frame, else shrunk by _GTK_FRAME_EXTENTS (the shadow of a window that draws
// its own frame), else its rectangle. False when no X11 window has the focus or there is no X
// server.
PLATFORM_API bool ActiveXwaylandFrame(XwaylandFrame* out);

// Reads a rectangle of a window's own pixels (root coordinates, inside the window) in the
// screen's ZPixmap format and hands the rows to sink. False when it cannot be read.
bool ReadWindowPixels(
    std::uint32_t window, int x, int y, int width, int height,
    const std::function<void(const std::uint8_t* rows, int stride, int count)>& sink);

}  // namespace platform::x11
