// The bilinear resampler written out step by step, one checked byte at a time, with no
// shortcut: the yardstick that the resampling tests and benchmark hold BilinearInterpolate
// against. Header-only, for tests and benchmarks; not part of the library.
#pragma once

#include <cmath>
#include <cstddef>
#include <string_view>

#include "imaging/bilinear.h"
#include "platform/runtime/errors.h"

namespace pictoss::reference {

// A grid of bytes, rows x bytesPerScanLine, whose every access is checked.
class CheckedBytes {
 public:
  CheckedBytes(BYTE* bits, LONG rows, LONG bytesPerRow, std::u16string_view source)
      : bits_(bits), rows_(rows), bytesPerRow_(bytesPerRow), source_(source) {}
  BYTE& at(LONG row, LONG column) const {
    if (bits_ == nullptr || row < 0 || row >= rows_ || column < 0 || column >= bytesPerRow_)
      platform::RaiseError(platform::kSubscriptOutOfRange, source_);
    return bits_[std::size_t(row) * std::size_t(bytesPerRow_) + std::size_t(column)];
  }

 private:
  BYTE* bits_;
  LONG rows_;
  LONG bytesPerRow_;
  std::u16string_view source_;
};

inline double RoundHalfEven(double v) {
  return std::nearbyint(v);
}

inline void Interpolate(const ConstPixelGrid& source, const PixelGrid& target,
                        std::u16string_view errorSource) {
  CheckedBytes src(const_cast<BYTE*>(source.bits), source.height, source.bytesPerScanLine,
                   errorSource);
  CheckedBytes dst(target.bits, target.height, target.bytesPerScanLine, errorSource);
  const float sx = static_cast<float>(double(source.width - 1) / double(target.width));
  const float sy = static_cast<float>(double(source.height - 1) / double(target.height));
  for (LONG y = 0; y < target.height; ++y) {
    const float py = static_cast<float>(double(sy) * double(y));
    const LONG iy = static_cast<LONG>(std::floor(py));
    const float fy = py - static_cast<float>(iy);
    for (LONG x = 0; x < target.width; ++x) {
      const float px = static_cast<float>(double(sx) * double(x));
      const LONG ix = static_cast<LONG>(std::floor(px));
      const float fx = px - static_cast<float>(ix);
      for (LONG ch = 0; ch < 3; ++ch) {
        const double a = src.at(iy, 3 * ix + ch);
        const double b = src.at(iy, 3 * (ix + 1) + ch);
        const double c = src.at(iy + 1, 3 * ix + ch);
        const double d = src.at(iy + 1, 3 * (ix + 1) + ch);
        const double left = RoundHalfEven((1.0 - double(fy)) * a + double(fy) * c);
        const double right = RoundHalfEven((1.0 - double(fy)) * b + double(fy) * d);
        double v = RoundHalfEven((1.0 - double(fx)) * left + double(fx) * right);
        if (v < 0) v = 0;
        if (v > 255) v = 255;
        dst.at(y, 3 * x + ch) = static_cast<BYTE>(v);
      }
    }
  }
}

}  // namespace pictoss::reference
