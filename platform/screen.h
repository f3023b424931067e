// Where the screen's pixels and geometry come from: the X server, or in a Wayland session the
// desktop portal (see platform/portal/screen.h). The drawing and window calls ask here, never
// the back ends themselves. The choice is made at run time: PICTOSS_CAPTURE=x11 or =portal
// forces one; otherwise a Wayland session whose session bus offers the Screenshot portal uses
// the portal, a Wayland session without one can read nothing, and everything else uses X11.
// Threading: the user-interface thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/windef.h"
#include "platform/x11.h"

namespace platform {

enum class ScreenSource {
  kX11,
  kPortal,
  kNoPortal,  // a Wayland session without a screenshot portal: nothing can be read
  kUnknown,   // PICTOSS_CAPTURE names no back end
};

// The back end in use now; *why (when given) says why nothing can be read.
PLATFORM_API ScreenSource CurrentScreenSource(std::string* why = nullptr);

// One capture's reading of the screen. It raises, with the given source, the errors that a
// capture must not hide behind an empty picture: no back end, the portal missing, refusing or
// not answering, or (for the foreground window) no way to know that window on this desktop.
// Under the portal the picture is taken here, and the screen's DCs show it while this lives.
class PLATFORM_API ScreenCapture {
 public:
  enum class Target { kFullScreen, kForegroundWindow };
  ScreenCapture(Target target, std::u16string_view source);
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

 private:
  bool held_ = false;
};

namespace screen {

// The calls of x11.h that the drawing layer uses, answered by the back end in use. With no
// back end the screen is not connected and reads fail.
x11::ScreenInfo Screen();
bool WindowRect(std::uint32_t window, bool client, x11::Rect* rect);
std::uint32_t ActiveTopLevel();
double XftDpi();
int ReadColormap(int start, int count, std::uint8_t* rgb);
bool ReadRoot(const x11::Rect& rect, const std::function<void(const x11::Band&)>& sink);
bool ReadRootShared(const x11::Rect& rect, std::uint8_t* dest, int stride);

}  // namespace screen
}  // namespace platform
