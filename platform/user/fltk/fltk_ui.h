// The FLTK side of the platform's user interface, inside the user-interface module: FLTK's
// display connection and modal showing, for the message box and the dialogs' views. The caller
// owns the window; ShowModal only shows it and waits. User-interface thread only.
#pragma once

#include <FL/Enumerations.H>

#include <string>

class Fl_Window;

namespace platform::fltk {

// Opens FLTK's connection to the display named by DISPLAY unless it is open; this is the one
// place where FLTK's display is opened. False when there is no display to show a window on.
bool OpenDisplay();

// Gives up FLTK's connection when its server has gone away: hides FLTK's windows, drops what
// FLTK keeps for that server (fonts, graphics context) and stops waiting on the connection; the
// next OpenDisplay opens one to the server that DISPLAY names by then. True when it did.
bool ForgetLostDisplay();

// The FLTK font number of a font by its FLTK name (" Verdana", "BVerdana"), registered on
// first use; its sizes opened on a lost connection are dropped with it.
Fl_Font Font(const std::string& name);

// Shows the window as a fixed-size modal utility window without an owner, centred on the
// primary screen, and runs the message loop until the window is hidden (by its close box or by
// one of its buttons). Returns false, with the window hidden, when the display's server went
// away first. Requires: OpenDisplay() returned true; the window is not shown.
bool ShowModal(Fl_Window& window);

// Shows the message box window; returns when it has been closed.
void ShowMessageWindow(const char* text, const char* caption, unsigned type);

}  // namespace platform::fltk
