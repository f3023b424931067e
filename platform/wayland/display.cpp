// The Wayland display: the desktop portal's picture behind the drawing layer's display table,
// with the outputs from the compositor and the windows from the desktop (windows.h). Captures
// take a picture first and read it until they end; the screen has 32-bit pixels, blue in the low
// byte, and no colour map.
#include "platform/wayland/permission.h"
#include "platform/wayland/portal.h"
#include "platform/wayland/screen.h"
#include "platform/wayland/windows.h"

namespace platform {
namespace wayland {
namespace {

class WaylandScreen final : public Display {
 public:
  const char* name() const override { return "wayland"; }
  bool Usable(std::string* why) override { return ScreenshotPortalAvailable(why); }

  ScreenInfo Screen() override {
    ScreenInfo s;
    Rect r;
    s.connected = ScreenOutputRect(&r, nullptr);
    s.root = kDesktopWindow;
    if (s.connected) s.primary = r;
    return s;
  }
  // No Dpi: the portal's picture is in device pixels, whatever the desktop's scale, and the
  // default dpi keeps the screen's twips at one pixel each 15.
  bool WindowRect(std::uint32_t window, bool client, Rect* rect) override {
    return wayland::WindowRect(window, client, rect);
  }
  std::uint32_t ActiveWindow() override { return FocusedWindow(); }
  bool Read(const Rect& rect, const BandSink& sink) override {
    return ReadScreen(rect, [&](const std::uint8_t* rows, int stride, int count) {
      sink({rows, stride, 0, count});
    });
  }

  CaptureFailure BeginCapture(CaptureTarget target, const CaptureWait& wait,
                              std::string* why) override;
  void EndCapture() override { ReleasePicture(); }
  bool AllowCaptures(std::string* why) override { return AllowScreenshots(why); }
};

CaptureFailure WaylandScreen::BeginCapture(CaptureTarget target, const CaptureWait& wait,
                                           std::string* why) {
  bool window = target == CaptureTarget::kForegroundWindow;
  if (window && !SessionWindowFinder()) {
    *why = kNoWindowFinder;
    return CaptureFailure::kUnavailable;
  }
  Screenshot shot = HoldPicture(wait, window);
  *why = shot.error;
  switch (shot.outcome) {
    case Outcome::kOk:
      return CaptureFailure::kNone;
    case Outcome::kNoPortal:
      return CaptureFailure::kUnavailable;
    case Outcome::kCancelled:
      return CaptureFailure::kCancelled;
    case Outcome::kDenied:
      return CaptureFailure::kDenied;
    default:
      return CaptureFailure::kFailed;
  }
}

}  // namespace
}  // namespace wayland

}  // namespace platform

extern "C" PLATFORM_API platform::Display* PictossDisplay() {
  static auto* display = new platform::wayland::WaylandScreen;  // lives until exit, like the
  return display;                                               // picture it holds
}
