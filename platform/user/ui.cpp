#include "platform/user/ui.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>

#include "platform/user/messageloop.h"
#include "platform/x11/x11.h"

namespace platform {
namespace {

// FLTK's connection: one of the x11 layer's own, so that a server going away gives it up
// instead of ending the process. FLTK uses it for the rest of the process; it is never closed.
x11::OwnConnection& UiConnection() {
  static auto* connection = new x11::OwnConnection;
  return *connection;
}

bool displayLost = false;

}  // namespace

bool OpenUiDisplay() {
  if (UiDisplayLost()) return false;
  if (fl_display) return true;
  // FLTK's own opening ends the process when it fails, so open the connection here and hand
  // it over.
  Display* display = UiConnection().Open();
  if (!display) return false;
  fl_open_display(display);
  return true;
}

bool UiDisplayLost() {
  if (displayLost || !fl_display) return displayLost;
  const x11::OwnConnection& connection = UiConnection();
  if (!connection.broken() && !x11::PeerClosed(ConnectionNumber(fl_display))) return false;
  // Xlib leaves a lost connection unused; FLTK must stop waiting on it too.
  displayLost = true;
  Fl::remove_fd(ConnectionNumber(fl_display));
  return true;
}

void ShowModal(Fl_Window& window) {
  if (!OpenUiDisplay() || window.shown()) return;
  int x, y, w, h;
  Fl::screen_xywh(x, y, w, h, 0);
  window.position(x + (w - window.w()) / 2, y + (h - window.h()) / 2);
  window.size_range(window.w(), window.h(), window.w(), window.h());
  window.set_modal();
  const x11::DialogHints hints = x11::InternDialogHints(fl_display);
  window.show();
  x11::SetDialogHints(fl_display, static_cast<std::uint32_t>(fl_xid(&window)), hints);
  RunMessageLoopUntil([&window] { return !window.shown() || UiDisplayLost(); });
  // The caller may not run the loop again soon: take the window off the screen now.
  if (!UiDisplayLost()) x11::Flush(fl_display);
}

}  // namespace platform
