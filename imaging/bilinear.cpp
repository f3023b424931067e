#include "imaging/bilinear.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include <immintrin.h>

#include "platform/runtime/errors.h"

// Why integers give the bytes of the double-precision recipe: with a fraction f and bytes a, b,
// (1 - f) * a + f * b is exact in double precision whenever f >= 2^-9 (f then has no bits below
// 2^-32, so every product and the sum fit in 53 bits); for a smaller f it lies within 0.499 of
// a and rounds to a. So each pass is round(a + f * (b - a)) taken exactly. A fraction on the
// 2^-24 grid is used as it is (FixedWeight); one below it (possible only for positions under
// 0.5) is replaced by a neighbour on the grid that rounds all 255 differences the same way.

namespace pictoss {
namespace {

// Target columns are planned and filled a strip at a time, which bounds the memory of the
// plan whatever the target's width.
constexpr LONG kStripColumns = 2048;

struct Window {
  std::uint32_t base;         // offset of the first sample byte the run reads
  bool mayHaveHalves;         // some weight of the run can make an exact half
  alignas(16) BYTE low[16];   // shuffle picking sample i out of bytes base..base+15, or 0x80
  alignas(16) BYTE high[16];  // the same out of bytes base+16..base+31
};

// The sample positions of one strip of target columns. Offsets count from firstByte, the
// strip's lowest sample byte in a source row.
struct Strip {
  LONG first = 0;  // target columns first .. first + count - 1
  LONG count = 0;
  std::size_t firstByte = 0;
  std::size_t spanBytes = 0;              // bytes from firstByte that the columns reach
  std::vector<std::uint32_t> byteOffset;  // per target byte: the left sample's byte
  std::vector<std::uint32_t> byteWeight;  // per target byte: the column's weight
  // Runs of 16 target bytes whose left samples lie within 32 bytes, one per run (a trailing
  // part run is left out); empty when some run reaches further, as in strong reductions. The
  // AVX2 kernel picks their samples out with byte shuffles.
  std::vector<Window> windows;
};

// One sample position: the grid index at or below it and the fixed weight of the next one.
struct Position {
  std::int64_t index;
  std::uint32_t weight;
};

// position = scale * i in single precision (formed in double); its whole part rounded down,
// and the single-precision rest as a weight.
Position PositionAt(float scale, LONG i) {
  float p = static_cast<float>(static_cast<double>(scale) * i);
  float whole = std::floor(p);
  return {static_cast<std::int64_t>(whole), detail::FixedWeight(p - whole)};
}

// (extent - 1) / count in double precision, stored in single precision.
float ScaleFactor(LONG extent, LONG count) {
  return static_cast<float>((static_cast<double>(extent) - 1.0) / count);
}

// Raises 9 unless every read lies inside the source grid: columns ix and ix + 1 within the
// scan line, rows iy and iy + 1 within the picture. Positions move one way only as the index
// grows, so the first and the last column and row bound all the others.
void CheckReads(const ConstPixelGrid& source, float sx, float sy, LONG w, LONG h,
                std::u16string_view errorSource) {
  for (LONG x : {LONG{0}, w - 1}) {
    const std::int64_t ix = PositionAt(sx, x).index;
    if (ix < 0 || ix * 3 + 5 >= source.bytesPerScanLine)
      platform::RaiseError(platform::kSubscriptOutOfRange, errorSource);
  }
  for (LONG y : {LONG{0}, h - 1}) {
    const std::int64_t iy = PositionAt(sy, y).index;
    if (iy < 0 || iy + 1 >= source.height)
      platform::RaiseError(platform::kSubscriptOutOfRange, errorSource);
  }
}

// A weight can make an exact half with some difference d of two bytes only when
// weight * d = 2^23 * odd, which takes at least 16 trailing zero bits in the weight.
bool MayHaveHalves(std::uint32_t weight) {
  return weight != 0 && (weight & 0xFFFFu) == 0;
}

void PlanWindows(Strip& strip) {
  strip.windows.clear();
  const std::size_t n = strip.byteOffset.size();
  for (std::size_t j0 = 0; j0 + 16 <= n; j0 += 16) {
    Window win{};
    win.base = strip.byteOffset[j0 - j0 % 3];  // the first pixel's blue sample is the lowest
    for (std::size_t i = 0; i < 16; ++i) {
      const std::uint32_t rel = strip.byteOffset[j0 + i] - win.base;
      if (rel >= 32) {
        strip.windows.clear();
        return;
      }
      win.low[i] = rel < 16 ? BYTE(rel) : BYTE(0x80);
      win.high[i] = rel >= 16 ? BYTE(rel - 16) : BYTE(0x80);
      win.mayHaveHalves = win.mayHaveHalves || MayHaveHalves(strip.byteWeight[j0 + i]);
    }
    strip.windows.push_back(win);
  }
}

// Requires: CheckReads has passed for the whole target.
void PlanStrip(float sx, LONG first, LONG count, Strip& strip) {
  strip.first = first;
  strip.count = count;
  strip.byteOffset.resize(std::size_t(count) * 3);
  strip.byteWeight.resize(std::size_t(count) * 3);
  strip.firstByte = static_cast<std::size_t>(PositionAt(sx, first).index) * 3;
  for (LONG i = 0; i < count; ++i) {
    const Position p = PositionAt(sx, first + i);
    const auto offset = static_cast<std::uint32_t>(std::size_t(p.index) * 3 - strip.firstByte);
    for (std::size_t ch = 0; ch < 3; ++ch) {
      strip.byteOffset[std::size_t(i) * 3 + ch] = offset + std::uint32_t(ch);
      strip.byteWeight[std::size_t(i) * 3 + ch] = p.weight;
    }
    strip.spanBytes = offset + 6;  // positions never decrease: the last column reaches furthest
  }
  PlanWindows(strip);
}

// f (of the form m / 2^32) and g (in the same units) round every product with 1..255 alike,
// and g makes no exact half.
bool RoundsAlike(std::uint64_t m, std::uint64_t g) {
  for (std::uint64_t d = 1; d <= 255; ++d) {
    std::uint64_t a = m * d;
    std::uint64_t b = g * d;
    if ((b & 0xFFFFFFFFu) == 0x80000000u) return false;
    if (((a + 0x80000000u) >> 32) != ((b + 0x80000000u) >> 32)) return false;
  }
  return true;
}

// ---- Portable kernels ----

void VerticalPortable(const BYTE* a, const BYTE* c, std::size_t n, std::uint32_t weight,
                      BYTE* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = detail::BlendFixed(a[i], c[i], weight);
}

void HorizontalPortable(const BYTE* v, const Strip& strip, BYTE* out, std::size_t begin,
                        std::size_t end) {
  for (std::size_t j = begin; j < end; ++j) {
    std::uint32_t off = strip.byteOffset[j];
    out[j] = detail::BlendFixed(v[off], v[off + 3], strip.byteWeight[j]);
  }
}

// Both passes per target byte straight from the two source rows a and c: for strong
// reductions, where blending whole rows first would mostly blend bytes nobody reads.
void SparsePortable(const BYTE* a, const BYTE* c, std::uint32_t rowWeight, const Strip& strip,
                    BYTE* out) {
  for (std::size_t j = 0; j < strip.byteOffset.size(); ++j) {
    const std::uint32_t off = strip.byteOffset[j];
    const BYTE left = detail::BlendFixed(a[off], c[off], rowWeight);
    const BYTE right = detail::BlendFixed(a[off + 3], c[off + 3], rowWeight);
    out[j] = detail::BlendFixed(left, right, strip.byteWeight[j]);
  }
}

// ---- AVX2 kernels: eight 32-bit lanes, the same integer steps as BlendFixed ----

template <bool kHalves = true>
__attribute__((target("avx2"))) inline __m256i Blend8(__m256i a, __m256i b, __m256i weight) {
  // a * 2^24 + (b - a) * weight: the low 32 bits of the signed product are enough, the exact
  // sum lies in 0..255 * 2^24.
  __m256i u = _mm256_add_epi32(_mm256_slli_epi32(a, 24),
                               _mm256_mullo_epi32(_mm256_sub_epi32(b, a), weight));
  __m256i q = _mm256_srli_epi32(_mm256_add_epi32(u, _mm256_set1_epi32(1 << 23)), 24);
  if constexpr (!kHalves) return q;
  __m256i rest = _mm256_and_si256(u, _mm256_set1_epi32(0xFFFFFF));
  __m256i half = _mm256_cmpeq_epi32(rest, _mm256_set1_epi32(1 << 23));
  return _mm256_andnot_si256(_mm256_and_si256(half, _mm256_set1_epi32(1)), q);
}

// Four vectors of 8 lanes (each 0..255) as 32 bytes in lane order.
__attribute__((target("avx2"))) inline __m256i Pack32(__m256i q0, __m256i q1, __m256i q2,
                                                      __m256i q3) {
  __m256i w01 = _mm256_packus_epi32(q0, q1);
  __m256i w23 = _mm256_packus_epi32(q2, q3);
  __m256i bytes = _mm256_packus_epi16(w01, w23);
  return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

__attribute__((target("avx2"))) inline __m256i Widen8(const BYTE* p) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

template <bool kHalves>
__attribute__((target("avx2"))) void VerticalAvx2(const BYTE* a, const BYTE* c, std::size_t n,
                                                  std::uint32_t weight, BYTE* out) {
  const __m256i wv = _mm256_set1_epi32(static_cast<int>(weight));
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i q0 = Blend8<kHalves>(Widen8(a + i), Widen8(c + i), wv);
    __m256i q1 = Blend8<kHalves>(Widen8(a + i + 8), Widen8(c + i + 8), wv);
    __m256i q2 = Blend8<kHalves>(Widen8(a + i + 16), Widen8(c + i + 16), wv);
    __m256i q3 = Blend8<kHalves>(Widen8(a + i + 24), Widen8(c + i + 24), wv);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), Pack32(q0, q1, q2, q3));
  }
  VerticalPortable(a + i, c + i, n - i, weight, out + i);
}

