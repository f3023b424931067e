// The layout of a Wayland session's outputs, and how it maps onto the portal's picture. The
// compositor gives positions and sizes in logical pixels (xdg-output); the picture covers the
// layout's bounding box in device pixels, at the largest output scale (as grim draws it).
// Screen coordinates of this back end are the picture's pixels. Plain values, no threads.
#pragma once

#include "platform/base/windef.h"
#include "platform/gdi/display.h"

#include <string>
#include <vector>

namespace platform::wayland {

using Rect = ScreenRect;

struct Output {
  std::string name;  // "HEADLESS-1", "DP-2"
  Rect logical;
  int scale = 1;
};

struct Layout {
  std::vector<Output> outputs;  // in the compositor's order
  Rect bounds;                  // logical bounding box of all outputs
  double factor = 1;            // device pixels per logical pixel

  // A logical rectangle in picture pixels (rounded outwards to whole pixels).
  Rect ToDevice(const Rect& logical) const;
};

// The layout of these outputs, at their largest scale.
Layout MakeLayout(std::vector<Output> outputs);

// Fits the layout to a picture of that size: the factor becomes the one the picture shows. With
// no outputs known, the picture is taken as one output.
void FitPicture(Layout* layout, int width, int height);

// The output that holds the focused window (by name) where that is known, else the first; -1
// when there is none.
int PrimaryOutput(const Layout& layout, const std::string& focused);

}  // namespace platform::wayland
