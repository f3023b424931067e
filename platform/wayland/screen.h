// The screen of a Wayland session as the drawing layer sees it: geometry from the compositor
// (outputs through xdg-output) and the desktop (windows, windows.h), pixels from the desktop
// portal's picture. Screen coordinates are the picture's pixels; the screen is the output that
// holds the focused window where that is known, else the first. A picture taken for a capture is
// held, with the geometry of that moment, until it is released; reads without one take a picture
// of their own. UI thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/wayland/output_layout.h"
#include "platform/wayland/portal.h"

namespace platform::wayland {

// The desktop window's handle. The desktops' window ids start above it.
inline constexpr std::uint32_t kDesktopWindow = 1;

// How long a capture waits for the portal's picture: long enough for a person to answer the
// permission dialog that GNOME shows on the first capture.
inline constexpr std::chrono::milliseconds kPictureTimeout{120000};

// Why the window in front cannot be found on a desktop that tells no windows.
inline constexpr const char* kNoWindowFinder =
    "capturing the active window is not available on this desktop (sway, KDE Plasma, GNOME with "
    "the Pictoss extension, and Xwayland for X11 windows tell which window it is); \"/xptfull\" "
    "works";

// The screen output in picture pixels; false with *why set when the outputs cannot be read.
bool ScreenOutputRect(Rect* rect, std::string* why);

// A window's rectangle (its frame, or its content for `client`) in picture pixels; false for
// an unknown window, or where the desktop does not tell its windows.
bool WindowRect(std::uint32_t window, bool client, Rect* rect);

// The focused window where the desktop tells it, or 0.
std::uint32_t FocusedWindow();

// Hands the rectangle's rows (which must lie in the picture) to sink: 32-bit pixels, blue,
// green, red, unused, `stride` bytes a row. False when no picture can be had.
bool ReadScreen(const Rect& rect,
                const std::function<void(const std::uint8_t* rows, int stride, int count)>& sink);

// Takes a picture now (waiting through `wait`) and holds it, with the outputs and windows of this
// moment, for every call above until ReleasePicture; holds nest. The result tells why when there is
// none (and then nothing is held); with `windows_needed`, where the desktop cannot tell its
// windows, no picture is taken.
Screenshot HoldPicture(const Wait& wait, bool windows_needed);
void ReleasePicture();

}  // namespace platform::wayland
