// The dialogs are laid out in twips (1/1440 inch), as their forms were designed; this turns
// twips and points into the pixels of the screen they are shown on. Plain values, no state.
#pragma once

namespace pictoss {

struct TwipsRect {
  int left, top, width, height;
};

struct PixelRect {
  int x, y, width, height;
};

// The screen's twips per pixel, across and down (15 at 96 dots per inch).
double DialogTwipsPerPixelX();
double DialogTwipsPerPixelY();

// Each edge rounded to the nearest pixel, so that controls that meet in twips meet in pixels.
PixelRect TwipsToPixels(const TwipsRect& twips, double twipsPerPixelX, double twipsPerPixelY);

// A font's size in whole pixels (a point is 20 twips), at least 1.
int PointsToPixels(double points, double twipsPerPixelY);

}  // namespace pictoss
