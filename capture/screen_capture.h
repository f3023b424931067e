// Screen capture: copies the whole primary screen or the foreground window (frame included)
// into a new bitmap, with a copy of the system palette on 256-colour palette screens, and wraps
// both in a picture object that owns them. The hidden holder `main` keeps the last picture.
// Errors are raised as platform::RuntimeError with the module's source. UI thread only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/gdi/gdi.h"
#include "platform/ole/object.h"
#include "platform/ole/picture.h"

namespace pictoss {

// Raised when there is nothing to capture: no display, a server that went away during the
// capture, no window in front. The description says which; the dialogs raise the same number
// when they have no display to show on.
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
