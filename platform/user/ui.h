// The user-interface runtime's window services for the dialogs and the message box: FLTK's
// connection to the display, and modal showing. The caller owns the window; ShowModal only
// shows it and waits. User-interface thread only.
#pragma once

#include "platform/base/windef.h"

class Fl_Window;

namespace platform {

// Opens the display connection that the windows use (the one named by DISPLAY) unless it is
// open already. False when there is no display to show a window on; nothing is shown then.
PLATFORM_API bool OpenUiDisplay();

// The windows' server went away. The process goes on; windows are not shown again (OpenUiDisplay
// returns false) and a modal window's loop ends as if the window had been closed.
PLATFORM_API bool UiDisplayLost();

// Shows the window as a fixed-size modal utility window without an owner, centred on the
// primary screen, and runs the message loop until the window is hidden (by its close box or by
// one of its buttons, or the server going away). Requires: OpenUiDisplay() returned true; the
// window is not shown.
PLATFORM_API void ShowModal(Fl_Window& window);

}  // namespace platform
