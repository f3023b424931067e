#include "platform/x11/xwayland.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstring>

#include "platform/x11/connection.h"
#include "platform/x11/x11.h"

namespace platform::x11 {
namespace {

// A property of 32-bit items, read into `out` (at most `count`); how many came.
int ReadCardinals(Connection& c, xcb_window_t w, const char* name, xcb_atom_t type, long* out,
                  int count) {
  auto atom = Await(xcb_intern_atom_reply, c.xcb,
                    xcb_intern_atom(c.xcb, 1, static_cast<std::uint16_t>(std::strlen(name)), name));
  if (!atom || atom->atom == XCB_ATOM_NONE) return 0;
  auto property =
      Await(xcb_get_property_reply, c.xcb,
            xcb_get_property(c.xcb, 0, w, atom->atom, type, 0, static_cast<std::uint32_t>(count)));
  if (!property || property->format != 32) return 0;
  const int items = xcb_get_property_value_length(property.get()) / 4;
  // Extents are CARDINALs; a window id fits as well.
  const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(property.get()));
  int got = 0;
  for (; got < count && got < items; ++got) out[got] = static_cast<std::int32_t>(values[got]);
  return got;
}

// The window's rectangle in root coordinates; false when it does not exist.
bool RootRect(Connection& c, xcb_window_t w, int* x, int* y, int* width, int* height) {
  const auto geometry_cookie = xcb_get_geometry(c.xcb, w);
  const auto place_cookie = xcb_translate_coordinates(c.xcb, w, c.format.root, 0, 0);
  auto geometry = Await(xcb_get_geometry_reply, c.xcb, geometry_cookie);
  auto place = Await(xcb_translate_coordinates_reply, c.xcb, place_cookie);
  if (!geometry || !place) return false;
  *x = place->dst_x;
  *y = place->dst_y;
  *width = geometry->width;
  *height = geometry->height;
  return true;
}

// The ancestor whose parent is the root, or the window itself.
xcb_window_t TopLevel(Connection& c, xcb_window_t w) {
  for (int depth = 0; depth < 64; ++depth) {
    auto tree = Await(xcb_query_tree_reply, c.xcb, xcb_query_tree(c.xcb, w));
    if (!tree) return w;
    if (tree->parent == c.format.root || tree->parent == XCB_WINDOW_NONE) return w;
    w = tree->parent;
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
  const SigpipeBlocked quiet;
  Connection* c = Current();
  if (!c) return false;
  long active = 0;
  if (ReadCardinals(*c, c->format.root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, &active, 1) != 1 ||
      active == 0)
    return false;
  const auto window = static_cast<xcb_window_t>(static_cast<std::uint32_t>(active));
  int x, y, width, height;
  if (!RootRect(*c, window, &x, &y, &width, &height)) return false;
  long e[4] = {0, 0, 0, 0};
  if (ReadCardinals(*c, window, "_NET_FRAME_EXTENTS", XCB_ATOM_CARDINAL, e, 4) == 4 &&
      Plausible(e)) {
    x -= static_cast<int>(e[0]);
    y -= static_cast<int>(e[2]);
    width += static_cast<int>(e[0] + e[1]);
    height += static_cast<int>(e[2] + e[3]);
  } else if (ReadCardinals(*c, window, "_GTK_FRAME_EXTENTS", XCB_ATOM_CARDINAL, e, 4) == 4 &&
             Plausible(e) && e[0] + e[1] < width && e[2] + e[3] < height) {
    x += static_cast<int>(e[0]);
    y += static_cast<int>(e[2]);
    width -= static_cast<int>(e[0] + e[1]);
    height -= static_cast<int>(e[2] + e[3]);
  }
  const xcb_window_t toplevel = TopLevel(*c, window);
  int tx, ty, tw, th;
  if (!RootRect(*c, toplevel, &tx, &ty, &tw, &th)) return false;
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
  out->root_width = c->width;
  out->root_height = c->height;
  return true;
}

bool ReadWindowPixels(
    std::uint32_t window, int x, int y, int width, int height,
    const std::function<void(const std::uint8_t* rows, int stride, int count)>& sink) {
  Connection* c = Current();
  if (!c || width <= 0 || height <= 0) return false;
  int wx, wy, ww, wh;
  if (!RootRect(*c, window, &wx, &wy, &ww, &wh)) return false;
  if (x < wx || y < wy || x + width > wx + ww || y + height > wy + wh) return false;
  auto image = Await(
      xcb_get_image_reply, c->xcb,
      xcb_get_image(c->xcb, XCB_IMAGE_FORMAT_Z_PIXMAP, window, static_cast<std::int16_t>(x - wx),
                    static_cast<std::int16_t>(y - wy), static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(height), ~0u));
  const int stride = LineBytes(*c, width);
  if (!image || image->depth != c->depth ||
      xcb_get_image_data_length(image.get()) < static_cast<std::int64_t>(stride) * height) {
    if (!image) NoteIfLost(*c);
    return false;
  }
  sink(xcb_get_image_data(image.get()), stride, height);
  return true;
}

}  // namespace platform::x11
