// The window in front of a Wayland desktop other than sway, found by the ways the desktops offer,
// in this order: Xwayland's focused X11 window (every desktop), KWin's script (KDE Plasma, every
// window), GNOME Shell's extension (every window, where it is enabled). The user-interface
// thread only.
#pragma once

#include <string>

#include "platform/wayland/output_layout.h"

namespace platform::wayland {

struct ActiveWindow {
  Rect frame;  // as the screen shows it, frame included
  // kLayout: in logical pixels of the output layout. kSpan: in a space of span_width x
  // span_height that spans the layout's bounding box (Xwayland's root, GNOME Shell's stage).
  enum class Space { kLayout, kSpan } space = Space::kLayout;
  int span_width = 0, span_height = 0;
  const char* source = "";  // which way found it, for the debug channel
};

// Finds it; false with *why saying what is missing (for GNOME Shell, the extension and how to
// enable it) or that no window has the focus.
bool FindActiveWindow(ActiveWindow* window, std::string* why);

// Its frame in the pixels of a picture of width x height that the layout has been fitted to.
Rect InPicture(const ActiveWindow& window, const Layout& layout, int width, int height);

}  // namespace platform::wayland
