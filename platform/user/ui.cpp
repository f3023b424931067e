#include "platform/user/ui.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>
#include <X11/Xatom.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/user/messageloop.h"
#include "platform/x11/x11.h"

namespace platform {

namespace {

// FLTK's connections whose server went away. They stay open: FLTK's input method keeps
// referring to the connection it was opened on, so freeing it would leave that dangling. A
// request on them does nothing.
std::vector<Display*>& LostUiDisplays() {
  static auto* lost = new std::vector<Display*>;
  return *lost;
}

// The fonts registered through UiFont, by name, beside FLTK's built-in ones.
std::map<std::string, int>& UiFonts() {
  static auto* fonts = new std::map<std::string, int>;
  return *fonts;
}

// Each font caches the sizes it opened on the connection; another name and back makes FLTK
// drop them, so that the next connection opens its own.
void DropFontCache(int font) {
  const char* name = Fl::get_font(static_cast<Fl_Font>(font));
  if (!name) return;
  Fl::set_font(static_cast<Fl_Font>(font), "");
  Fl::set_font(static_cast<Fl_Font>(font), name);
}

GC& WindowGc() {
  static GC gc = nullptr;
  return gc;
}

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

// Points FLTK's kept graphics context at a context of the new server, with its default values.
void RebindWindowGc(Display* display) {
  if (!WindowGc()) return;
  GC fresh = XCreateGC(display, DefaultRootWindow(display), 0, nullptr);
  if (!fresh) return;
  auto* kept = reinterpret_cast<GcRecord*>(WindowGc());
  const auto* made = reinterpret_cast<const GcRecord*>(fresh);
  kept->gid = made->gid;
  kept->rects = made->rects;
  kept->dashes = made->dashes;
  kept->dirty = made->dirty;
  kept->values = made->values;
  // The server's context now belongs to FLTK's; the record that came with it is freed alone.
  XFree(fresh);
}

}  // namespace

bool ForgetLostUiDisplay() {
  if (!fl_display || !X11ServerLost(fl_display)) return false;
  // Hiding makes requests of a dead connection, which do nothing, and frees FLTK's own records.
  for (int i = 0; i < 1000 && Fl::first_window(); ++i) Fl::first_window()->hide();
  for (int font = 0; font < FL_FREE_FONT; ++font) DropFontCache(font);
  for (const auto& [name, font] : UiFonts()) DropFontCache(font);
  // FLTK draws every window with one graphics context that it makes once and keeps for the
  // process; it is bound to a new server's own context when the next connection opens.
  if (fl_gc) WindowGc() = fl_gc;
  fl_gc = nullptr;
  Fl::remove_fd(ConnectionNumber(fl_display));
  LostUiDisplays().push_back(fl_display);
  fl_display = nullptr;
  return true;
}

bool OpenUiDisplay() {
  ForgetLostUiDisplay();
  if (fl_display) return true;
  // FLTK's own opening ends the process when it fails, so open the connection here and hand
  // it over.
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  fl_open_display(display);
  // After FLTK, whose handlers end the process when the server goes away.
  X11KeepProcessOnServerLoss(display);
  RebindWindowGc(display);
  Fl::call_screen_init();
  return true;
}

int UiFont(const char* name) {
  auto [it, added] = UiFonts().emplace(name, FL_FREE_FONT + static_cast<int>(UiFonts().size()));
  // FLTK keeps the pointer for the process.
  if (added) Fl::set_font(static_cast<Fl_Font>(it->second), strdup(name));
  return it->second;
}

namespace {

// The hints a window manager reads when it maps the window: a utility window (small caption
// bar) that can be moved and closed but not resized, minimized or maximized.
struct WindowHints {
  Atom windowType;
  Atom utility;
  Atom motifHints;
};

WindowHints InternHints() {
  return {XInternAtom(fl_display, "_NET_WM_WINDOW_TYPE", False),
          XInternAtom(fl_display, "_NET_WM_WINDOW_TYPE_UTILITY", False),
          XInternAtom(fl_display, "_MOTIF_WM_HINTS", False)};
}

// Runs right after show(), before anything flushes the map request, so that the window manager
// sees the hints when it manages the window.
void SetHints(Window xid, const WindowHints& hints) {
  XChangeProperty(fl_display, xid, hints.windowType, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&hints.utility), 1);
  constexpr long kFunctionsAndDecorations = 1 | 2;
  constexpr long kMoveAndClose = 4 | 32;
  constexpr long kBorderTitleAndMenu = 2 | 8 | 16;
  long motif[5] = {kFunctionsAndDecorations, kMoveAndClose, kBorderTitleAndMenu, 0, 0};
  XChangeProperty(fl_display, xid, hints.motifHints, hints.motifHints, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(motif), 5);
}

}  // namespace

bool ShowModal(Fl_Window& window) {
  if (!OpenUiDisplay() || window.shown()) return false;
  int x, y, w, h;
  Fl::screen_xywh(x, y, w, h, 0);
  window.position(x + (w - window.w()) / 2, y + (h - window.h()) / 2);
  window.size_range(window.w(), window.h(), window.w(), window.h());
  window.set_modal();
  WindowHints hints = InternHints();
  window.show();
  SetHints(fl_xid(&window), hints);
  bool lost = false;
  RunMessageLoopUntil([&window, &lost] {
    lost = ForgetLostUiDisplay() || !fl_display;
    return lost || !window.shown();
  });
  if (lost) {
    window.hide();
    return false;
  }
  // The caller may not run the loop again soon: take the window off the screen now.
  XFlush(fl_display);
  return true;
}

}  // namespace platform
