// GNOME Shell's focused window, one of the ways of windows.h: GNOME Shell tells no other program
// its windows, so the Pictoss extension (gnome-shell-extension/) answers on the session bus,
// where it is enabled, with the frame as the screen shows it in stage pixels. UI thread only.
#pragma once

#include <string>

#include "platform/wayland/windows.h"

namespace platform::wayland {

// The id that the focused window found this way has.
inline constexpr std::uint32_t kShellFocusedWindow = 2;

// The extension's UUID, which names its folder.
inline constexpr const char* kGnomeShellExtension = "pictoss@brindlemoor";

// Whether GNOME Shell runs the session (it owns org.gnome.Shell on the session bus).
bool GnomeShellSession();

// The focused window as the one window of the tree, in the stage's pixels (tree->span); false
// with *error saying how to enable the extension where it does not answer.
bool ReadGnomeShellTree(WindowTree* tree, std::string* error);

}  // namespace platform::wayland
