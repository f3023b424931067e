// The screen to a DIB section and a JPEG in one pass: strips of the screen are read on every
// core, and each strip, while it is in the cache, is both encoded and copied into the DIB
// section. Where this cannot be done (no shared memory, a screen of another format, a rectangle
// not wholly on the screen, another screen back end) nothing is touched and the caller takes the
// steps one by one: BitBlt, then ijlWrite. Threading: called on the user-interface thread, which
// it shares with helper threads of its own until it returns.
#pragma once

#include "platform/gdi/gdi.h"
#include "platform/jpeg/jpeg.h"

// Copies the rectangle of the window DC src at (src_x, src_y), of the size of the DIB section
// selected into dest, into that DIB section (as BitBlt with SRCCOPY does), and encodes the same
// pixels into props as ijlWrite does at props->jquality. The record needs ijlInit only. FALSE
// when the one pass cannot be made; also when it fails halfway, and then the DIB section may
// hold part of the screen.
PLATFORM_API BOOL BitBltEncode(HDC dest, HDC src, int src_x, int src_y,
                               JPEG_CORE_PROPERTIES* props);
