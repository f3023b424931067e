// The screen as the drawing layer sees it: the pixel format of the display, the logical dpi,
// and the primary screen in twips (1/1440 inch) at that dpi.
#include "platform/gdi/screen.h"

#include "platform/gdi/display.h"

namespace platform {

PixelFormat ScreenFormat() {
  ScreenInfo s = CurrentDisplay().Screen();
  if (s.palette) return PixelFormat::Indexed8();
  switch (s.bits_per_pixel) {
    case 16:
      return {16, s.red, s.green, s.blue};
    case 24:
      return {24, s.red, s.green, s.blue};
    default:
      return {32, s.red, s.green, s.blue};
  }
}

double LogicalDpi() {
  double dpi = CurrentDisplay().Dpi();
  return dpi > 0 ? dpi : 96.0;
}

double TwipsPerPixelX() {
  return 1440.0 / LogicalDpi();
}

double TwipsPerPixelY() {
  return 1440.0 / LogicalDpi();
}

double ScreenWidthTwips() {
  return CurrentDisplay().Screen().primary.width * TwipsPerPixelX();
}

double ScreenHeightTwips() {
  return CurrentDisplay().Screen().primary.height * TwipsPerPixelY();
}

}  // namespace platform
