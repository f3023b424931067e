#include "platform/wayland/xwayland_focus.h"

#include "platform/x11/xwayland.h"

namespace platform::wayland {

bool XwaylandFocus() {
  x11::XwaylandFrame frame;
  return x11::ActiveXwaylandFrame(&frame);
}

bool ReadXwaylandTree(WindowTree* tree, std::string* error) {
  x11::XwaylandFrame f;
  if (!x11::ActiveXwaylandFrame(&f) || f.root_width <= 0 || f.root_height <= 0) {
    *error = "the focused X11 window went away";
    return false;
  }
  *tree = {};
  DesktopWindow w;
  // X window ids lie far above the desktop window's handle.
  w.id = f.window;
  w.frame = {f.x, f.y, f.width, f.height};
  w.client = w.frame;
  tree->windows.push_back(w);
  tree->focused = w.id;
  tree->span_width = f.root_width;
  tree->span_height = f.root_height;
  return true;
}

}  // namespace platform::wayland