void VerticalAvx2(const BYTE* a, const BYTE* c, std::size_t n, std::uint32_t weight, BYTE* out) {
  if (MayHaveHalves(weight)) {
    VerticalAvx2<true>(a, c, n, weight, out);
  } else {
    VerticalAvx2<false>(a, c, n, weight, out);
  }
}

__attribute__((target("avx2"))) inline __m256i Gather8(const BYTE* v, const std::uint32_t* off,
                                                       const std::uint32_t* weight) {
  const __m256i low = _mm256_set1_epi32(0xFF);
  __m256i idx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(off));
  __m256i l =
      _mm256_and_si256(_mm256_i32gather_epi32(reinterpret_cast<const int*>(v), idx, 1), low);
  __m256i r =
      _mm256_and_si256(_mm256_i32gather_epi32(reinterpret_cast<const int*>(v + 3), idx, 1), low);
  return Blend8(l, r, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight)));
}

// The samples of one run of 16 target bytes, out of the 32 bytes from v + base.
__attribute__((target("avx2"))) inline __m128i Pick16(const BYTE* v, const Window& win) {
  __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + win.base));
  __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + win.base + 16));
  return _mm_or_si128(
      _mm_shuffle_epi8(low, _mm_load_si128(reinterpret_cast<const __m128i*>(win.low))),
      _mm_shuffle_epi8(high, _mm_load_si128(reinterpret_cast<const __m128i*>(win.high))));
}

