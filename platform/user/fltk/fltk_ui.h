// The FLTK side of the platform's user interface, inside the user-interface module: FLTK's
// display connection and modal showing, for the message box and the dialogs' views. The caller
// owns the window; ShowModal only shows it and waits. User-interface thread only.
#pragma once

class Fl_Window;

namespace platform::fltk {

// Opens FLTK's connection to the display named by DISPLAY unless it is open; this is the one
// place where FLTK's display is opened. False when there is no display to show a window on.
bool OpenDisplay();

// The server of FLTK's display went away: FLTK no longer waits on the connection, no window is
// shown again, and a modal window's loop ends as if the window had been closed.
bool DisplayLost();

// Shows the window as a fixed-size modal utility window without an owner, centred on the
// primary screen, and runs the message loop until the window is hidden (by its close box or by
// one of its buttons, or the server going away). Requires: OpenDisplay() returned true; the
// window is not shown.
void ShowModal(Fl_Window& window);

// Shows the message box window; returns when it has been closed.
void ShowMessageWindow(const char* text, const char* caption, unsigned type);

}  // namespace platform::fltk
