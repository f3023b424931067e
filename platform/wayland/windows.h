// The windows of a Wayland desktop: which one has the focus and where each lies. The Wayland
// protocol lets no client ask, so each desktop that tells is one way of its own, in a file of
// its own (sway.cpp, xwayland_focus.cpp, kwin.cpp, gnome_shell.cpp), listed in windows.cpp; the
// first way that applies to the session is the one used. Rectangles are in logical pixels of the
// output layout, or in a space of the way's own that spans the layout. UI thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wayland/output_layout.h"

namespace platform::wayland {

struct DesktopWindow {
  std::uint32_t id = 0;  // the desktop's own id; above kDesktopWindow
  Rect frame;            // with title bar and border
  Rect client;           // the window's own content
};

struct WindowTree {
  std::vector<DesktopWindow> windows;
  std::uint32_t focused = 0;  // the focused window's id, 0 when the focus is on no window
  std::string output;         // the output that holds the focus
  // Where not 0: the rectangles are in a space of this size that spans the layout's bounding box
  // (Xwayland's root, GNOME Shell's stage), not in logical pixels.
  int span_width = 0, span_height = 0;
};

// One way of finding the windows.
struct WindowFinder {
  const char* desktop;  // "sway", "Xwayland", "KWin", "GNOME Shell"
  // Whether this way applies to the session now.
  bool (*here)();
  // The desktop's windows now; false with *error set when it cannot tell.
  bool (*read)(WindowTree* tree, std::string* error);
};

// The ways known, in the order they are tried.
const std::vector<WindowFinder>& WindowFinders();

// The way of the desktop that runs this session, or nullptr where none tells its windows.
const WindowFinder* SessionWindowFinder();

}  // namespace platform::wayland
