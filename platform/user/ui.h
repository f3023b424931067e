// The user-interface runtime's window services for the dialogs and the message box: FLTK's
// connection to the display, its fonts, and modal showing. The caller owns the window;
// ShowModal only shows it and waits. A server that goes away never ends the process: FLTK's
// connection is then given up, and the next window opens a connection to the server that
// DISPLAY names by then. User-interface thread only.
#pragma once

#include "platform/base/windef.h"

class Fl_Window;

namespace platform {

// Opens the display connection that the windows use (the one named by DISPLAY) unless it is
// open already and its server still there. False when there is no display to show a window on;
// nothing is shown then.
PLATFORM_API bool OpenUiDisplay();

// Gives up FLTK's connection when its server has gone away: hides FLTK's windows, drops what
// FLTK keeps for that server (fonts, graphics context) and stops watching the connection.
// Returns true when it did. The message loop calls it, so that a dead connection is neither
// polled nor waited on.
PLATFORM_API bool ForgetLostUiDisplay();

// The FLTK font number of a font by its FLTK name (" Verdana", "BVerdana"), registered on
// first use; fonts made here are dropped with a lost connection and opened anew on the next.
PLATFORM_API int UiFont(const char* name);

// Shows the window as a fixed-size modal utility window without an owner, centred on the
// primary screen, and runs the message loop until the window is hidden (by its close box or by
// one of its buttons). Returns false, with the window hidden, when the display's server went
// away first. Requires: OpenUiDisplay() returned true; the window is not shown.
PLATFORM_API bool ShowModal(Fl_Window& window);

}  // namespace platform
