// The screen as the drawing layer and the user-interface runtime see it: its pixel format
// (what a screen-compatible bitmap uses), the logical dpi (the display's, else 96), and the primary
// screen in twips (1/1440 inch) at that dpi, all from the current display. Threading: the
// user-interface thread only.
#pragma once

#include "platform/base/windef.h"
#include "platform/gdi/bitmap.h"

namespace platform {

PixelFormat ScreenFormat();
double LogicalDpi();

// The primary screen's size in twips and the twips per pixel (1440 / logical dpi).
PLATFORM_API double ScreenWidthTwips();
PLATFORM_API double ScreenHeightTwips();
PLATFORM_API double TwipsPerPixelX();
PLATFORM_API double TwipsPerPixelY();

}  // namespace platform