// Two vectors of 8 lanes (each 0..255) as 16 bytes in lane order.
__attribute__((target("avx2"))) inline __m128i Pack16(__m256i q0, __m256i q1) {
  __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(q0, q1), 0xD8);
  return _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
}

template <bool kHalves>
__attribute__((target("avx2"))) inline void BlendRun(const BYTE* v, const Window& win,
                                                     const std::uint32_t* weight, BYTE* out) {
  const __m128i left = Pick16(v, win);
  const __m128i right = Pick16(v + 3, win);
  __m256i q0 = Blend8<kHalves>(_mm256_cvtepu8_epi32(left), _mm256_cvtepu8_epi32(right),
                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight)));
  __m256i q1 = Blend8<kHalves>(_mm256_cvtepu8_epi32(_mm_srli_si128(left, 8)),
                               _mm256_cvtepu8_epi32(_mm_srli_si128(right, 8)),
                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight + 8)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Pack16(q0, q1));
}

// Requires: v has 35 readable bytes from every window's base.
__attribute__((target("avx2"))) void HorizontalWindowed(const BYTE* v, const Strip& strip,
                                                        BYTE* out, std::size_t n) {
  const std::uint32_t* wt = strip.byteWeight.data();
  std::size_t j = 0;
  for (const Window& win : strip.windows) {
    if (win.mayHaveHalves) {
      BlendRun<true>(v, win, wt + j, out + j);
    } else {
      BlendRun<false>(v, win, wt + j, out + j);
    }
    j += 16;
  }
  HorizontalPortable(v, strip, out, j, n);
}

