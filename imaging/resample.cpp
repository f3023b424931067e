// Resample and its interpolation for both DIB section classes: a new object at the new size,
// a plain copy when the size stays, bilinear interpolation of the pixels otherwise.

#include "imaging/bilinear.h"
#include "imaging/dib_section.h"
#include "platform/runtime/errors.h"

namespace pictoss {

void DIBSectionBase::InterpolateInto(DIBSectionBase& target) const {
  const ConstPixelGrid source{static_cast<const BYTE*>(lBitsPtr), BytesPerScanLine(), Width(),
                              Height()};
  const PixelGrid dest{static_cast<BYTE*>(target.lBitsPtr), target.BytesPerScanLine(),
                       target.Width(), target.Height()};
  BilinearInterpolate(source, dest, errorSource_);
}

bool DIBSectionBase::ResampleInto(DIBSectionBase& target, LONG lNewHeight, LONG lNewWidth) const {
  if (!target.Create(lNewWidth, lNewHeight)) return false;
  // A cleared object, or one whose creation failed, still reports its last size: without
  // pixels there is nothing to copy or interpolate, and a blank picture would pass for one.
  if (lBitsPtr == nullptr) platform::RaiseError(platform::kSubscriptOutOfRange, errorSource_);
  if (lNewWidth == Width() && lNewHeight == Height()) {
    target.LoadPictureBlt(hdc(), 0, 0, -1, -1, SRCCOPY);
  } else {
    InterpolateInto(target);
  }
  return true;
}

// On an error the reference to the new object goes with the unwinding, and the object with it.
platform::Ref<cDIBSection> cDIBSection::Resample(LONG lNewHeight, LONG lNewWidth) const {
  auto target = platform::MakeRef<cDIBSection>();
  if (!ResampleInto(*target, lNewHeight, lNewWidth)) return nullptr;
  return target;
}

platform::Ref<cDIBSection2> cDIBSection2::Resample(LONG lNewHeight, LONG lNewWidth) const {
  auto target = platform::MakeRef<cDIBSection2>();
  if (!ResampleInto(*target, lNewHeight, lNewWidth)) return nullptr;
  return target;
}

}  // namespace pictoss
