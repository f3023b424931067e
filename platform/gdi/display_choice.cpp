// Which display the calls use: the one place that names the back ends. PICTOSS_CAPTURE=x11 or
// =portal forces one; otherwise a Wayland session whose session bus offers the desktop portal
// uses the Wayland display, a Wayland session without one the null display, and everything else
// X11. A capture makes the choice once and holds it until it ends; outside a capture the choice
// is remade when its inputs change, and at least every second.
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/debug.h"
#include "platform/base/modules.h"
#include "platform/gdi/display.h"
#include "platform/gdi/display_for_tests.h"

namespace platform {

// The back ends, each defined in its own folder.
Display& X11Backend();

namespace {

using Clock = std::chrono::steady_clock;

// Asking the session bus for the portal costs a round trip; the calls of a capture ask often.
constexpr auto kChoiceCacheTime = std::chrono::seconds(1);

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The displays that running captures hold, innermost last.
std::vector<Display*>& Held() {
  static auto* held = new std::vector<Display*>;
  return *held;
}

// A null display that says why. Each reason's display is kept (there are a few at most), so
// that a display handed out stays valid whatever is chosen later.
Display& Null(const std::string& why) {
  static auto* nulls = new std::vector<std::unique_ptr<NullDisplay>>;
  for (auto& null : *nulls)
    if (null->why() == why) return *null;
  return *nulls->emplace_back(std::make_unique<NullDisplay>(why));
}

// The Wayland display is a module of its own, loaded the first time a Wayland session asks for
// it: an X11 session never maps its libraries (sd-bus, the Wayland client, libpng).
Display& WaylandBackend() {
  static Display* display = []() -> Display* {
    std::string error;
    auto entry = reinterpret_cast<DisplayModuleEntry>(
        ModuleEntry("pictoss_wayland.so", kDisplayModuleEntry, &error));
    Display* loaded = entry ? entry() : nullptr;
    if (loaded) return loaded;
    DebugLine("display", "the Wayland display cannot be loaded: %s", error.c_str());
    return &Null("the Wayland display cannot be loaded (" + error + ")");
  }();
  return *display;
}

Display& Choose() {
  const std::string forced = Env("PICTOSS_CAPTURE");
  if (forced == "x11") return X11Backend();
  if (forced == "portal") return WaylandBackend();
  if (!forced.empty())
    return Null("PICTOSS_CAPTURE must be \"x11\" or \"portal\", not \"" + forced + "\"");
  if (!WaylandSession()) return X11Backend();
  std::string why;
  if (WaylandBackend().Usable(&why)) return WaylandBackend();
  return Null("this is a Wayland session, where only the desktop portal can read the screen, and " +
              why);
}

// A test's display, in place of every choice.
Display* for_tests = nullptr;

}  // namespace

bool WaylandSession() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* session = std::getenv("XDG_SESSION_TYPE");
  return (wayland && *wayland) || (session && std::string_view(session) == "wayland");
}

void UseDisplayForTests(Display* display) {
  for_tests = display;
}

Display& CurrentDisplay() {
  if (!Held().empty()) return *Held().back();
  if (for_tests) return *for_tests;
  static Display* choice = nullptr;
  static std::string inputs;
  static Clock::time_point chosen_at;
  std::string now_inputs = Env("PICTOSS_CAPTURE") + '\n' + Env("WAYLAND_DISPLAY") + '\n' +
                           Env("XDG_SESSION_TYPE") + '\n' + Env("DBUS_SESSION_BUS_ADDRESS");
  auto now = Clock::now();
  if (!choice || now_inputs != inputs || now - chosen_at >= kChoiceCacheTime) {
    Display* was = std::exchange(choice, &Choose());
    if (choice != was) {
      std::string why;
      if (choice->Usable(&why))
        DebugLine("display", "the %s display reads the screen", choice->name());
      else
        DebugLine("display", "nothing can be read: %s", why.c_str());
    }
    inputs = now_inputs;
    chosen_at = now;
  }
  return *choice;
}

DisplayStatus CurrentDisplayStatus() {
  return CurrentDisplay().GetStatus();
}

// Through the X server, in a Wayland session too: the compositor hands XWayland's clipboard on to
// the Wayland programs.
ClipboardOwner* SessionClipboard() {
  return (for_tests ? *for_tests : X11Backend()).clipboard_owner();
}

// The permission lives with the desktop portal, which only the Wayland display talks to.
bool AllowScreenCaptures(std::string* why) {
  return WaylandBackend().AllowCaptures(why);
}

ScreenCapture::ScreenCapture(Target target, const Wait& wait) : display_(&CurrentDisplay()) {
  Held().push_back(display_);
  failure_ = display_->BeginCapture(target, wait, &why_);
  if (failure_ == Failure::kNone) primary_ = display_->Screen().primary;
}

bool ScreenCapture::ScreenChanged() const {
  if (failure_ != Failure::kNone) return false;
  const ScreenInfo now = display_->ScreenAnew();
  return now.connected && now.primary != primary_;
}

ScreenCapture::~ScreenCapture() {
  if (failure_ == Failure::kNone) display_->EndCapture();
  Held().pop_back();
}

}  // namespace platform