// Requires: v has 4 readable bytes beyond every left and right sample (gathers read words).
__attribute__((target("avx2"))) void HorizontalGathered(const BYTE* v, const Strip& strip,
                                                        BYTE* out, std::size_t n) {
  const std::uint32_t* off = strip.byteOffset.data();
  const std::uint32_t* wt = strip.byteWeight.data();
  std::size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    __m256i q0 = Gather8(v, off + j, wt + j);
    __m256i q1 = Gather8(v, off + j + 8, wt + j + 8);
    __m256i q2 = Gather8(v, off + j + 16, wt + j + 16);
    __m256i q3 = Gather8(v, off + j + 24, wt + j + 24);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), Pack32(q0, q1, q2, q3));
  }
  HorizontalPortable(v, strip, out, j, n);
}

// One target row of a strip: the vertical pass over the bytes the strip reaches into
// blended, then the horizontal pass out of it.
void BlendRow(const BYTE* a, const BYTE* c, std::uint32_t rowWeight, const Strip& strip,
              BYTE* blended, BYTE* out, bool avx2) {
  if (rowWeight == 0) {
    std::memcpy(blended, a, strip.spanBytes);  // (1 - 0) * a + 0 * c is a
  } else if (avx2) {
    VerticalAvx2(a, c, strip.spanBytes, rowWeight, blended);
  } else {
    VerticalPortable(a, c, strip.spanBytes, rowWeight, blended);
  }
  const std::size_t n = strip.byteOffset.size();
  if (avx2 && !strip.windows.empty()) {
    HorizontalWindowed(blended, strip, out, n);
  } else if (avx2) {
    HorizontalGathered(blended, strip, out, n);
  } else {
    HorizontalPortable(blended, strip, out, 0, n);
  }
}

}  // namespace

namespace detail {

std::uint32_t FixedWeight(float f) {
  const double scaled = static_cast<double>(f) * 0x1p24;
  const double whole = std::floor(scaled);
  if (whole == scaled) return static_cast<std::uint32_t>(whole);
  if (f < 0x1p-9f) return 0;  // moves no byte: |f * (b - a)| < 0.499
  // Here f >= 2^-9, so f * 2^32 is a whole number. The bytes' differences round to the nearest
  // at points (k + 1/2) / d, at least 7.7e-6 apart, so one of the two neighbours on the 2^-24
  // grid lies on the same side of every such point as f.
  const auto m = static_cast<std::uint64_t>(static_cast<double>(f) * 0x1p32);
  const auto below = static_cast<std::uint32_t>(whole);
  if (RoundsAlike(m, std::uint64_t(below) << 8)) return below;
  return below + 1;
}

}  // namespace detail

void BilinearInterpolate(const ConstPixelGrid& source, const PixelGrid& target,
                         std::u16string_view errorSource, PixelKernel kernel) {
  if (source.bits == nullptr || target.bits == nullptr)
    platform::RaiseError(platform::kSubscriptOutOfRange, errorSource);
  const LONG w = target.width;
  const LONG h = target.height;
  if (w <= 0 || h <= 0) return;
  const float sx = ScaleFactor(source.width, w);
  const float sy = ScaleFactor(source.height, h);
  CheckReads(source, sx, sy, w, h, errorSource);
  const bool avx2 = UseAvx2(kernel);
  const auto stride = static_cast<std::size_t>(source.bytesPerScanLine);
  const auto targetStride = static_cast<std::size_t>(target.bytesPerScanLine);
  Strip strip;
  std::vector<BYTE> blended;
  for (LONG first = 0; first < w; first += kStripColumns) {
    PlanStrip(sx, first, std::min(kStripColumns, w - first), strip);
    // Blending the rows first pays while they reach not much further than the strip.
    const bool dense = strip.spanBytes <= 8 * strip.byteOffset.size() + 64;
    // Slack for the wide reads of the AVX2 kernels.
    if (dense) blended.resize(strip.spanBytes + 32);
    for (LONG y = 0; y < h; ++y) {
      const Position row = PositionAt(sy, y);
      const BYTE* a = source.bits + std::size_t(row.index) * stride + strip.firstByte;
      BYTE* out = target.bits + std::size_t(y) * targetStride + std::size_t(first) * 3;
      if (dense) {
        BlendRow(a, a + stride, row.weight, strip, blended.data(), out, avx2);
      } else {
        SparsePortable(a, a + stride, row.weight, strip, out);
      }
    }
  }
}

}  // namespace pictoss
