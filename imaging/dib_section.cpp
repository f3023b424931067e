#include "imaging/dib_section.h"

#include "platform/runtime/errors.h"
#include "platform/runtime/numbers.h"
#include "platform/user/clipboard.h"
#include "platform/user/messagebox.h"
#include "platform/user/window.h"

namespace pictoss {

namespace {

constexpr std::u16string_view kSource = u"Vorlick.cDIBSection";
constexpr std::u16string_view kSource2 = u"Vorlick.cDIBSection2";

// The platform's run-time error for a member call on no object.
constexpr std::int32_t kObjectNotSet = 91;

static_assert(sizeof(BITMAPINFOHEADER) == 40, "biSize is the header's size on every platform");

// The screen's device context, borrowed from the desktop window and given back on destruction.
class ScreenDC {
 public:
  ScreenDC() : window_(GetDesktopWindow()), dc_(GetDC(window_)) {}
  ~ScreenDC() { Release(); }
  ScreenDC(const ScreenDC&) = delete;
  ScreenDC& operator=(const ScreenDC&) = delete;

  HDC get() const { return dc_; }
  void Release() {
    if (dc_ != 0) ReleaseDC(window_, dc_);
    dc_ = 0;
  }

 private:
  HWND window_;
  HDC dc_;
};

}  // namespace

LONG DibStride(LONG width, std::u16string_view source) {
  LONG bytes = platform::CheckedMul(width, 3, source);
  return platform::CheckedAdd(bytes, 3, source) & ~LONG{3};
}

DIBSectionBase::DIBSectionBase(std::u16string_view errorSource) : errorSource_(errorSource) {}

DIBSectionBase::~DIBSectionBase() {
  ClearUp();
}

cDIBSection::cDIBSection() : DIBSectionBase(kSource) {}

cDIBSection2::cDIBSection2() : DIBSectionBase(kSource2) {}

LONG DIBSectionBase::BytesPerScanLine() const {
  return DibStride(Width(), errorSource_);
}

bool DIBSectionBase::CreateDIB(HDC lhDC, LONG lWidth, LONG lHeight, HBITMAP& hDib) {
  BITMAPINFOHEADER& header = tBitmapInfo.bmiHeader;
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = lWidth;
  header.biHeight = lHeight;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage =
      static_cast<DWORD>(platform::CheckedMul(header.biHeight, BytesPerScanLine(), errorSource_));
  hDib = CreateDIBSection(lhDC, &tBitmapInfo, DIB_RGB_COLORS, &lBitsPtr, 0, 0);
  return hDib != 0;
}

bool DIBSectionBase::Create(LONG lWidth, LONG lHeight) {
  ClearUp();
  hMemDC = CreateCompatibleDC(0);
  if (hMemDC == 0) return false;
  // An overflow raised here leaves hMemDC without a DIB; ClearUp deletes it later.
  if (CreateDIB(hMemDC, lWidth, lHeight, hDibSection)) {
    hOldBitmap = SelectObject(hMemDC, hDibSection);
    return true;
  }
  DeleteDC(hMemDC);
  hMemDC = 0;
  lBitsPtr = nullptr;
  return false;
}

void DIBSectionBase::CreateFromPicture(const Picture* picThis) {
  if (picThis == nullptr)
    throw platform::RuntimeError(kObjectNotSet, std::u16string(errorSource_),
                                 u"Object variable or With block variable not set");
  // A handle that is not a bitmap leaves the record zero, and Create refuses 0 x 0.
  BITMAP record{};
  GetObjectA(picThis->Handle(), sizeof(BITMAP), &record);
  if (!Create(record.bmWidth, record.bmHeight)) return;

  ScreenDC screen;
  if (screen.get() == 0) return;
  HDC tempDC = CreateCompatibleDC(screen.get());
  screen.Release();
  if (tempDC == 0) return;
  HGDIOBJ kept = SelectObject(tempDC, picThis->Handle());
  LoadPictureBlt(tempDC, 0, 0, -1, -1, SRCCOPY);
  SelectObject(tempDC, kept);
  DeleteDC(tempDC);
}

void DIBSectionBase::LoadPictureBlt(HDC lhDC, LONG lSrcLeft, LONG lSrcTop, LONG lSrcWidth,
                                    LONG lSrcHeight, DWORD eRop) {
  if (lSrcWidth < 0) lSrcWidth = Width();
  if (lSrcHeight < 0) lSrcHeight = Height();
  BitBlt(hMemDC, 0, 0, lSrcWidth, lSrcHeight, lhDC, lSrcLeft, lSrcTop, eRop);
}

void DIBSectionBase::PaintPicture(HDC lhDC, LONG lDestLeft, LONG lDestTop, LONG lDestWidth,
                                  LONG lDestHeight, LONG lSrcLeft, LONG lSrcTop, DWORD eRop) {
  if (lDestWidth < 0) lDestWidth = Width();
  if (lDestHeight < 0) lDestHeight = Height();
  BitBlt(lhDC, lDestLeft, lDestTop, lDestWidth, lDestHeight, hMemDC, lSrcLeft, lSrcTop, eRop);
}

bool DIBSectionBase::CopyToClipboard(bool bAsDIB) {
  ScreenDC screen;
  if (screen.get() == 0) return false;
  HDC tempDC = CreateCompatibleDC(screen.get());
  if (tempDC == 0) return false;
  bool copied = false;
  if (bAsDIB) {
    MessageBoxW(0, u"I don't know how to put a DIB on the clipboard! Copy as bitmap instead!!!",
                u"Pictoss", MB_OK);
  } else if (HBITMAP bitmap = CreateCompatibleBitmap(screen.get(), Width(), Height())) {
    HGDIOBJ kept = SelectObject(tempDC, bitmap);
    PaintPicture(tempDC, 0, 0, -1, -1, 0, 0, SRCCOPY);
    SelectObject(tempDC, kept);
    if (OpenClipboard(0)) {
      EmptyClipboard();
      copied = SetClipboardData(CF_BITMAP, bitmap) != 0;
      CloseClipboard();
    }
    // A bitmap that the clipboard did not take over is still ours.
    if (!copied) DeleteObject(bitmap);
  }
  DeleteDC(tempDC);
  return copied;
}

void DIBSectionBase::ClearUp() {
  if (hMemDC != 0) {
    if (hDibSection != 0) {
      SelectObject(hMemDC, hOldBitmap);
      DeleteObject(hDibSection);
    }
    DeleteDC(hMemDC);
  }
  hMemDC = 0;
  hDibSection = 0;
  hOldBitmap = 0;
  lBitsPtr = nullptr;
}

}  // namespace pictoss
