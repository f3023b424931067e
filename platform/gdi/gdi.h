// The platform's drawing calls over the display (display.h): window and memory device contexts,
// bitmaps, DIB sections, palettes and BitBlt, with the platform's names and results. Every
// object is named by a 32-bit handle (0 for none); a wrong-kind, deleted or made-up handle makes
// a call fail the platform's way (0 or FALSE) and never crashes. Bitmaps own their pixel memory;
// the clipboard owns a bitmap once SetClipboardData has accepted it.
// Threading: one thread (the host's user-interface thread) uses these calls.
#pragma once

#include <cstddef>

#include "platform/base/windef.h"

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

// The BITMAP record of GetObjectA. bmBits is pointer-sized here, so the record is larger than
// the 24 bytes of a 32-bit platform: pass sizeof(BITMAP).
struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  void* bmBits;
};

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};

struct RGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
};

struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};

struct PALETTEENTRY {
  BYTE peRed;
  BYTE peGreen;
  BYTE peBlue;
  BYTE peFlags;
};

struct LOGPALETTE {
  WORD palVersion;
  WORD palNumEntries;
  PALETTEENTRY palPalEntry[1];
};

// LOGPALETTE with room for a whole 256-entry palette.
struct LOGPALETTE256 {
  WORD palVersion;
  WORD palNumEntries;
  PALETTEENTRY palPalEntry[256];
};

constexpr DWORD BI_RGB = 0;
constexpr UINT DIB_RGB_COLORS = 0;
constexpr LONG OBJ_BITMAP = 7;

// GetDeviceCaps indexes and bits.
constexpr int HORZRES = 8;
constexpr int VERTRES = 10;
constexpr int BITSPIXEL = 12;
constexpr int RASTERCAPS = 38;
constexpr int LOGPIXELSX = 88;
constexpr int LOGPIXELSY = 90;
constexpr int SIZEPALETTE = 104;
constexpr int RC_PALETTE = 0x0100;

// Raster operations that take only a source and a destination.
constexpr DWORD SRCCOPY = 0x00CC0020;
constexpr DWORD SRCPAINT = 0x00EE0086;
constexpr DWORD SRCAND = 0x008800C6;
constexpr DWORD SRCINVERT = 0x00660046;
constexpr DWORD SRCERASE = 0x00440328;
constexpr DWORD NOTSRCCOPY = 0x00330008;
constexpr DWORD NOTSRCERASE = 0x001100A6;
constexpr DWORD MERGEPAINT = 0x00BB0226;
constexpr DWORD DSTINVERT = 0x00550009;
constexpr DWORD BLACKNESS = 0x00000042;
constexpr DWORD WHITENESS = 0x00FF0062;

// The device contexts of windows (the desktop window's is the whole screen).
PLATFORM_API HDC GetDC(HWND hwnd);
PLATFORM_API HDC GetWindowDC(HWND hwnd);
PLATFORM_API int ReleaseDC(HWND hwnd, HDC hdc);

// Memory device contexts and bitmaps.
PLATFORM_API HDC CreateCompatibleDC(HDC hdc);
PLATFORM_API BOOL DeleteDC(HDC hdc);
PLATFORM_API HBITMAP CreateCompatibleBitmap(HDC hdc, int width, int height);
// Requires: info describes a 24-bit BI_RGB bitmap. Writes the pixel address to *bits.
PLATFORM_API HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* info, UINT usage, void** bits,
                                      HANDLE32 section, DWORD offset);
PLATFORM_API int GetObjectA(HGDIOBJ object, int size, void* buffer);
PLATFORM_API HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object);
PLATFORM_API BOOL DeleteObject(HGDIOBJ object);
// FALSE with the last error ERROR_DEVICE_NOT_CONNECTED when a read of the screen fails because
// there is no display or its server went away.
PLATFORM_API BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int srcX, int srcY,
                         DWORD rop);

// Completes the copies that GDI has deferred: a whole 24-bit DIB section copied onto a bitmap
// of its size shares its memory until either is drawn on. Call it before writing a DIB
// section's memory directly, so that the bitmaps copied from it keep what they got.
PLATFORM_API BOOL GdiFlush();

// Palettes and device capabilities.
PLATFORM_API HPALETTE CreatePalette(const LOGPALETTE* palette);
PLATFORM_API HPALETTE SelectPalette(HDC hdc, HPALETTE palette, BOOL forceBackground);
PLATFORM_API UINT RealizePalette(HDC hdc);
PLATFORM_API UINT GetSystemPaletteEntries(HDC hdc, UINT start, UINT count, PALETTEENTRY* entries);
PLATFORM_API int GetDeviceCaps(HDC hdc, int index);
