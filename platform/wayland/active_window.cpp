#include "platform/wayland/active_window.h"

#include <cmath>

#include "platform/wayland/desktop_windows.h"
#include "platform/x11/xwayland.h"

namespace platform::wayland {
namespace {

constexpr const char* kNoWindow = "no window has the focus";

}  // namespace

bool FindActiveWindow(ActiveWindow* window, std::string* why) {
  x11::XwaylandFrame x;
  if (x11::ActiveXwaylandFrame(&x) && x.root_width > 0 && x.root_height > 0) {
    window->frame = {x.frame.x, x.frame.y, x.frame.width, x.frame.height};
    window->space = ActiveWindow::Space::kSpan;
    window->span_width = x.root_width;
    window->span_height = x.root_height;
    window->source = "Xwayland";
    return true;
  }
  Lookup kwin = KWinActiveFrame(&window->frame, why);
  if (kwin == Lookup::kFound) {
    window->space = ActiveWindow::Space::kLayout;
    window->source = "KWin";
    return true;
  }
  if (kwin != Lookup::kNotHere) {
    if (kwin == Lookup::kNoWindow) *why = kNoWindow;
    return false;
  }
  int stage_width = 0, stage_height = 0;
  Lookup shell = GnomeShellFocusedFrame(&window->frame, &stage_width, &stage_height, why);
  switch (shell) {
    case Lookup::kFound:
      window->space = ActiveWindow::Space::kSpan;
      window->span_width = stage_width;
      window->span_height = stage_height;
      window->source = "GNOME Shell";
      return true;
    case Lookup::kNoWindow:
      *why = kNoWindow;
      return false;
    case Lookup::kUnavailable:
      *why =
          "on GNOME the window in front can be captured when it is an X11 window, or when the "
          "GNOME Shell extension " +
          std::string(kGnomeShellExtension) + " is enabled (gnome-extensions enable " +
          kGnomeShellExtension + ", then log in again); here " + *why + "; \"/xptfull\" works";
      return false;
    case Lookup::kNotHere:
      break;
  }
  *why =
      "capturing the active window is not available on this desktop (sway, KDE Plasma, and GNOME "
      "with the Pictoss extension tell which window it is, and Xwayland which X11 window); "
      "\"/xptfull\" works";
  return false;
}

Rect InPicture(const ActiveWindow& window, const Layout& layout, int width, int height) {
  if (window.space == ActiveWindow::Space::kLayout) return layout.ToDevice(window.frame);
  double fx = static_cast<double>(width) / window.span_width;
  double fy = static_cast<double>(height) / window.span_height;
  const Rect& f = window.frame;
  int left = static_cast<int>(std::floor(f.x * fx)), top = static_cast<int>(std::floor(f.y * fy));
  int right = static_cast<int>(std::ceil((f.x + f.width) * fx));
  int bottom = static_cast<int>(std::ceil((f.y + f.height) * fy));
  return {left, top, right - left, bottom - top};
}

}  // namespace platform::wayland
