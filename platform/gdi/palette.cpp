// Logical palettes and the system palette. On an 8-bit PseudoColor screen the system palette is
// the default colormap, and the pixels of a screen-compatible bitmap are its indices; the bitmap
// keeps the colormap as it was when the bitmap was made, so its colours stay right after the
// colormap changes. Selecting and realizing a palette in a memory DC does not change pixels.
#include "platform/gdi/palette.h"

#include <algorithm>

#include <cstring>

#include "platform/gdi/dc.h"
#include "platform/gdi/display.h"

namespace platform {

HPALETTE StockPalette() {
  // The platform's 20 reserved colours.
  static const PALETTEENTRY kDefault[20] = {
      {0, 0, 0, 0},       {128, 0, 0, 0},     {0, 128, 0, 0},     {128, 128, 0, 0},
      {0, 0, 128, 0},     {128, 0, 128, 0},   {0, 128, 128, 0},   {192, 192, 192, 0},
      {192, 220, 192, 0}, {166, 202, 240, 0}, {255, 251, 240, 0}, {160, 160, 164, 0},
      {128, 128, 128, 0}, {255, 0, 0, 0},     {0, 255, 0, 0},     {255, 255, 0, 0},
      {0, 0, 255, 0},     {255, 0, 255, 0},   {0, 255, 255, 0},   {255, 255, 255, 0}};
  static HPALETTE stock = AddGdiObject(
      std::make_unique<PaletteObject>(std::vector<PALETTEENTRY>(kDefault, kDefault + 20)), true);
  return stock;
}

int PaletteObject::Describe(int size, void* buffer) const {
  if (!buffer) return static_cast<int>(sizeof(WORD));
  if (size < static_cast<int>(sizeof(WORD))) return 0;
  WORD count = static_cast<WORD>(entries.size());
  std::memcpy(buffer, &count, sizeof count);
  return static_cast<int>(sizeof(WORD));
}

}  // namespace platform

using platform::DcObject;
using platform::FindGdi;
using platform::PaletteObject;

HPALETTE CreatePalette(const LOGPALETTE* palette) {
  if (!palette || palette->palVersion != 0x300 || palette->palNumEntries == 0 ||
      palette->palNumEntries > 256)
    return 0;
  const PALETTEENTRY* first = palette->palPalEntry;
  std::vector<PALETTEENTRY> entries(first, first + palette->palNumEntries);
  return platform::AddGdiObject(std::make_unique<PaletteObject>(std::move(entries)));
}

HPALETTE SelectPalette(HDC hdc, HPALETTE palette, BOOL) {
  DcObject* dc = FindGdi<DcObject>(hdc);
  PaletteObject* p = FindGdi<PaletteObject>(palette);
  if (!dc || !p) return 0;
  HPALETTE old = dc->palette;
  if (old == palette) return old;
  if (auto* previous = FindGdi<PaletteObject>(old); previous && !previous->stock())
    --previous->selected_count;
  if (!p->stock()) ++p->selected_count;
  dc->palette = palette;
  return old;
}

UINT RealizePalette(HDC hdc) {
  DcObject* dc = FindGdi<DcObject>(hdc);
  if (!dc) return 0;
  PaletteObject* p = FindGdi<PaletteObject>(dc->palette);
  return p ? static_cast<UINT>(p->entries.size()) : 0;
}

UINT GetSystemPaletteEntries(HDC hdc, UINT start, UINT count, PALETTEENTRY* entries) {
  if (!FindGdi<DcObject>(hdc)) return 0;
  platform::Display& display = platform::CurrentDisplay();
  platform::ScreenInfo screen = display.Screen();
  if (!screen.palette) return 0;
  UINT size = static_cast<UINT>(screen.colormap_size);
  if (!entries) return size;
  if (start >= size) return 0;
  count = std::min(count, size - start);
  std::vector<std::uint8_t> rgb(3 * static_cast<std::size_t>(count));
  int read = display.ReadColormap(static_cast<int>(start), static_cast<int>(count), rgb.data());
  for (int i = 0; i < read; ++i) entries[i] = {rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], 0};
  return static_cast<UINT>(read);
}
