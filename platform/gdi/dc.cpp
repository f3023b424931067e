// Device contexts: memory DCs that hold one bitmap and one palette, and window DCs that read
// what the screen shows in a window's rectangle (or the whole screen).
#include "platform/gdi/dc.h"

#include <cmath>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/display.h"
#include "platform/gdi/palette.h"
#include "platform/gdi/screen.h"

namespace platform {

DcObject::~DcObject() {
  if (auto* b = FindGdi<BitmapObject>(bitmap); b && !b->stock()) b->selected_into = 0;
  if (auto* p = FindGdi<PaletteObject>(palette); p && !p->stock()) --p->selected_count;
}

}  // namespace platform

using platform::BitmapObject;
using platform::DcObject;
using platform::FindGdi;
using platform::PaletteObject;

namespace {

HDC MakeWindowDc(HWND hwnd, bool client) {
  platform::Display& display = platform::CurrentDisplay();
  platform::ScreenInfo screen = display.Screen();
  if (hwnd == screen.root) hwnd = 0;  // the desktop window's DC is the screen's
  if (hwnd != 0) {
    platform::ScreenRect r;
    if (!screen.connected || !display.WindowRect(hwnd, client, &r)) return 0;
  }
  return platform::AddGdiObject(std::make_unique<DcObject>(DcObject::Type::kWindow, hwnd, client));
}

}  // namespace

HDC GetDC(HWND hwnd) {
  return MakeWindowDc(hwnd, true);
}

HDC GetWindowDC(HWND hwnd) {
  return MakeWindowDc(hwnd, false);
}

int ReleaseDC(HWND, HDC hdc) {
  DcObject* dc = FindGdi<DcObject>(hdc);
  if (!dc || dc->type != DcObject::Type::kWindow) return 0;
  return platform::RemoveGdiObject(hdc) ? 1 : 0;
}

HDC CreateCompatibleDC(HDC hdc) {
  if (hdc != 0 && !FindGdi<DcObject>(hdc)) return 0;
  auto dc = std::make_unique<DcObject>(DcObject::Type::kMemory, 0, false);
  dc->bitmap = platform::StockBitmap();
  dc->palette = platform::StockPalette();
  return platform::AddGdiObject(std::move(dc));
}

BOOL DeleteDC(HDC hdc) {
  DcObject* dc = FindGdi<DcObject>(hdc);
  if (!dc || dc->type != DcObject::Type::kMemory) return FALSE;
  return platform::RemoveGdiObject(hdc) ? TRUE : FALSE;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object) {
  DcObject* dc = FindGdi<DcObject>(hdc);
  BitmapObject* b = FindGdi<BitmapObject>(object);
  if (!dc || !b || dc->type != DcObject::Type::kMemory) return 0;
  if (dc->bitmap == object) return object;
  // A bitmap can be selected into one DC at a time; the stock bitmap into any number.
  if (!b->stock() && b->selected_into != 0) return 0;
  HBITMAP old = dc->bitmap;
  if (auto* previous = FindGdi<BitmapObject>(old); previous && !previous->stock())
    previous->selected_into = 0;
  if (!b->stock()) b->selected_into = hdc;
  dc->bitmap = object;
  return old;
}

int GetDeviceCaps(HDC hdc, int index) {
  if (!FindGdi<DcObject>(hdc)) return 0;
  platform::ScreenInfo s = platform::CurrentDisplay().Screen();
  constexpr int kRcBitBlt = 0x0001, kRcBitmap64 = 0x0008, kRcDiBitmap = 0x0080;
  switch (index) {
    case HORZRES:
      return s.primary.width;
    case VERTRES:
      return s.primary.height;
    case BITSPIXEL:
      return s.palette ? 8 : s.bits_per_pixel;
    case RASTERCAPS:
      return kRcBitBlt | kRcBitmap64 | kRcDiBitmap | (s.palette ? RC_PALETTE : 0);
    case SIZEPALETTE:
      return s.palette ? s.colormap_size : 0;
    case LOGPIXELSX:
    case LOGPIXELSY:
      return static_cast<int>(std::lround(platform::LogicalDpi()));
    default:
      return 0;
  }
}
