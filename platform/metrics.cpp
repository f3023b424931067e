// The screen metrics of the user-interface runtime: the primary screen in twips (1/1440 inch)
// at the logical dpi.
#include <cstdlib>
#include <string_view>

#include "platform/gdiobj.h"
#include "platform/screen.h"

namespace platform {

double TwipsPerPixelX() {
  return 1440.0 / LogicalDpi();
}

double TwipsPerPixelY() {
  return 1440.0 / LogicalDpi();
}

double ScreenWidthTwips() {
  return screen::Screen().primary.width * TwipsPerPixelX();
}

double ScreenHeightTwips() {
  return screen::Screen().primary.height * TwipsPerPixelY();
}

bool WaylandSession() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* session = std::getenv("XDG_SESSION_TYPE");
  return (wayland && *wayland) || (session && std::string_view(session) == "wayland");
}

}  // namespace platform
