#include "platform/gdi/screen_source.h"

#include <cstdlib>

#include "platform/portal/screen.h"
#include "platform/portal/sway.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Asking the session bus for the portal costs a round trip; a capture asks many times.
constexpr auto kChoiceCacheTime = std::chrono::seconds(1);

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Set while a capture holds the portal's picture: the back end cannot change under it.
int holding = 0;

ScreenSource Choose(std::string* why) {
  std::string forced = Env("PICTOSS_CAPTURE");
  if (forced == "x11") return ScreenSource::kX11;
  if (forced == "portal") return ScreenSource::kPortal;
  if (!forced.empty()) {
    *why = "PICTOSS_CAPTURE must be \"x11\" or \"portal\", not \"" + forced + "\"";
    return ScreenSource::kUnknown;
  }
  if (!WaylandSession()) return ScreenSource::kX11;
  if (portal::ScreenshotPortalAvailable(why)) return ScreenSource::kPortal;
  *why =
      "this is a Wayland session, where only the desktop portal can read the screen, and " + *why;
  return ScreenSource::kNoPortal;
}

x11::Rect ToX11(const portal::Rect& r) {
  return {r.x, r.y, r.width, r.height};
}

}  // namespace

ScreenSource CurrentScreenSource(std::string* why) {
  static ScreenSource choice = ScreenSource::kX11;
  static std::string choice_why, inputs;
  static Clock::time_point chosen_at;
  std::string now_inputs = Env("PICTOSS_CAPTURE") + '\n' + Env("WAYLAND_DISPLAY") + '\n' +
                           Env("XDG_SESSION_TYPE") + '\n' + Env("DBUS_SESSION_BUS_ADDRESS");
  auto now = Clock::now();
  if (holding == 0 && (now_inputs != inputs || now - chosen_at >= kChoiceCacheTime)) {
    choice_why.clear();
    choice = Choose(&choice_why);
    inputs = now_inputs;
    chosen_at = now;
  }
  if (why) *why = choice_why;
  return choice;
}

ScreenCapture::ScreenCapture(Target target, const Wait& wait) {
  ScreenSource choice = CurrentScreenSource(&why_);
  if (choice == ScreenSource::kX11) return;
  failure_ = Failure::kUnavailable;
  if (choice != ScreenSource::kPortal) return;
  if (target == Target::kForegroundWindow && !portal::SwaySession()) {
    why_ =
        "capturing the active window is not available on this desktop (only sway tells which "
        "window it is); \"/xptfull\" works";
    return;
  }
  portal::Screenshot shot = portal::HoldPicture(wait);
  why_ = shot.error;
  switch (shot.outcome) {
    case portal::Outcome::kOk:
      failure_ = Failure::kNone;
      held_ = true;
      ++holding;
      return;
    case portal::Outcome::kNoPortal:
      failure_ = Failure::kUnavailable;
      return;
    case portal::Outcome::kCancelled:
      failure_ = Failure::kCancelled;
      return;
    case portal::Outcome::kDenied:
      failure_ = Failure::kDenied;
      return;
    default:
      failure_ = Failure::kFailed;
      return;
  }
}

ScreenCapture::~ScreenCapture() {
  if (!held_) return;
  portal::ReleasePicture();
  --holding;
}

namespace screen {

x11::ScreenInfo Screen() {
  switch (CurrentScreenSource()) {
    case ScreenSource::kX11:
      return x11::Screen();
    case ScreenSource::kPortal: {
      x11::ScreenInfo s;  // 32-bit pixels, blue in the low byte
      portal::Rect r;
      s.connected = portal::ScreenRect(&r, nullptr);
      s.root = portal::kDesktopWindow;
      if (s.connected) s.primary = ToX11(r);
      return s;
    }
    default:
      return {};
  }
}

bool WindowRect(std::uint32_t window, bool client, x11::Rect* rect) {
  switch (CurrentScreenSource()) {
    case ScreenSource::kX11:
      return x11::WindowRect(window, client, rect);
    case ScreenSource::kPortal: {
      portal::Rect r;
      if (!portal::WindowRect(window, client, &r)) return false;
      *rect = ToX11(r);
      return true;
    }
    default:
      return false;
  }
}

std::uint32_t ActiveTopLevel() {
  switch (CurrentScreenSource()) {
    case ScreenSource::kX11:
      return x11::ActiveTopLevel();
    case ScreenSource::kPortal:
      return portal::FocusedWindow();
    default:
      return 0;
  }
}

// The portal's picture is in device pixels, whatever the desktop's scale: 96 dpi keeps the
// screen's twips at one pixel each 15.
double XftDpi() {
  return CurrentScreenSource() == ScreenSource::kX11 ? x11::XftDpi() : 0;
}

int ReadColormap(int start, int count, std::uint8_t* rgb) {
  return CurrentScreenSource() == ScreenSource::kX11 ? x11::ReadColormap(start, count, rgb) : 0;
}

bool ReadRoot(const x11::Rect& rect, const std::function<void(const x11::Band&)>& sink) {
  switch (CurrentScreenSource()) {
    case ScreenSource::kX11:
      return x11::ReadRoot(rect, sink);
    case ScreenSource::kPortal:
      return portal::ReadScreen({rect.x, rect.y, rect.width, rect.height},
                                [&](const std::uint8_t* rows, int stride, int count) {
                                  sink({rows, stride, 0, count});
                                });
    default:
      return false;
  }
}

bool ReadRootShared(const x11::Rect& rect, std::uint8_t* dest, int stride) {
  return CurrentScreenSource() == ScreenSource::kX11 && x11::ReadRootShared(rect, dest, stride);
}

}  // namespace screen
}  // namespace platform
