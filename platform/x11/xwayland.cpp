#include "platform/x11/xwayland.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace platform::x11 {
namespace {

// A property of 32-bit items, read into `out` (at most `count`); how many came.
int ReadCardinals(Display* d, Window w, const char* name, Atom type, long* out, int count) {
  Atom property = XInternAtom(d, name, True);
  if (property == None) return 0;
  Atom actual;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  int got = 0;
  if (XGetWindowProperty(d, w, property, 0, count, False, type, &actual, &format, &items, &after,
                         &data) == Success &&
      data) {
    if (format == 32) {
      // Xlib hands 32-bit items as longs.
      const long* values = reinterpret_cast<const long*>(data);
      for (; got < count && static_cast<unsigned long>(got) < items; ++got) out[got] = values[got];
    }
    XFree(data);
  }
  return got;
}

// The four extents (left, right, top, bottom) applied to a window's rectangle: grown for a frame
// drawn around it, shrunk for a shadow drawn inside it.
Rect WithExtents(const Rect& window, const long extents[4], bool grow) {
  int sign = grow ? 1 : -1;
  int left = sign * static_cast<int>(extents[0]), right = sign * static_cast<int>(extents[1]);
  int top = sign * static_cast<int>(extents[2]), bottom = sign * static_cast<int>(extents[3]);
  return {window.x - left, window.y - top, window.width + left + right,
          window.height + top + bottom};
}

}  // namespace

bool ActiveXwaylandFrame(XwaylandFrame* out) {
  Display* d = X11Display();
  if (!d) return false;
  Window root = DefaultRootWindow(d);
  long active = 0;
  if (ReadCardinals(d, root, "_NET_ACTIVE_WINDOW", XA_WINDOW, &active, 1) != 1 || active == 0)
    return false;
  Window window = static_cast<Window>(active);
  Rect rect;
  if (!WindowRect(static_cast<std::uint32_t>(window), true, &rect)) return false;
  long extents[4] = {0, 0, 0, 0};
  // Sizes beyond any screen are no extents.
  auto plausible = [&](const long e[4]) {
    for (int i = 0; i < 4; ++i)
      if (e[i] < 0 || e[i] > 4096) return false;
    return true;
  };
  if (ReadCardinals(d, window, "_NET_FRAME_EXTENTS", XA_CARDINAL, extents, 4) == 4 &&
      plausible(extents))
    rect = WithExtents(rect, extents, true);
  else if (ReadCardinals(d, window, "_GTK_FRAME_EXTENTS", XA_CARDINAL, extents, 4) == 4 &&
           plausible(extents) && extents[0] + extents[1] < rect.width &&
           extents[2] + extents[3] < rect.height)
    rect = WithExtents(rect, extents, false);
  out->window = static_cast<std::uint32_t>(window);
  out->frame = rect;
  out->root_width = DisplayWidth(d, DefaultScreen(d));
  out->root_height = DisplayHeight(d, DefaultScreen(d));
  return true;
}

}  // namespace platform::x11
