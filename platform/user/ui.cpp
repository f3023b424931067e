#include "platform/user/ui.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>

#include "platform/user/messageloop.h"
#include "platform/x11/x11.h"

namespace platform {

bool OpenUiDisplay() {
  if (fl_display) return true;
  // FLTK's own opening ends the process when it fails, so open the connection here and hand
  // it over.
  Display* display = x11::OpenToolkitDisplay();
  if (!display) return false;
  fl_open_display(display);
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
  RunMessageLoopUntil([&window] { return !window.shown(); });
  // The caller may not run the loop again soon: take the window off the screen now.
  x11::Flush(fl_display);
}

}  // namespace platform
