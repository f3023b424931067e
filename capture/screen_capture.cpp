#include "capture/screen_capture.h"

#include <algorithm>

#include "platform/base/lasterror.h"
#include "platform/base/parallel.h"
#include "platform/base/text.h"
#include "platform/gdi/display.h"
#include "platform/gdi/screen.h"
#include "platform/gdi/screen_bands.h"
#include "platform/runtime/errors.h"
#include "platform/runtime/numbers.h"
#include "platform/user/messageloop.h"
#include "platform/user/window.h"
#include "product/product.h"

namespace pictoss {
namespace {

constexpr std::u16string_view kSource = product::kModuleSource.wide();

[[noreturn]] void RaiseMissing(std::u16string_view what) {
  throw platform::RuntimeError(kNothingToCaptureError, std::u16string(kSource),
                               std::u16string(what));
}

void RequireDisplay() {
  if (GetDesktopWindow() == 0) {
    RaiseMissing(
        u"No display is available to capture the screen from (DISPLAY is not set or "
        u"its X server cannot be reached)");
  }
}

// The portal's answer is waited for as every wait of the plug-in is: dispatching the thread's
// messages.
void WaitDispatching(int fd, std::chrono::milliseconds most) {
  int source = platform::AddMessageSource(fd, [] {});
  platform::WaitMessage(most);
  platform::RemoveMessageSource(source);
  platform::DoEvents();
}

// Raises, with the cause, where the screen cannot be read (a Wayland session without its
// portal, a refused picture): never an empty picture for that. Under the portal the picture
// is taken here, and the calls that follow read it while the result lives.
void CheckCapture(const platform::ScreenCapture& capture) {
  using Failure = platform::ScreenCapture::Failure;
  std::int32_t number = platform::kInvalidProcedureCall;
  switch (capture.failure()) {
    case Failure::kNone:
      return;
    case Failure::kCancelled:
      number = platform::kUserInterrupt;
      break;
    case Failure::kDenied:
      number = platform::kPermissionDenied;
      break;
    default:
      break;
  }
  throw platform::RuntimeError(number, std::u16string(kSource), platform::FromAnsi(capture.why()));
}

}  // namespace

platform::Ref<Picture> MakeBitmapPicture(HBITMAP hBmp, HPALETTE hPal) {
  PICTDESC pic{20, PICTYPE_BITMAP, hBmp, hPal};
  return OleCreatePictureIndirect(pic, /*own=*/true);
}

platform::Ref<Picture> GrabWindowRect(HWND hWndSrc, bool bClient, std::int32_t lLeft,
                                      std::int32_t lTop, std::int32_t lWidthSrc,
                                      std::int32_t lHeightSrc) {
  HDC hDCSrc = bClient ? GetDC(hWndSrc) : GetWindowDC(hWndSrc);
  HDC hDCMemory = CreateCompatibleDC(hDCSrc);
  HBITMAP hBmp = CreateCompatibleBitmap(hDCSrc, lWidthSrc, lHeightSrc);
  HGDIOBJ hBmpPrev = SelectObject(hDCMemory, hBmp);

  bool bHasPaletteScrn = (GetDeviceCaps(hDCSrc, RASTERCAPS) & RC_PALETTE) != 0;
  bool bPalette = bHasPaletteScrn && GetDeviceCaps(hDCSrc, SIZEPALETTE) == 256;
  HPALETTE hPal = 0, hPalPrev = 0;
  if (bPalette) {
    LOGPALETTE256 tLogPal{0x300, 256, {}};
    GetSystemPaletteEntries(hDCSrc, 0, 256, tLogPal.palPalEntry);
    hPal = CreatePalette(reinterpret_cast<const LOGPALETTE*>(&tLogPal));
    hPalPrev = SelectPalette(hDCMemory, hPal, FALSE);
    RealizePalette(hDCMemory);
  }

  SetLastError(0);
  // The one failure that is reported: the server went away, and the picture would be empty.
  const bool bServerLost =
      !BitBlt(hDCMemory, 0, 0, lWidthSrc, lHeightSrc, hDCSrc, lLeft, lTop, SRCCOPY) &&
      (GetLastError() == ERROR_DEVICE_NOT_CONNECTED || GetDesktopWindow() == 0);

  // What comes back from deselecting is the captured bitmap (and palette). When it was never
  // selected (no memory DC), the handle made above is still the one to hand on, not lost.
  if (HGDIOBJ hBack = SelectObject(hDCMemory, hBmpPrev)) hBmp = hBack;
  if (bPalette) {
    if (HPALETTE hBack = SelectPalette(hDCMemory, hPalPrev, FALSE)) hPal = hBack;
  }
  DeleteDC(hDCMemory);
  ReleaseDC(hWndSrc, hDCSrc);

  platform::Ref<Picture> picture = bServerLost ? nullptr : MakeBitmapPicture(hBmp, hPal);
  if (!picture) {  // nobody else would ever free them
    if (hBmp) DeleteObject(hBmp);
    if (hPal) DeleteObject(hPal);
  }
  if (bServerLost) RaiseMissing(u"The X server went away during the capture");
  return picture;
}

// The window and the size that GrabFullScreen and GrabForegroundWindow read. Raises
// kNothingToCaptureError without a display, or for the foreground window without one in front.
GrabTarget Target(bool fullScreen) {
  RequireDisplay();
  if (fullScreen) {
    HWND hWnd = GetDesktopWindow();
    // The screen's own size in pixels. Its size in twips divided by whole twips per pixel cuts
    // the picture short or widens it wherever 1440 is not a multiple of the dpi.
    std::int32_t lWidth = GetSystemMetrics(SM_CXSCREEN);
    std::int32_t lHeight = GetSystemMetrics(SM_CYSCREEN);
    return {hWnd, lWidth, lHeight};
  }
  HWND hWnd = GetForegroundWindow();
  RECT tRect{0, 0, 0, 0};
  if (hWnd == 0 || !GetWindowRect(hWnd, &tRect)) {
    RaiseMissing(u"No window is in the foreground to capture");
  }
  std::int32_t lWidth = platform::CheckedSub(tRect.right, tRect.left, kSource);
  std::int32_t lHeight = platform::CheckedSub(tRect.bottom, tRect.top, kSource);
  return {hWnd, lWidth, lHeight};
}

ScreenGrab::ScreenGrab(bool fullScreen)
    : capture_(fullScreen ? platform::ScreenCapture::Target::kFullScreen
                          : platform::ScreenCapture::Target::kForegroundWindow,
               WaitDispatching) {
  CheckCapture(capture_);
  target_ = Target(fullScreen);
}

platform::Ref<Picture> ScreenGrab::Grab() const {
  platform::Ref<Picture> picture =
      GrabWindowRect(target_.hWnd, false, 0, 0, target_.lWidth, target_.lHeight);
  if (capture_.ScreenChanged()) {
    RaiseMissing(u"The screen changed size during the capture: capture it again at its new size");
  }
  return picture;
}

platform::Ref<Picture> ScreenGrab::GrabEncoded(HDC hDibDC, JPEG_CORE_PROPERTIES& props) const {
  return pictoss::GrabEncoded(target_, hDibDC, props);
}

platform::Ref<Picture> GrabEncoded(const GrabTarget& target, HDC hDibDC,
                                   JPEG_CORE_PROPERTIES& props) {
  const int threads =
      platform::ThreadsWorthFor(std::int64_t{target.lWidth} * std::max(target.lHeight, 0));
  // Bands are taken in turn, so a thread that gets on faster (the other one shares its core with
  // the X server) takes more of them; with a thread's reader going on from band to band, three a
  // thread took 0.7 ms off a one-shot capture at 1920 x 1080 against one a thread.
  constexpr int kBandsPerThread = 3;
  int bandRows = 0, bands = 0;
  if (ijlStartBands(&props, threads > 1 ? threads * kBandsPerThread : 1, &bandRows, &bands) !=
      IJL_OK)
    return nullptr;
  HDC hDCSrc = GetWindowDC(target.hWnd);
  platform::Ref<Picture> picture;
  auto encode = [&](int band, const BYTE* const* rows, int count) {
    return ijlWriteBand(&props, band, rows, count) == IJL_OK;
  };
  if (hDCSrc && BitBltBands(hDibDC, hDCSrc, 0, 0, bandRows, bands, threads, encode) &&
      ijlFinishBands(&props) == IJL_OK) {
    // The picture's bitmap, in the screen's format, takes on the DIB section's pixels: the
    // copy below shares them rather than copying.
    HDC hDCMemory = CreateCompatibleDC(hDCSrc);
    HBITMAP hBmp = CreateCompatibleBitmap(hDCSrc, target.lWidth, target.lHeight);
    HGDIOBJ hBmpPrev = SelectObject(hDCMemory, hBmp);
    const bool copied =
        hBmpPrev && BitBlt(hDCMemory, 0, 0, target.lWidth, target.lHeight, hDibDC, 0, 0, SRCCOPY);
    if (hBmpPrev) SelectObject(hDCMemory, hBmpPrev);
    DeleteDC(hDCMemory);
    if (copied) picture = MakeBitmapPicture(hBmp, 0);
    if (!picture && hBmp) DeleteObject(hBmp);
  }
  ReleaseDC(target.hWnd, hDCSrc);
  return picture;
}

platform::Ref<Picture> GrabFullScreen() {
  return ScreenGrab(true).Grab();
}

platform::Ref<Picture> GrabForegroundWindow() {
  return ScreenGrab(false).Grab();
}

HolderForm& main() {
  static HolderForm form;
  return form;
}

}  // namespace pictoss
