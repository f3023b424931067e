#include "platform/user/fltk/fltk_ui.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>
#include <X11/Xatom.h>

#include "platform/user/messageloop.h"
#include "platform/user/ui_module.h"

namespace platform::fltk {

bool OpenDisplay() {
  if (fl_display) return true;
  // FLTK's own opening ends the process when it fails, so open the connection here and hand
  // it over.
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  fl_open_display(display);
  return true;
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

// The table that the platform library's message loop and message box use.
bool TableOpenDisplay() {
  try {
    return OpenDisplay();
  } catch (...) {
    return false;
  }
}

int TableDisplayFd() {
  return fl_display ? ConnectionNumber(fl_display) : -1;
}

bool TableReady() {
  return fl_display && Fl::ready() != 0;
}

void TableCheck() {
  try {
    Fl::check();
  } catch (...) {
    // A callback of ours raised; the event it handled is lost, the loop goes on.
  }
}

void TableMessageBox(const char* text, const char* caption, unsigned type) {
  try {
    ShowMessageWindow(text, caption, type);
  } catch (...) {
  }
}

const UiPlatform kTable = {TableOpenDisplay, TableDisplayFd, TableReady, TableCheck,
                           TableMessageBox};

}  // namespace

void ShowModal(Fl_Window& window) {
  if (!OpenDisplay() || window.shown()) return;
  int x, y, w, h;
  Fl::screen_xywh(x, y, w, h, 0);
  window.position(x + (w - window.w()) / 2, y + (h - window.h()) / 2);
  window.size_range(window.w(), window.h(), window.w(), window.h());
  window.set_modal();
  WindowHints hints = InternHints();
  window.show();
  SetHints(fl_xid(&window), hints);
  RunMessageLoopUntil([&window] { return !window.shown(); });
  // The caller may not run the loop again soon: take the window off the screen now.
  XFlush(fl_display);
}

}  // namespace platform::fltk

extern "C" __attribute__((visibility("default"))) const platform::UiPlatform* PictossUiPlatform() {
  return &platform::fltk::kTable;
}
