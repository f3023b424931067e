#include "platform/user/fltk/fltk_ui.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>

#include <cstdint>
#include <cstdio>
#include <exception>

#include "platform/user/messageloop.h"
#include "platform/user/ui_module.h"
#include "platform/x11/x11.h"

namespace platform::fltk {
namespace {

// FLTK's connection: one of the x11 layer's own, so that a server going away gives it up
// instead of ending the process. FLTK uses it for the rest of the process; it is never closed.
x11::OwnConnection& UiConnection() {
  static auto* connection = new x11::OwnConnection;
  return *connection;
}

bool displayLost = false;

}  // namespace

bool OpenDisplay() {
  if (DisplayLost()) return false;
  if (fl_display) return true;
  // FLTK's own opening ends the process when it fails, so open the connection here and hand
  // it over.
  Display* display = UiConnection().Open();
  if (!display) return false;
  fl_open_display(display);
  // FLTK has put its own error handlers in, which end the process when the server goes away.
  x11::OwnConnection::GuardErrors();
  return true;
}

bool DisplayLost() {
  if (displayLost || !fl_display) return displayLost;
  const x11::OwnConnection& connection = UiConnection();
  if (!connection.broken() && !x11::PeerClosed(ConnectionNumber(fl_display))) return false;
  // Xlib leaves a lost connection unused; FLTK must stop waiting on it too.
  displayLost = true;
  Fl::remove_fd(ConnectionNumber(fl_display));
  return true;
}

namespace {

// The table that the platform library's message loop and message box use.
bool TableOpenDisplay() {
  try {
    return OpenDisplay();
  } catch (...) {
    return false;
  }
}

int TableDisplayFd() {
  return fl_display && !DisplayLost() ? ConnectionNumber(fl_display) : -1;
}

bool TableDisplayLost() {
  return DisplayLost();
}

bool TableReady() {
  return fl_display && !DisplayLost() && Fl::ready() != 0;
}

// What raised in a callback is reported; the event it handled is lost, the loop goes on.
void Report(const char* where) {
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pictoss: %s failed: %s\n", where, e.what());
  } catch (...) {
    std::fprintf(stderr, "pictoss: %s failed\n", where);
  }
}

void TableCheck() {
  try {
    Fl::check();
  } catch (...) {
    Report("a window's event");
  }
}

void TableMessageBox(const char* text, const char* caption, unsigned type) {
  try {
    ShowMessageWindow(text, caption, type);
  } catch (...) {
    Report("the message box");
    std::fprintf(stderr, "[%s] %s\n", caption, text);
  }
}

const UiPlatform kTable = {TableOpenDisplay, TableDisplayFd, TableDisplayLost,
                           TableReady,       TableCheck,     TableMessageBox};

}  // namespace

void ShowModal(Fl_Window& window) {
  if (!OpenDisplay() || window.shown()) return;
  int x, y, w, h;
  Fl::screen_xywh(x, y, w, h, 0);
  window.position(x + (w - window.w()) / 2, y + (h - window.h()) / 2);
  window.size_range(window.w(), window.h(), window.w(), window.h());
  window.set_modal();
  const x11::DialogHints hints = x11::InternDialogHints(fl_display);
  window.show();
  x11::SetDialogHints(fl_display, static_cast<std::uint32_t>(fl_xid(&window)), hints);
  RunMessageLoopUntil([&window] { return !window.shown() || DisplayLost(); });
  // The caller may not run the loop again soon: take the window off the screen now.
  if (!DisplayLost()) x11::Flush(fl_display);
}

}  // namespace platform::fltk

extern "C" __attribute__((visibility("default"))) const platform::UiPlatform* PictossUiPlatform() {
  return &platform::fltk::kTable;
}
