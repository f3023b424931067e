// The screen as the X server describes it: the primary monitor, the colormap, windows and their
// rectangles, the active window, and the resource database's Xft.dpi. The monitor layout and
// the dpi are cached for a short while.
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/x11/connection.h"
#include "platform/x11/x11_for_tests.h"

namespace platform::x11 {
namespace {

constexpr auto kScreenCacheTime = std::chrono::milliseconds(500);

// Through XCB's RandR, which needs no library beyond XCB's own (Xlib's brings XRender and
// Xext along). Monitors came with RandR 1.5: an older server has the whole screen as its one,
// and so has a server whose monitors are all off.
Rect PrimaryMonitor(Connection& c) {
  Rect whole{0, 0, c.width, c.height};
  xcb_connection_t* xcb = c.xcb;
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(xcb, &xcb_randr_id);
  if (!randr || !randr->present) return whole;
  // All asked at once, one round trip; an older server refuses the monitors with an error. Only
  // RandR changes the screen's size, and the connection's setup keeps the size it began with:
  // the root window says the size now.
  const auto version_cookie = xcb_randr_query_version(xcb, 1, 5);
  const auto monitors_cookie =
      xcb_randr_get_monitors(xcb, static_cast<xcb_window_t>(c.format.root), 1);
  const auto root_cookie = xcb_get_geometry(xcb, static_cast<xcb_drawable_t>(c.format.root));
  xcb_generic_error_t* error = nullptr;
  XcbReply<xcb_get_geometry_reply_t> root;
  XcbReply<xcb_randr_query_version_reply_t> version;
  XcbReply<xcb_randr_get_monitors_reply_t> monitors;
  {
    // The older server's refusal is expected: not recorded as an error of ours.
    const std::lock_guard turn(ReplyTurn());
    root.reset(xcb_get_geometry_reply(xcb, root_cookie, &error));
    std::free(error);
    error = nullptr;
    version.reset(xcb_randr_query_version_reply(xcb, version_cookie, &error));
    std::free(error);
    error = nullptr;
    monitors.reset(xcb_randr_get_monitors_reply(xcb, monitors_cookie, &error));
    std::free(error);
  }
  if (root) whole.width = root->width, whole.height = root->height;
  const bool has_monitors =
      version &&
      (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 5));
  if (!has_monitors || !monitors) return whole;
  Rect r = whole;
  int i = 0;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
       xcb_randr_monitor_info_next(&it), ++i) {
    if (it.data->primary || i == 0) {  // the primary, else the first
      r = {it.data->x, it.data->y, it.data->width, it.data->height};
      if (it.data->primary) break;
    }
  }
  return r;
}

double ParseXftDpi(std::string_view resources) {
  constexpr std::string_view kKey = "Xft.dpi:";
  std::size_t at = 0;
  while ((at = resources.find(kKey, at)) != std::string_view::npos) {
    if (at == 0 || resources[at - 1] == '\n') {
      std::size_t p = at + kKey.size();
      while (p < resources.size() && (resources[p] == ' ' || resources[p] == '\t')) ++p;
      double dpi = 0;
      auto [end, ec] =
          std::from_chars(resources.data() + p, resources.data() + resources.size(), dpi);
      return ec == std::errc() && dpi > 0 && std::isfinite(dpi) ? dpi : 0;
    }
    at += kKey.size();
  }
  return 0;
}

xcb_get_property_cookie_t AskResources(Connection& c) {
  return xcb_get_property(c.xcb, 0, c.format.root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 0,
                          1 << 20);
}

double ReadXftDpi(Connection& c, xcb_get_property_cookie_t asked) {
  auto property = Await(xcb_get_property_reply, c.xcb, asked);
  if (!property) {
    NoteIfLost(c);
    return 0;
  }
  if (property->format != 8) return 0;
  return ParseXftDpi({static_cast<const char*>(xcb_get_property_value(property.get())),
                      static_cast<std::size_t>(xcb_get_property_value_length(property.get()))});
}

// The resources are asked for before the monitors, so that both come in one round trip.
void RefreshCache(Connection& c) {
  auto now = std::chrono::steady_clock::now();
  if (c.cache_valid && now - c.cached_at < kScreenCacheTime) return;
  const xcb_get_property_cookie_t resources = AskResources(c);
  c.primary = PrimaryMonitor(c);
  c.dpi = ReadXftDpi(c, resources);
  c.cached_at = now;
  c.cache_valid = true;
}

}  // namespace

