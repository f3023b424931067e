#include "platform/user/fltk/fltk_ui.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "platform/user/messageloop.h"
#include "platform/user/ui_module.h"
#include "platform/x11/x11.h"
#include "platform/x11/xlib/xlib.h"

namespace platform::fltk {
namespace {

// FLTK's connection: one of the x11 layer's own, so that a server going away gives it up
// instead of ending the process. A lost one is never closed, only kept reachable: FLTK's input
// method keeps referring to the connection it was opened on. A request on it does nothing.
x11::OwnConnection* connection = nullptr;
std::vector<x11::OwnConnection*>* lostConnections = nullptr;

// The fonts registered through Font, by name, beside FLTK's built-in ones.
std::map<std::string, Fl_Font>& Fonts() {
  static auto* fonts = new std::map<std::string, Fl_Font>;
  return *fonts;
}

// Each font caches the sizes it opened on the connection; another name and back makes FLTK
// drop them, so that the next connection opens its own.
void DropFontCache(Fl_Font font) {
  const char* name = Fl::get_font(font);
  if (!name) return;
  Fl::set_font(font, "");
  Fl::set_font(font, name);
}

// FLTK draws every window with one graphics context that it makes once, for the process; after
// a lost server it is bound to a context of the next one.
GC keptGc = nullptr;

}  // namespace

bool OpenDisplay() {
  ForgetLostDisplay();
  if (fl_display) return true;
  if (!connection) connection = new x11::OwnConnection;
  // FLTK's own opening ends the process when it fails, so open the connection here and hand
  // it over.
  ::Display* display = connection->Open();
  if (!display) return false;
  fl_open_display(display);
  // FLTK has put its own error handlers in, which end the process when the server goes away.
  x11::OwnConnection::GuardErrors();
  if (keptGc) x11::RebindGc(display, keptGc);
  Fl::call_screen_init();
  return true;
}

bool ForgetLostDisplay() {
  if (!fl_display || !connection) return false;
  if (!connection->broken() && !x11::PeerClosed(ConnectionNumber(fl_display))) return false;
  // Hiding makes requests of a dead connection, which do nothing, and frees FLTK's own records.
  for (int i = 0; i < 1000 && Fl::first_window(); ++i) Fl::first_window()->hide();
  for (int font = 0; font < FL_FREE_FONT; ++font) DropFontCache(static_cast<Fl_Font>(font));
  for (const auto& [name, font] : Fonts()) DropFontCache(font);
  if (fl_gc) keptGc = fl_gc;
  fl_gc = nullptr;
  Fl::remove_fd(ConnectionNumber(fl_display));
  if (!lostConnections) lostConnections = new std::vector<x11::OwnConnection*>;
  lostConnections->push_back(connection);
  connection = nullptr;
  fl_display = nullptr;
  return true;
}

Fl_Font Font(const std::string& name) {
  auto [it, added] =
      Fonts().emplace(name, static_cast<Fl_Font>(FL_FREE_FONT + static_cast<int>(Fonts().size())));
  // FLTK keeps the name's pointer; the map's key lives as long as the process.
  if (added) Fl::set_font(it->second, it->first.c_str());
  return it->second;
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

// A dead connection would read as ready for ever: it is given up before it is waited on.
int TableDisplayFd() {
  ForgetLostDisplay();
  return fl_display ? ConnectionNumber(fl_display) : -1;
}

bool TableReady() {
  ForgetLostDisplay();
  return fl_display && Fl::ready() != 0;
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

const UiPlatform kTable = {TableOpenDisplay, TableDisplayFd, TableReady, TableCheck,
                           TableMessageBox};

}  // namespace

bool ShowModal(Fl_Window& window) {
  if (!OpenDisplay() || window.shown()) return false;
  int x, y, w, h;
  Fl::screen_xywh(x, y, w, h, 0);
  window.position(x + (w - window.w()) / 2, y + (h - window.h()) / 2);
  window.size_range(window.w(), window.h(), window.w(), window.h());
  window.set_modal();
  const x11::DialogHints hints = x11::InternDialogHints(fl_display);
  window.show();
  x11::SetDialogHints(fl_display, static_cast<std::uint32_t>(fl_xid(&window)), hints);
  bool lost = false;
  RunMessageLoopUntil([&window, &lost] {
    lost = ForgetLostDisplay() || !fl_display;
    return lost || !window.shown();
  });
  if (lost) {
    window.hide();
    return false;
  }
  // The quit message ends the loop with the window still open: it closes as if dismissed.
  if (window.shown()) window.hide();
  // The caller may not run the loop again soon: take the window off the screen now.
  x11::Flush(fl_display);
  return true;
}

}  // namespace platform::fltk

extern "C" __attribute__((visibility("default"))) const platform::UiPlatform* PictossUiPlatform() {
  return &platform::fltk::kTable;
}
