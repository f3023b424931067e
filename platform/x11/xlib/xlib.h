// Xlib, for the user-interface toolkit (FLTK) alone: its connection to the display with error
// handlers that keep the process through X errors and a server that goes away, and the few
// requests its dialogs make beyond FLTK's own. Compiled into the user-interface module, so that
// a process without windows never maps Xlib; the rest of the X11 display talks XCB (x11.h).
// Threading: the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>

struct _XDisplay;

namespace platform::x11 {

// A connection of its own to the display in DISPLAY. X errors on it are ignored (requests with a
// reply fail by their status), and a server that goes away gives the connection up instead of
// ending the process; Close then frees it.
class OwnConnection {
 public:
  OwnConnection() = default;
  ~OwnConnection() { Close(); }
  OwnConnection(const OwnConnection&) = delete;
  OwnConnection& operator=(const OwnConnection&) = delete;

  // Opens a connection to DISPLAY when none is open and returns the open one; nullptr when there
  // is no display.
  struct _XDisplay* Open();
  // Closes the connection, also one whose server has gone (Xlib then only frees its memory).
  void Close();
  struct _XDisplay* display() const {
    return display_;
  }
  // The server went away during a request: Xlib must not touch the connection again.
  bool broken() const { return broken_; }
  // Puts our error handlers in front again: a toolkit that opened a connection since may have
  // put its own there.
  static void GuardErrors();

 private:
  friend void MarkBroken(OwnConnection& connection);
  struct _XDisplay* display_ = nullptr;
  std::string name_;
  bool broken_ = false;
};

// The window-manager hints of a dialog: a utility window (small caption bar) that can be moved
// and closed but not resized, minimized or maximized. Intern them before the window is shown
// (interning waits for the server) and set them right after, before anything flushes the map
// request, so that the window manager sees them when it manages the window.
struct DialogHints {
  std::uint32_t window_type = 0, utility = 0, motif_hints = 0;
};
DialogHints InternDialogHints(struct _XDisplay* display);
void SetDialogHints(struct _XDisplay* display, std::uint32_t window, const DialogHints& hints);
// Sends the requests queued on the connection.
void Flush(struct _XDisplay* display);
// Points a graphics context that a toolkit made on an earlier connection, and keeps for the
// process, at a new context of display's server with the default values.
void RebindGc(struct _XDisplay* display, void* gc);

}  // namespace platform::x11
