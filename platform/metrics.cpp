// The screen metrics of the user-interface runtime: the primary screen in twips (1/1440 inch)
// at the logical dpi.
#include "platform/gdiobj.h"
#include "platform/x11.h"

namespace platform {

double TwipsPerPixelX() {
  return 1440.0 / LogicalDpi();
}

double TwipsPerPixelY() {
  return 1440.0 / LogicalDpi();
}

double ScreenWidthTwips() {
  return x11::Screen().primary.width * TwipsPerPixelX();
}

double ScreenHeightTwips() {
  return x11::Screen().primary.height * TwipsPerPixelY();
}

}  // namespace platform
