// The desktop portal's stored answer to "may programs take screenshots?", for every program
// outside a sandbox at once (app id ""): the permission store's table "screenshot", entry
// "screenshot" (org.freedesktop.impl.portal.PermissionStore on the session bus). GNOME asks once
// and stores the answer there; a stored "no" makes the portal refuse every later picture at once.
// The user-interface thread only.
#pragma once

#include <string>

namespace platform::wayland {

enum class Permission { kUnknown, kUnset, kYes, kNo };

Permission StoredScreenshotPermission();

// Stores "yes", as a person's Allow does; false with *why set when it cannot.
bool AllowScreenshots(std::string* why);

}  // namespace platform::wayland
