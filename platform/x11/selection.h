// Offering the clipboard's content to other programs through the X CLIPBOARD selection.
// Internal to the platform layer: the clipboard calls OfferClipboard when its content changes;
// this side owns its own X connection and window and answers requests when the caller's event
// loop finds the connection readable.
// Threading: the user-interface thread only (the thread that runs the message loop).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::x11 {

using ClipboardBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

struct ClipboardOffer {
  // The targets besides TARGETS and TIMESTAMP, as MIME types ("image/png"); empty for an empty
  // clipboard.
  std::vector<std::string> targets;
  // The content in one of the targets; null to refuse the request.
  std::function<ClipboardBytes(const std::string& target)> render;
  // Called when another program has taken the selection.
  std::function<void()> lost;
};

// How the caller's event loop watches the connection: add has onReadable called whenever fd is
// readable and returns an id for remove (0 when it cannot).
struct FdWatch {
  std::function<int(int fd, std::function<void()> onReadable)> add;
  std::function<void(int id)> remove;
};

// Takes the CLIPBOARD selection of the display in DISPLAY and serves the offer from the event
// loop that watch names, until the next offer or until another program takes the selection.
// Returns false when there is no display or the selection could not be taken.
bool OfferClipboard(ClipboardOffer offer, FdWatch watch);

}  // namespace platform::x11
