// Offering the clipboard's content to other programs through the X CLIPBOARD selection.
// Internal to the X11 display, whose ClipboardOwner it is: the clipboard offers its content there;
// this side owns its own X connection and window and answers requests when the caller's event
// loop finds the connection readable.
// Threading: the user-interface thread only (the thread that runs the message loop).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/gdi/display.h"

namespace platform::x11 {

using ClipboardBytes = platform::ClipboardBytes;
using ClipboardOffer = platform::ClipboardOffer;
using FdWatch = platform::FdWatch;

// Takes the CLIPBOARD selection of the display in DISPLAY and serves the offer from the event
// loop that watch names, until the next offer or until another program takes the selection.
// Returns false when there is no display or the selection could not be taken.
bool OfferClipboard(ClipboardOffer offer, FdWatch watch);

}  // namespace platform::x11