ScreenInfo Screen() {
  Connection* c = Current();
  if (!c) return {};
  RefreshCache(*c);
  ScreenInfo s = c->format;
  s.primary = c->primary;
  return s;
}

void ForgetScreenCache() {
  if (Connection* c = Existing()) c->cache_valid = false;
}

double XftDpi() {
  Connection* c = Current();
  if (!c) return 0;
  RefreshCache(*c);
  return c->dpi;
}

int ReadColormap(int start, int count, std::uint8_t* rgb) {
  Connection* c = Current();
  if (!c || !c->format.palette || start < 0 || count <= 0) return 0;
  count = std::min(count, c->format.colormap_size - start);
  if (count <= 0) return 0;
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) pixels[i] = static_cast<std::uint32_t>(start + i);
  // The reply carries this request's own error: one left over from an earlier request cannot be
  // taken for it.
  auto colors = Await(
      xcb_query_colors_reply, c->xcb,
      xcb_query_colors(c->xcb, c->colormap, static_cast<std::uint32_t>(count), pixels.data()));
  if (!colors) {
    NoteIfLost(*c);
    return 0;
  }
  if (xcb_query_colors_colors_length(colors.get()) != count) return 0;
  const xcb_rgb_t* got = xcb_query_colors_colors(colors.get());
  for (int i = 0; i < count; ++i) {
    rgb[3 * i] = static_cast<std::uint8_t>(got[i].red >> 8);
    rgb[3 * i + 1] = static_cast<std::uint8_t>(got[i].green >> 8);
    rgb[3 * i + 2] = static_cast<std::uint8_t>(got[i].blue >> 8);
  }
  return count;
}

bool WindowRect(std::uint32_t window, bool client, Rect* rect) {
  Connection* c = Current();
  if (!c || window == 0) return false;
  // Both asked at once, one round trip; a window that does not exist fails both, the first
  // with BadWindow.
  const auto place_cookie = xcb_translate_coordinates(c->xcb, window, c->format.root, 0, 0);
  const auto geometry_cookie = xcb_get_geometry(c->xcb, window);
  auto place = Await(xcb_translate_coordinates_reply, c->xcb, place_cookie);
  auto geometry = Await(xcb_get_geometry_reply, c->xcb, geometry_cookie);
  if (!geometry || !place) {
    NoteIfLost(*c);
    return false;
  }
  const int border = client ? 0 : geometry->border_width;
  *rect = {place->dst_x - border, place->dst_y - border, geometry->width + 2 * border,
           geometry->height + 2 * border};
  return true;
}

namespace {

xcb_window_t NetActiveWindow(Connection& c) {
  auto atom =
      Await(xcb_intern_atom_reply, c.xcb,
            xcb_intern_atom(c.xcb, 1, sizeof "_NET_ACTIVE_WINDOW" - 1, "_NET_ACTIVE_WINDOW"));
  if (!atom || atom->atom == XCB_ATOM_NONE) return XCB_WINDOW_NONE;
  auto property =
      Await(xcb_get_property_reply, c.xcb,
            xcb_get_property(c.xcb, 0, c.format.root, atom->atom, XCB_ATOM_WINDOW, 0, 1));
  if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) != 4)
    return XCB_WINDOW_NONE;
  return *static_cast<const xcb_window_t*>(xcb_get_property_value(property.get()));
}

// The ancestor whose parent is the root (the window manager's frame), or none.
xcb_window_t TopLevel(Connection& c, xcb_window_t w) {
  const xcb_window_t root = c.format.root;
  for (int depth = 0; w != XCB_WINDOW_NONE && w != root && depth < 64; ++depth) {
    auto tree = Await(xcb_query_tree_reply, c.xcb, xcb_query_tree(c.xcb, w));
    if (!tree) return XCB_WINDOW_NONE;
    if (tree->parent == root) return w;
    w = tree->parent;
  }
  return XCB_WINDOW_NONE;
}

}  // namespace

std::uint32_t ActiveTopLevel() {
  Connection* c = Current();
  if (!c) return 0;
  xcb_window_t w = NetActiveWindow(*c);
  if (w == XCB_WINDOW_NONE) {
    auto focus = Await(xcb_get_input_focus_reply, c->xcb, xcb_get_input_focus(c->xcb));
    if (!focus) {
      NoteIfLost(*c);
      return 0;
    }
    w = focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT ? xcb_window_t{XCB_WINDOW_NONE} : focus->focus;
  }
  const xcb_window_t top = TopLevel(*c, w);
  if (top == XCB_WINDOW_NONE) NoteIfLost(*c);
  return top;
}

}  // namespace platform::x11
