#include "platform/x11/xwayland.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>

#include "platform/x11/x11.h"

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

// The window's rectangle in root coordinates; false when it does not exist.
bool RootRect(Display* d, Window w, int* x, int* y, int* width, int* height) {
  XWindowAttributes a;
  if (!XGetWindowAttributes(d, w, &a)) return false;
  Window child;
  if (!XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, x, y, &child)) return false;
  *width = a.width;
  *height = a.height;
  return true;
}

// The ancestor whose parent is the root, or the window itself.
Window TopLevel(Display* d, Window w) {
  Window root = DefaultRootWindow(d);
  for (int depth = 0; depth < 64; ++depth) {
    Window r, parent, *children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(d, w, &r, &parent, &children, &n)) return w;
    if (children) XFree(children);
    if (parent == root || parent == None) return w;
    w = parent;
  }
  return w;
}

// Extents (left, right, top, bottom) that no screen exceeds.
bool Plausible(const long e[4]) {
  for (int i = 0; i < 4; ++i)
    if (e[i] < 0 || e[i] > 4096) return false;
  return true;
}

}  // namespace

bool ActiveXwaylandFrame(XwaylandFrame* out) {
  Display* d = X11Display();
  if (!d) return false;
  long active = 0;
  if (ReadCardinals(d, DefaultRootWindow(d), "_NET_ACTIVE_WINDOW", XA_WINDOW, &active, 1) != 1 ||
      active == 0)
    return false;
  Window window = static_cast<Window>(active);
  int x, y, width, height;
  if (!RootRect(d, window, &x, &y, &width, &height)) return false;
  long e[4] = {0, 0, 0, 0};
  if (ReadCardinals(d, window, "_NET_FRAME_EXTENTS", XA_CARDINAL, e, 4) == 4 && Plausible(e)) {
    x -= static_cast<int>(e[0]);
    y -= static_cast<int>(e[2]);
    width += static_cast<int>(e[0] + e[1]);
    height += static_cast<int>(e[2] + e[3]);
  } else if (ReadCardinals(d, window, "_GTK_FRAME_EXTENTS", XA_CARDINAL, e, 4) == 4 &&
             Plausible(e) && e[0] + e[1] < width && e[2] + e[3] < height) {
    x += static_cast<int>(e[0]);
    y += static_cast<int>(e[2]);
    width -= static_cast<int>(e[0] + e[1]);
    height -= static_cast<int>(e[2] + e[3]);
  }
  Window toplevel = TopLevel(d, window);
  int tx, ty, tw, th;
  if (!RootRect(d, toplevel, &tx, &ty, &tw, &th)) return false;
  int left = std::max(x, tx), top = std::max(y, ty);
  int right = std::min(x + width, tx + tw), bottom = std::min(y + height, ty + th);
  *out = {};
  out->window = static_cast<std::uint32_t>(window);
  out->toplevel = static_cast<std::uint32_t>(toplevel);
  out->x = x;
  out->y = y;
  out->width = width;
  out->height = height;
  out->held_x = left;
  out->held_y = top;
  out->held_width = std::max(0, right - left);
  out->held_height = std::max(0, bottom - top);
  out->root_width = DisplayWidth(d, DefaultScreen(d));
  out->root_height = DisplayHeight(d, DefaultScreen(d));
  return true;
}

bool ReadWindowPixels(
    std::uint32_t window, int x, int y, int width, int height,
    const std::function<void(const std::uint8_t* rows, int stride, int count)>& sink) {
  Display* d = X11Display();
  if (!d || width <= 0 || height <= 0) return false;
  int wx, wy, ww, wh;
  if (!RootRect(d, window, &wx, &wy, &ww, &wh)) return false;
  if (x < wx || y < wy || x + width > wx + ww || y + height > wy + wh) return false;
  // Requests with a reply fail by their status; the connection's handler keeps the process.
  XImage* image = XGetImage(d, window, x - wx, y - wy, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image) return false;
  sink(reinterpret_cast<const std::uint8_t*>(image->data), image->bytes_per_line, height);
  XDestroyImage(image);
  return true;
}

}  // namespace platform::x11
