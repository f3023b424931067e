// Bilinear interpolation between two 24-bit pixel grids in memory (the DIB layout: blue, green,
// red; rows of bytesPerScanLine bytes, row 0 first). The caller owns both buffers; nothing here
// allocates pixel memory or keeps a pointer after returning. Reentrant: no shared state apart
// from a read-only choice of instruction set made once.
#pragma once

#include <cstdint>
#include <string_view>

#include "imaging/pixel_grid.h"
#include "platform/base/windef.h"

namespace pictoss {

// Fills every pixel of target (its padding untouched) with the bilinear interpolation of
// source: scale factors and sample positions in single precision, each of the two passes
// (vertical, then horizontal) rounded half to even from a double-precision weighted sum.
// Raises 9 (subscript out of range) with errorSource when a sample would fall outside the
// source's rows or scan-line bytes, or when either grid has no memory; nothing is written then.
// Requires: target's bytes for width x height pixels exist.
void BilinearInterpolate(const ConstPixelGrid& source, const PixelGrid& target,
                         std::u16string_view errorSource, PixelKernel kernel = PixelKernel::kBest);

namespace detail {

// The weight (in units of 2^-24) that blends every pair of bytes a, b exactly as
// round((1 - f) * a + f * b) does in double precision, halves to even: exposed for tests.
std::uint32_t FixedWeight(float f);

// round(a + (b - a) * weight / 2^24), halves to even, for bytes a and b.
constexpr BYTE BlendFixed(std::uint32_t a, std::uint32_t b, std::uint32_t weight) {
  std::uint32_t u = a * ((1u << 24) - weight) + b * weight;  // at most 255 * 2^24: no overflow
  std::uint32_t q = (u + (1u << 23)) >> 24;
  if ((u & 0xFFFFFFu) == (1u << 23)) q &= ~1u;  // an exact half goes to the even neighbour
  return static_cast<BYTE>(q);
}

}  // namespace detail

}  // namespace pictoss
