// RandomiseBits for both DIB section classes: grey or colour noise over the whole picture,
// from a sequence seeded anew on every call by the time of day.

#include "imaging/dib_section.h"
#include "imaging/noise.h"

namespace pictoss {

void DIBSectionBase::RandomiseBits(bool bGray) {
  const std::uint32_t seed = SeedFromSeconds(SecondsSinceMidnight());
  // A cleared object keeps reporting its last size; there is no memory to write then.
  if (lBitsPtr == nullptr) return;
  GdiFlush();  // bitmaps copied from this one keep their pixels
  FillNoise({static_cast<BYTE*>(lBitsPtr), BytesPerScanLine(), Width(), Height()}, bGray, seed);
}

}  // namespace pictoss
