// Offering the clipboard's content to other programs through the X CLIPBOARD selection.
// Internal to the platform layer: the clipboard calls Offer when its content changes; this side
// owns its own X connection and window and answers requests from the message loop.
// Threading: the user-interface thread only (the thread that runs the message loop).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

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

// Takes the CLIPBOARD selection of the display in DISPLAY and serves the offer from the message
// loop until the next Offer or until another program takes the selection. Returns false when
// there is no display or the selection could not be taken.
bool OfferClipboard(ClipboardOffer offer);

}  // namespace platform
