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

// Which code runs the per-pixel work; every choice gives the same bytes. Each kernel falls back
// to the next narrower one that the processor runs: kAvx512 to kAvx2 (also where a task has no
// AVX-512 kernel), kAvx2 to the portable code.
enum class PixelKernel { kBest, kPortable, kAvx2, kAvx512 };

// True when this processor runs the AVX2 kernels.
inline bool HasAvx2Kernels() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// True when this processor runs the AVX-512 kernels (with byte permutes).
inline bool HasAvx512Kernels() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vbmi");
  return has;
}

inline bool UseAvx2(PixelKernel kernel) {
  return kernel != PixelKernel::kPortable && HasAvx2Kernels();
}

inline bool UseAvx512(PixelKernel kernel) {
  return (kernel == PixelKernel::kBest || kernel == PixelKernel::kAvx512) && HasAvx512Kernels();
}

}  // namespace pictoss
