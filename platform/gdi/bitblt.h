// The blitter behind BitBlt: copies between surfaces of any pixel format with the raster
// operations that take only source and destination, and reads of the screen into a surface.
// Internal to the platform layer. Threading: the user-interface thread only.
#pragma once

#include "platform/gdi/bitmap.h"

namespace platform {

// Blits between surfaces; the rectangles are already clipped to both. Returns false for an
// unknown raster operation. The source may be null for operations that ignore it.
bool BlitSurfaces(const Surface& dest, int x, int y, int width, int height, const Surface* src,
                  int src_x, int src_y, DWORD rop);
bool KnownRop(DWORD rop);
bool RopUsesSource(DWORD rop);

class DcObject;
// The screen position of a window DC's origin; false when its window has gone.
bool WindowDcOrigin(const DcObject& dc, int* x, int* y);

// Reads the screen rectangle (screen coordinates) into dest at (x, y) with the raster
// operation; parts outside the screen read as black.
bool BlitFromScreen(const Surface& dest, int x, int y, int width, int height, int screen_x,
                    int screen_y, DWORD rop);

}  // namespace platform
