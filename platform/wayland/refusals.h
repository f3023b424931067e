// What the desktops' screenshot portals need before a picture, and what their refusals mean to
// the person at the keyboard. KDE's portal writes into the XDG Pictures folder and answers
// "cancelled" without one, and it ends (which the portal reports as "denied") where
// plasma-workspace is missing. GNOME's portal asks once for every program outside a sandbox and
// stores the answer; a stored "no" refuses every later picture at once. The user-interface
// thread only.
#pragma once

#include <string>

#include "platform/wayland/portal.h"

namespace platform::wayland {

struct PortalFacts {
  bool kde = false;  // KDE's portal serves the request
};

// Learns which portal serves the request and makes what it needs (KDE: the Pictures folder);
// false with *why set when that cannot be made.
bool PreparePortal(PortalFacts* facts, std::string* why);

// Rewrites shot.error of a refusal into what went wrong and what to do about it.
void ExplainRefusal(const PortalFacts& facts, Screenshot* shot);

// The command that stores "yes" again.
inline constexpr const char* kAllowCommand = "pictoss allow-screenshots";

}  // namespace platform::wayland
