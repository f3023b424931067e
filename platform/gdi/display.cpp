// What a display answers where it has nothing to say: the null display's answers, which every
// back end starts from.
#include "platform/gdi/display.h"

namespace platform {

bool Display::Usable(std::string*) {
  return true;
}

DisplayStatus Display::GetStatus() {
  return {};
}

int Display::ReadColormap(int, int, std::uint8_t*) {
  return 0;
}

bool Display::WindowRect(std::uint32_t, bool, ScreenRect*) {
  return false;
}

bool Display::Read(const ScreenRect&, const BandSink&) {
  return false;
}

CaptureFailure Display::BeginCapture(CaptureTarget, const CaptureWait&, std::string*) {
  return CaptureFailure::kNone;
}

bool Display::AllowCaptures(std::string* why) {
  *why = std::string("the ") + name() + " display keeps no permission for captures";
  return false;
}

bool NullDisplay::Usable(std::string* why) {
  if (why) *why = why_;
  return false;
}

DisplayStatus NullDisplay::GetStatus() {
  return {DisplayStatus::Level::kNothing, why_};
}

CaptureFailure NullDisplay::BeginCapture(CaptureTarget, const CaptureWait&, std::string* why) {
  *why = why_;
  return CaptureFailure::kUnavailable;
}

}  // namespace platform
