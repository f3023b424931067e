#include "imaging/noise.h"

#include <bit>
#include <cstddef>
#include <ctime>
#include <utility>

#include <immintrin.h>

namespace pictoss {
namespace {

// A bijective 32-bit mixer with low bias (multiply-xorshift): consecutive counters give
// unrelated words.
constexpr std::uint32_t Mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

void FillPortable(const PixelGrid& grid, bool gray, const NoiseSequence& noise) {
  const auto w = static_cast<std::uint32_t>(grid.width);
  const auto h = static_cast<std::uint32_t>(grid.height);
  for (std::uint32_t y = 0; y < h; ++y) {
    BYTE* p = grid.bits + std::size_t(y) * static_cast<std::size_t>(grid.bytesPerScanLine);
    for (std::uint32_t x = 0; x < w; ++x, p += 3) {
      if (gray) {
        p[0] = p[1] = p[2] = noise.Byte(y * w + x);
      } else {
        const std::uint32_t k = 2 * (x * h + y);
        p[0] = 0;
        p[1] = noise.Byte(k);
        p[2] = noise.Byte(k + 1);
      }
    }
  }
}

// ---- AVX2: eight pixels at a time, the same steps as NoiseSequence::Byte ----

__attribute__((target("avx2"))) inline __m256i Mix8(__m256i x) {
  x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 16));
  x = _mm256_mullo_epi32(x, _mm256_set1_epi32(0x7FEB352D));
  x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 15));
  x = _mm256_mullo_epi32(x, _mm256_set1_epi32(static_cast<int>(0x846CA68Bu)));
  return _mm256_xor_si256(x, _mm256_srli_epi32(x, 16));
}

// The bytes of eight draws, given their counters with the key added.
__attribute__((target("avx2"))) inline __m256i Bytes8(__m256i keyed) {
  __m256i bits = _mm256_srli_epi32(Mix8(keyed), 8);
  __m256i u = _mm256_sub_epi32(_mm256_slli_epi32(bits, 8), bits);  // bits * 255
  return _mm256_srli_epi32(_mm256_add_epi32(u, _mm256_set1_epi32(1 << 23)), 24);
}

// Stores 24 bytes: 12 picked by shuffle out of each 16-byte half of bytes.
__attribute__((target("avx2"))) inline void Store24(BYTE* p, __m256i bytes, __m256i pick) {
  __m256i packed = _mm256_shuffle_epi8(bytes, pick);
  packed = _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(packed));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 16), _mm256_extracti128_si256(packed, 1));
}

__attribute__((target("avx2"))) void FillAvx2(const PixelGrid& grid, bool gray,
                                              const NoiseSequence& noise) {
  const auto w = static_cast<std::uint32_t>(grid.width);
  const auto h = static_cast<std::uint32_t>(grid.height);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  // Colour: neighbours in a row are 2 * height draws apart.
  const __m256i columnStep = _mm256_mullo_epi32(lanes, _mm256_set1_epi32(static_cast<int>(2 * h)));
  const __m256i one = _mm256_set1_epi32(1);
  // Grey: each lane's low byte three times. Colour: a zero, then the green lane's low byte and
  // the red one (red sits in the second byte of each lane).
  const __m256i grey = _mm256_setr_epi8(0, 0, 0, 4, 4, 4, 8, 8, 8, 12, 12, 12, -1, -1, -1, -1, 0, 0,
                                        0, 4, 4, 4, 8, 8, 8, 12, 12, 12, -1, -1, -1, -1);
  const __m256i colour = _mm256_setr_epi8(-1, 0, 1, -1, 4, 5, -1, 8, 9, -1, 12, 13, -1, -1, -1, -1,
                                          -1, 0, 1, -1, 4, 5, -1, 8, 9, -1, 12, 13, -1, -1, -1, -1);
  for (std::uint32_t y = 0; y < h; ++y) {
    BYTE* row = grid.bits + std::size_t(y) * static_cast<std::size_t>(grid.bytesPerScanLine);
    std::uint32_t x = 0;
    if (gray) {
      __m256i k = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(y * w + noise.key())), lanes);
      for (; x + 8 <= w; x += 8) {
        Store24(row + std::size_t(x) * 3, Bytes8(k), grey);
        k = _mm256_add_epi32(k, _mm256_set1_epi32(8));
      }
    } else {
      __m256i k =
          _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(2 * y + noise.key())), columnStep);
      for (; x + 8 <= w; x += 8) {
        __m256i green = Bytes8(k);
        __m256i red = Bytes8(_mm256_add_epi32(k, one));
        Store24(row + std::size_t(x) * 3, _mm256_or_si256(green, _mm256_slli_epi32(red, 8)),
                colour);
        k = _mm256_add_epi32(k, _mm256_set1_epi32(static_cast<int>(16 * h)));
      }
    }
    for (BYTE* p = row + std::size_t(x) * 3; x < w; ++x, p += 3) {
      if (gray) {
        p[0] = p[1] = p[2] = noise.Byte(y * w + x);
      } else {
        p[0] = 0;
        p[1] = noise.Byte(2 * (x * h + y));
        p[2] = noise.Byte(2 * (x * h + y) + 1);
      }
    }
  }
}

}  // namespace

NoiseSequence::NoiseSequence(std::uint32_t seed) : key_(Mix(seed ^ 0x9E3779B9u)) {}

std::uint32_t NoiseSequence::Bits(std::uint32_t k) const {
  return Mix(k + key_) >> 8;
}

std::uint32_t SeedFromSeconds(float secondsSinceMidnight) {
  return std::bit_cast<std::uint32_t>(secondsSinceMidnight);
}

namespace {

TimeOfDayClock& TestClock() {
  static TimeOfDayClock clock;
  return clock;
}

}  // namespace

void SetTimeOfDayClock(TimeOfDayClock clock) {
  TestClock() = std::move(clock);
}

float SecondsSinceMidnight() {
  if (TestClock()) return TestClock()();
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
                         static_cast<double>(now.tv_nsec) * 1e-9;
  return static_cast<float>(seconds);
}

void FillNoise(const PixelGrid& grid, bool gray, std::uint32_t seed, PixelKernel kernel) {
  if (grid.bits == nullptr || grid.width <= 0 || grid.height <= 0) return;
  const NoiseSequence noise(seed);
  if (UseAvx2(kernel)) {
    FillAvx2(grid, gray, noise);
  } else {
    FillPortable(grid, gray, noise);
  }
}

}  // namespace pictoss
