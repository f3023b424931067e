// The screen into a DIB section band by band on several threads, each strip of rows handed on
// while it is in the cache (to the JPEG encoder, in the one-pass capture) and then copied. Where
// this cannot be done (a display that cannot read in strips now, a rectangle not wholly on
// the screen) nothing is touched and the caller takes the steps one by
// one. Threading: called on the user-interface thread, which it shares with helper threads of
// its own until it returns.
#pragma once

#include <functional>

#include "platform/gdi/gdi.h"

// Takes one strip of a band: `count` rows of 4 bytes a pixel (blue, green, red, unused), top row
// first. False stops the copy.
using StripSink = std::function<bool(int band, const BYTE* const* rows, int count)>;

// Copies the rectangle of the window DC src at (src_x, src_y), of the size of the DIB section
// selected into dest, into that DIB section as BitBlt with SRCCOPY does: in `bands` bands of
// band_rows rows (the last one may be shorter), on up to `threads` threads. Each strip goes to
// sink, in order within its band, before it is copied. FALSE when the copy cannot be made this
// way; also when it fails halfway or sink refuses a strip, and then the DIB section may hold
// part of the screen.
PLATFORM_API BOOL BitBltBands(HDC dest, HDC src, int src_x, int src_y, int band_rows, int bands,
                              int threads, const StripSink& sink);
