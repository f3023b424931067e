// Device contexts behind the handles: memory DCs that hold one bitmap and one palette, and
// window DCs that read what the screen shows in a window's rectangle (or the whole screen).
// Internal to the platform layer. Threading: the user-interface thread only.
#pragma once

#include "platform/gdi/gdi.h"
#include "platform/gdi/handles.h"

namespace platform {

class DcObject : public GdiObject {
 public:
  static constexpr GdiKind kKind = GdiKind::kDc;
  enum class Type { kMemory, kWindow };
  DcObject(Type type, HWND window, bool client)
      : GdiObject(kKind), type(type), window(window), client(client) {}
  ~DcObject() override;
  Type type;
  HWND window;         // for a window DC; 0 is the whole screen
  bool client;         // GetDC rather than GetWindowDC
  HBITMAP bitmap = 0;  // for a memory DC
  HPALETTE palette = 0;
};

}  // namespace platform
