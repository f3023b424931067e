// Screen capture: copies the whole primary screen or the foreground window (frame included)
// into a new bitmap, with a copy of the system palette on 256-colour palette screens, and wraps
// both in a picture object that owns them. The hidden holder `main` keeps the last picture.
// Errors are raised as platform::RuntimeError with the module's source; where the screen cannot
// be read at all (under Wayland without the desktop portal, or a picture the portal refused),
// the captures raise an error that names the cause rather than make an empty picture.
// UI thread only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/gdi/display.h"
#include "platform/gdi/gdi.h"
#include "platform/jpeg/jpeg.h"
#include "platform/ole/object.h"
#include "platform/ole/picture.h"

namespace pictoss {

// Raised when there is nothing to capture: no display, a server that went away during the
// capture, a screen that changed size during it, no window in front. The description says
// which; the dialogs raise the same number when they have no display to show on.
inline constexpr std::int32_t kNothingToCaptureError = 26002;

// A picture that owns the bitmap and the palette (0 for none), or none when the platform
// refuses them.
platform::Ref<Picture> MakeBitmapPicture(HBITMAP hBmp, HPALETTE hPal);

// Copies lWidthSrc × lHeightSrc pixels at (lLeft, lTop) of the window's DC (its client area when
// bClient, else the whole window) into a new bitmap of the screen's format. Raises
// kNothingToCaptureError when the server goes away during the copy.
platform::Ref<Picture> GrabWindowRect(HWND hWndSrc, bool bClient, std::int32_t lLeft,
                                      std::int32_t lTop, std::int32_t lWidthSrc,
                                      std::int32_t lHeightSrc);

// The whole primary screen at its size in pixels. Raises kNothingToCaptureError without a
// display.
platform::Ref<Picture> GrabFullScreen();

// The foreground window with its frame. Raises kNothingToCaptureError without a display or a
// window in front, 6 when its width or height does not fit 32 bits.
platform::Ref<Picture> GrabForegroundWindow();

// The window and the size of a capture.
struct GrabTarget {
  HWND hWnd;
  std::int32_t lWidth;
  std::int32_t lHeight;
};

// GrabWindowRect of the target (whole window, from its origin) in one pass with the JPEG
// encode: the screen goes into the DIB section selected into hDibDC, which has the target's
// size, and is encoded into props (initialised, with JPGWidth, JPGHeight and jquality set) on
// every core, band by band as the strips come in; the picture made takes on the DIB section's
// pixels instead of a copy. None when the one pass cannot be made here (then the caller grabs,
// copies and encodes step by step).
platform::Ref<Picture> GrabEncoded(const GrabTarget& target, HDC hDibDC,
                                   JPEG_CORE_PROPERTIES& props);

// One capture of the whole screen or of the foreground window, as GrabFullScreen and
// GrabForegroundWindow make it, in two halves: the constructor reads the screen where the back
// end takes a picture (raising, as they do, where the screen cannot be read) and computes the
// window and the size; while the object lives, Grab or GrabEncoded copies them.
class ScreenGrab {
 public:
  explicit ScreenGrab(bool fullScreen);
  const GrabTarget& target() const { return target_; }
  // GrabWindowRect of the target (whole window, from its origin). Raises kNothingToCaptureError
  // when the screen changed size meanwhile, where the picture would be cut short or black.
  platform::Ref<Picture> Grab() const;
  // GrabEncoded of the target.
  platform::Ref<Picture> GrabEncoded(HDC hDibDC, JPEG_CORE_PROPERTIES& props) const;

 private:
  platform::ScreenCapture capture_;
  GrabTarget target_{};
};

// The hidden holder form `main` with its one picture box: it keeps a reference to the last
// captured picture and gives the same object back.
class PictureBox {
 public:
  const platform::Ref<::Picture>& Picture() const { return picture_; }
  void SetPicture(platform::Ref<::Picture> picture) { picture_ = std::move(picture); }

 private:
  platform::Ref<::Picture> picture_;
};

class HolderForm {
 public:
  std::u16string Caption() const { return u"Form1"; }
  PictureBox Picture1;
};

// The one holder, created hidden on first use and kept while the module is loaded.
HolderForm& main();

}  // namespace pictoss
