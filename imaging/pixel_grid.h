// Pixel grids in memory as the imaging code sees them: 24-bit pixels (blue, green, red), rows
// of bytesPerScanLine bytes, row 0 first. A grid only names memory that someone else owns.
// The kernel choice lets tests run every code path on one machine.
#pragma once

#include "platform/base/windef.h"

namespace pictoss {

// A grid of height rows of bytesPerScanLine bytes at bits, holding width pixels a row.
struct ConstPixelGrid {
  const BYTE* bits;
  LONG bytesPerScanLine;
  LONG width;
  LONG height;
};

struct PixelGrid {
  BYTE* bits;
  LONG bytesPerScanLine;
  LONG width;
  LONG height;
};

// Which code runs the per-pixel work; every choice gives the same bytes. kAvx2 falls back to
// the portable code on a processor without AVX2.
enum class PixelKernel { kBest, kPortable, kAvx2 };

// True when this processor runs the AVX2 kernels.
inline bool HasAvx2Kernels() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

inline bool UseAvx2(PixelKernel kernel) {
  return kernel != PixelKernel::kPortable && HasAvx2Kernels();
}

}  // namespace pictoss
