// The screen as the X server describes it: the primary monitor, the colormap, windows and their
// rectangles, the active window, and the resource database's Xft.dpi. The monitor layout and
// the dpi are cached for a short while.
#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <xcb/randr.h>

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
  Display* d = c.display;
  Rect whole{0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))};
  xcb_connection_t* xcb = XGetXCBConnection(d);
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(xcb, &xcb_randr_id);
  if (!randr || !randr->present) return whole;
  // All asked at once, one round trip; an older server refuses the monitors with an error. Only
  // RandR changes the screen's size, and Xlib keeps the size the connection began with: the
  // root window says the size now.
  const auto version_cookie = xcb_randr_query_version(xcb, 1, 5);
  const auto monitors_cookie =
      xcb_randr_get_monitors(xcb, static_cast<xcb_window_t>(c.format.root), 1);
  const auto root_cookie = xcb_get_geometry(xcb, static_cast<xcb_drawable_t>(c.format.root));
  xcb_generic_error_t* error = nullptr;
  if (auto* root = xcb_get_geometry_reply(xcb, root_cookie, &error)) {
    whole.width = root->width, whole.height = root->height;
    std::free(root);
  }
  std::free(error);
  error = nullptr;
  auto* version = xcb_randr_query_version_reply(xcb, version_cookie, &error);
  std::free(error);
  error = nullptr;
  auto* monitors = xcb_randr_get_monitors_reply(xcb, monitors_cookie, &error);
  std::free(error);
  const bool has_monitors =
      version &&
      (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 5));
  std::free(version);
  if (!has_monitors || !monitors) {
    std::free(monitors);
    return whole;
  }
  Rect r = whole;
  int i = 0;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors); it.rem;
       xcb_randr_monitor_info_next(&it), ++i) {
    if (it.data->primary || i == 0) {  // the primary, else the first
      r = {it.data->x, it.data->y, it.data->width, it.data->height};
      if (it.data->primary) break;
    }
  }
  std::free(monitors);
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

double ReadXftDpi(Connection& c) {
  Atom type;
  int format;
  unsigned long items, after;
  unsigned char* data = nullptr;
  double dpi = 0;
  if (NoteIfLost(c)) return 0;
  if (XGetWindowProperty(c.display, c.format.root, XA_RESOURCE_MANAGER, 0, 1 << 20, False,
                         XA_STRING, &type, &format, &items, &after, &data) == Success &&
      data) {
    if (format == 8) dpi = ParseXftDpi({reinterpret_cast<char*>(data), items});
    XFree(data);
  }
  return dpi;
}

void RefreshCache(Connection& c) {
  auto now = std::chrono::steady_clock::now();
  if (c.cache_valid && now - c.cached_at < kScreenCacheTime) return;
  c.primary = PrimaryMonitor(c);
  c.dpi = ReadXftDpi(c);
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
  std::vector<XColor> colors(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) colors[i].pixel = static_cast<unsigned long>(start + i);
  if (NoteIfLost(*c)) return 0;
  X11TakeError();  // an error of an earlier request is not this one's
  if (NoteIfLost(*c)) return 0;
  XQueryColors(c->display, DefaultColormap(c->display, DefaultScreen(c->display)), colors.data(),
               count);
  if (X11TakeError() != 0) return 0;
  for (int i = 0; i < count; ++i) {
    rgb[3 * i] = static_cast<std::uint8_t>(colors[i].red >> 8);
    rgb[3 * i + 1] = static_cast<std::uint8_t>(colors[i].green >> 8);
    rgb[3 * i + 2] = static_cast<std::uint8_t>(colors[i].blue >> 8);
  }
  return count;
}

bool WindowRect(std::uint32_t window, bool client, Rect* rect) {
  Connection* c = Current();
  if (!c || window == 0) return false;
  // Requests with a reply fail by their status; the error handler keeps the process going.
  XWindowAttributes a;
  if (NoteIfLost(*c) || !XGetWindowAttributes(c->display, window, &a)) return false;
  int x = 0, y = 0;
  Window child;
  if (NoteIfLost(*c) ||
      !XTranslateCoordinates(c->display, window, c->format.root, 0, 0, &x, &y, &child))
    return false;
  int border = client ? 0 : a.border_width;
  *rect = {x - border, y - border, a.width + 2 * border, a.height + 2 * border};
  return true;
}

namespace {

Window NetActiveWindow(Connection& c) {
  if (NoteIfLost(c)) return None;
  Atom active = XInternAtom(c.display, "_NET_ACTIVE_WINDOW", True);
  if (active == None) return None;
  Atom type;
  int format;
  unsigned long items, after;
  unsigned char* data = nullptr;
  Window w = None;
  if (NoteIfLost(c)) return None;
  if (XGetWindowProperty(c.display, c.format.root, active, 0, 1, False, XA_WINDOW, &type, &format,
                         &items, &after, &data) == Success &&
      data) {
    if (format == 32 && items == 1)
      w = static_cast<Window>(*reinterpret_cast<unsigned long*>(data));
    XFree(data);
  }
  return w;
}

// The ancestor whose parent is the root (the window manager's frame), or None.
Window TopLevel(Connection& c, Window w) {
  Window root = c.format.root;
  for (int depth = 0; w != None && w != root && depth < 64; ++depth) {
    Window r, parent, *children = nullptr;
    unsigned int n = 0;
    if (NoteIfLost(c) || !XQueryTree(c.display, w, &r, &parent, &children, &n)) return None;
    if (children) XFree(children);
    if (parent == root) return w;
    w = parent;
  }
  return None;
}

}  // namespace

std::uint32_t ActiveTopLevel() {
  Connection* c = Current();
  if (!c) return 0;
  Window w = NetActiveWindow(*c);
  if (w == None) {
    int revert;
    if (NoteIfLost(*c)) return 0;
    XGetInputFocus(c->display, &w, &revert);
    if (w == PointerRoot) w = None;
  }
  return static_cast<std::uint32_t>(TopLevel(*c, w));
}

}  // namespace platform::x11
