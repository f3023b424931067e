// The plug-in's two modal dialogs, as the dialog commands open them: each call makes a fresh
// window, shows it without an owner and returns when the user has closed it. Nothing is kept
// between calls. User-interface thread only; the call runs the message loop while it waits.
#pragma once

#include <cstdint>

namespace pictoss {

// Raised by the dialog commands when there is no display to show a window on (DISPLAY unset
// or the X server unreachable; nothing has been read or written then), or when the display's
// server went away while the dialog was open (nothing more is written then).
inline constexpr std::int32_t kNoDisplayError = 26002;

// The options dialog: edits the default delay and file name of the settings key.
// Raises: kNoDisplayError with the source "Vorlick.options".
void ShowOptionsDialog();

// The about dialog: the title, the author, the contact lines and the command list.
// Raises: kNoDisplayError with the source "Vorlick.about".
void ShowAboutDialog();

}  // namespace pictoss
