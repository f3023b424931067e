// The DIB section object: one 24-bit DIB section kept selected into a memory DC of its own, so
// that pictures can be blitted into it and its pixels addressed directly. The object owns its
// DC and its DIB section and frees both in ClearUp and when destroyed.
//
// Pixel layout: 3 bytes a pixel in the order blue, green, red; each row BytesPerScanLine bytes,
// that is 3 x width rounded up to a multiple of 4; rows bottom-up (the row at
// DIBSectionBitsPtr is the bottom row of the picture).
//
// Threading: used on the thread that created it, by one caller at a time.
#pragma once

#include <memory>

#include "platform/gdi/gdi.h"
#include "platform/ole/dispatch.h"
#include "platform/ole/object.h"
#include "platform/ole/picture.h"

namespace pictoss {

// Bytes per row of a 24-bit DIB of the given width, in checked 32-bit arithmetic: raises the
// overflow error (6) with the given source when 3 x width + 3 does not fit.
LONG DibStride(LONG width, std::u16string_view source);

// Both DIB section classes share this implementation; each has its own automation description
// (dib_section_dispatch.cpp) and its own Resample.
class DIBSectionBase : public platform::Dispatch {
 public:
  ~DIBSectionBase() override;

  bool CopyToClipboard(bool bAsDIB = true);
  bool CreateDIB(HDC lhDC, LONG lWidth, LONG lHeight, HBITMAP& hDib);
  void CreateFromPicture(const Picture* picThis);
  bool Create(LONG lWidth, LONG lHeight);
  LONG BytesPerScanLine() const;
  LONG Width() const { return tBitmapInfo.bmiHeader.biWidth; }
  LONG Height() const { return tBitmapInfo.bmiHeader.biHeight; }
  void LoadPictureBlt(HDC lhDC, LONG lSrcLeft = 0, LONG lSrcTop = 0, LONG lSrcWidth = -1,
                      LONG lSrcHeight = -1, DWORD eRop = SRCCOPY);
  void PaintPicture(HDC lhDC, LONG lDestLeft = 0, LONG lDestTop = 0, LONG lDestWidth = -1,
                    LONG lDestHeight = -1, LONG lSrcLeft = 0, LONG lSrcTop = 0,
                    DWORD eRop = SRCCOPY);
  HDC hdc() const { return hMemDC; }
  HBITMAP hDib() const { return hDibSection; }
  LONG_PTR DIBSectionBitsPtr() const { return reinterpret_cast<LONG_PTR>(lBitsPtr); }
  void RandomiseBits(bool bGray = false);
  void ClearUp();

  const BITMAPINFO& bitmapInfo() const { return tBitmapInfo; }

 protected:
  // "Vorlick.cDIBSection" or "Vorlick.cDIBSection2": where this class's errors arise.
  explicit DIBSectionBase(std::u16string_view errorSource);
  // Fills target, already created at the new size, by bilinear interpolation of this picture.
  void InterpolateInto(DIBSectionBase& target) const;
  // The shared body of Resample: Create on target, then copy or interpolate. Returns false
  // when target could not be created.
  bool ResampleInto(DIBSectionBase& target, LONG lNewHeight, LONG lNewWidth) const;

 private:
  HBITMAP hDibSection = 0;
  HBITMAP hOldBitmap = 0;
  HDC hMemDC = 0;
  void* lBitsPtr = nullptr;
  BITMAPINFO tBitmapInfo{};
  std::u16string_view errorSource_;
};

class cDIBSection : public DIBSectionBase {
 public:
  cDIBSection();
  // A new object of this picture at the new size, or no object when it cannot be created.
  platform::Ref<cDIBSection> Resample(LONG lNewHeight, LONG lNewWidth) const;
  const platform::ClassDesc& GetTypeInfo() const override;
};

class cDIBSection2 : public DIBSectionBase {
 public:
  cDIBSection2();
  platform::Ref<cDIBSection2> Resample(LONG lNewHeight, LONG lNewWidth) const;
  const platform::ClassDesc& GetTypeInfo() const override;
};

}  // namespace pictoss
