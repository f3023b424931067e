// Palettes behind the handles: logical palettes and the stock default palette. The handle table
// owns them. Internal to the platform layer. Threading: the user-interface thread only.
#pragma once

#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/handles.h"

namespace platform {

class PaletteObject : public GdiObject {
 public:
  static constexpr GdiKind kKind = GdiKind::kPalette;
  explicit PaletteObject(std::vector<PALETTEENTRY> entries)
      : GdiObject(kKind), entries(std::move(entries)) {}
  bool Deletable() const override { return selected_count == 0; }
  int Describe(int size, void* buffer) const override;  // the entry count as a WORD
  std::vector<PALETTEENTRY> entries;
  int selected_count = 0;  // DCs that hold it
};

// The stock palette: the default palette of a new memory DC, the platform's 20 reserved colours.
HPALETTE StockPalette();

}  // namespace platform
