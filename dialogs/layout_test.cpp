#include "dialogs/layout.h"

#include <gtest/gtest.h>

namespace pictoss {
namespace {

TEST(TwipsToPixels, RoundsEachEdgeSoThatNeighboursStillMeet) {
  struct Case {
    TwipsRect twips;
    double perPixel;
    PixelRect pixels;
  } cases[] = {
      {{390, 45, 3990, 495}, 15, {26, 3, 266, 33}},               // 96 dpi
      {{0, 0, 4695, 2730}, 15, {0, 0, 313, 182}},                 // the options client area
      {{-885, 960, 7935, 255}, 15, {-59, 64, 529, 17}},           // a label left of the client area
      {{390, 45, 3990, 495}, 10, {39, 5, 399, 49}},               // 144 dpi: 4.5 and 43.8 round up
      {{2160, 1200, 615, 285}, 12, {180, 100, 51, 24}},           // 120 dpi: 2775 / 12 = 231.25
      {{2535, 2235, 975, 375}, 1440.0 / 72, {127, 112, 49, 19}},  // 72 dpi
  };
  for (const Case& c : cases) {
    PixelRect p = TwipsToPixels(c.twips, c.perPixel, c.perPixel);
    EXPECT_EQ(p.x, c.pixels.x) << c.twips.left << " at " << c.perPixel;
    EXPECT_EQ(p.y, c.pixels.y) << c.twips.top << " at " << c.perPixel;
    EXPECT_EQ(p.width, c.pixels.width) << c.twips.width << " at " << c.perPixel;
    EXPECT_EQ(p.height, c.pixels.height) << c.twips.height << " at " << c.perPixel;
  }
}

TEST(PointsToPixels, TwentyTwipsAPoint) {
  struct Case {
    double points, perPixel;
    int pixels;
  } cases[] = {{8.25, 15, 11}, {14.25, 15, 19}, {18, 15, 24}, {8.25, 10, 17}, {0.1, 15, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(PointsToPixels(c.points, c.perPixel), c.pixels) << c.points << " " << c.perPixel;
  }
}

}  // namespace
}  // namespace pictoss
