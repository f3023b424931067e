#include "dialogs/layout.h"

#include <algorithm>
#include <cmath>

#include "platform/gdi/gdi.h"
#include "platform/gdi/screen.h"

namespace pictoss {

double DialogTwipsPerPixelX() {
  return platform::TwipsPerPixelX();
}
double DialogTwipsPerPixelY() {
  return platform::TwipsPerPixelY();
}

PixelRect TwipsToPixels(const TwipsRect& twips, double twipsPerPixelX, double twipsPerPixelY) {
  auto px = [](double t, double perPixel) { return static_cast<int>(std::lround(t / perPixel)); };
  int left = px(twips.left, twipsPerPixelX);
  int top = px(twips.top, twipsPerPixelY);
  int right = px(twips.left + twips.width, twipsPerPixelX);
  int bottom = px(twips.top + twips.height, twipsPerPixelY);
  return {left, top, right - left, bottom - top};
}

int PointsToPixels(double points, double twipsPerPixelY) {
  return std::max(1, static_cast<int>(std::lround(points * 20.0 / twipsPerPixelY)));
}

}  // namespace pictoss
