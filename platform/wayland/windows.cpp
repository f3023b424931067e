// The ways of finding a Wayland desktop's windows. A new desktop is a file of its own with its
// two functions, and a line here.
#include "platform/wayland/windows.h"

#include "platform/wayland/gnome_shell.h"
#include "platform/wayland/kwin.h"
#include "platform/wayland/sway.h"
#include "platform/wayland/xwayland_focus.h"

namespace platform::wayland {

const std::vector<WindowFinder>& WindowFinders() {
  static const auto* finders = new std::vector<WindowFinder>{
      {"sway", SwaySession, ReadSwayTree},
      // An X11 window in front on any other desktop (Pidgin's, say), before the desktops' own
      // ways, which cost a script or need an extension.
      {"Xwayland", XwaylandFocus, ReadXwaylandTree},
      {"KWin", KWinSession, ReadKWinTree},
      {"GNOME Shell", GnomeShellSession, ReadGnomeShellTree},
  };
  return *finders;
}

const WindowFinder* SessionWindowFinder() {
  for (const WindowFinder& finder : WindowFinders())
    if (finder.here()) return &finder;
  return nullptr;
}

}  // namespace platform::wayland
