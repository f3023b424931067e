// Where the screen's pixels and geometry come from: the X server, or in a Wayland session the
// desktop portal (platform/portal). The drawing and window calls ask here, never the back ends
// themselves. The choice is made at run time: PICTOSS_CAPTURE=x11 or =portal forces one;
// otherwise a Wayland session whose session bus offers the Screenshot portal uses the portal, a
// Wayland session without one can read nothing, and everything else uses X11.
// Threading: the user-interface thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/base/windef.h"
#include "platform/x11/x11.h"

namespace platform {

enum class ScreenSource {
  kX11,
  kPortal,
  kNoPortal,  // a Wayland session without a screenshot portal: nothing can be read
  kUnknown,   // PICTOSS_CAPTURE names no back end
};

// The back end in use now; *why (when given) says why nothing can be read.
PLATFORM_API ScreenSource CurrentScreenSource(std::string* why = nullptr);

// One capture's reading of the screen: where the screen cannot be read, or (for the foreground
// window) that window cannot be known, failure() says so instead of an empty picture following.
// Under the portal the picture is taken here and the screen's DCs show it while this lives;
// `wait` blocks until the descriptor is readable or the time is up, and may dispatch the
// thread's messages meanwhile.
class PLATFORM_API ScreenCapture {
 public:
  enum class Target { kFullScreen, kForegroundWindow };
  enum class Failure { kNone, kUnavailable, kCancelled, kDenied, kFailed };
  using Wait = std::function<void(int fd, std::chrono::milliseconds most)>;

  ScreenCapture(Target target, const Wait& wait);
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  Failure failure() const { return failure_; }
  const std::string& why() const { return why_; }

 private:
  Failure failure_ = Failure::kNone;
  std::string why_;
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
