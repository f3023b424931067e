// What the user-interface toolkit's dialogs need from Xlib: the hints of a dialog window, and
// its drawing context carried over to a new server.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "platform/x11/xlib/xlib.h"

namespace platform::x11 {

DialogHints InternDialogHints(Display* display) {
  return {static_cast<std::uint32_t>(XInternAtom(display, "_NET_WM_WINDOW_TYPE", False)),
          static_cast<std::uint32_t>(XInternAtom(display, "_NET_WM_WINDOW_TYPE_UTILITY", False)),
          static_cast<std::uint32_t>(XInternAtom(display, "_MOTIF_WM_HINTS", False))};
}

void SetDialogHints(Display* display, std::uint32_t window, const DialogHints& hints) {
  const Atom utility = hints.utility;
  XChangeProperty(display, window, hints.window_type, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&utility), 1);
  constexpr long kFunctionsAndDecorations = 1 | 2;
  constexpr long kMoveAndClose = 4 | 32;
  constexpr long kBorderTitleAndMenu = 2 | 8 | 16;
  long motif[5] = {kFunctionsAndDecorations, kMoveAndClose, kBorderTitleAndMenu, 0, 0};
  XChangeProperty(display, window, hints.motif_hints, hints.motif_hints, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(motif), 5);
}

void Flush(Display* display) {
  XFlush(display);
}

namespace {

// Xlib's record of a graphics context (struct _XGC of Xlibint.h, whose macros clash with the
// standard library): the server's id of the context and the values cached for it.
struct GcRecord {
  XExtData* ext_data;
  GContext gid;
  Bool rects;
  Bool dashes;
  unsigned long dirty;
  XGCValues values;
};

}  // namespace

void RebindGc(Display* display, void* gc) {
  GC fresh = XCreateGC(display, DefaultRootWindow(display), 0, nullptr);
  if (!fresh) return;
  auto* kept = static_cast<GcRecord*>(gc);
  const auto* made = reinterpret_cast<const GcRecord*>(fresh);
  kept->gid = made->gid;
  kept->rects = made->rects;
  kept->dashes = made->dashes;
  kept->dirty = made->dirty;
  kept->values = made->values;
  // The server's context now belongs to the kept record; the record that came with it is freed
  // alone.
  XFree(fresh);
}

}  // namespace platform::x11
