// One call to the extension's object on the shell's own connection (org.gnome.Shell).
#include "platform/wayland/gnome_shell.h"

#include "platform/wayland/bus.h"

namespace platform::wayland {
namespace {

constexpr const char* kGnomeShell = "org.gnome.Shell";
constexpr const char* kExtensionPath = "/org/brindlemoor/Pictoss";
constexpr const char* kExtensionInterface = "org.brindlemoor.Pictoss.Windows";

std::string Remedy(const std::string& what) {
  return "on GNOME the window in front can be captured when it is an X11 window, or when the "
         "GNOME Shell extension " +
         std::string(kGnomeShellExtension) + " is enabled (gnome-extensions enable " +
         kGnomeShellExtension + ", then log out and in again); here " + what +
         "; \"/xptfull\" works";
}

}  // namespace

bool GnomeShellSession() {
  std::string why;
  Bus bus = OpenSessionBus(&why);
  return bus && HasOwner(bus.get(), kGnomeShell);
}

bool ReadGnomeShellTree(WindowTree* tree, std::string* error) {
  Bus bus = OpenSessionBus(error);
  if (!bus) {
    *error = "no session bus to reach GNOME Shell: " + *error;
    return false;
  }
  BusError bus_error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus.get(), kGnomeShell, kExtensionPath, kExtensionInterface,
                             "FocusedFrame", &bus_error.e, &raw, "");
  Message reply(raw);
  if (r < 0) {
    *error = Remedy(bus_error.NoSuchMethod()
                        ? std::string("the extension is not enabled")
                        : "the extension does not answer (" + bus_error.Text(r) + ")");
    return false;
  }
  int found = 0;
  DesktopWindow w;
  *tree = {};
  if (sd_bus_message_read(reply.get(), "biiiiii", &found, &w.frame.x, &w.frame.y, &w.frame.width,
                          &w.frame.height, &tree->span_width, &tree->span_height) < 0) {
    *error = Remedy("the extension gives an answer of another version");
    return false;
  }
  if (tree->span_width <= 0 || tree->span_height <= 0) {
    *error = "GNOME Shell gives its stage no size";
    return false;
  }
  if (!found) return true;
  w.id = kShellFocusedWindow;
  w.client = w.frame;  // the extension tells the frame only
  tree->windows.push_back(w);
  tree->focused = w.id;
  return true;
}

}  // namespace platform::wayland
