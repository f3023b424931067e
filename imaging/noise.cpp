#include "imaging/noise.h"

#include <bit>
#include <cstddef>
#include <ctime>
#include <utility>

#include <immintrin.h>

namespace pictoss {
namespace {

// A bijective 32-bit mixer (multiply-xorshift); used to turn the seed into the two keys.
constexpr std::uint32_t Mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

// The three multiply-xorshift rounds of a draw. The counter comes in offset by the first key;
// the second key is mixed in between the first two rounds, so that two keys give unrelated
// sequences rather than one sequence at two offsets. Three rounds are needed: with two, draws
// whose counters differ in one bit (2, 256, 512 apart) are measurably correlated.
constexpr std::uint32_t kRound1 = 0xED5AD4BBu;
constexpr std::uint32_t kRound2 = 0xAC4C1B51u;
constexpr std::uint32_t kRound3 = 0x31848BABu;

constexpr std::uint32_t Hash(std::uint32_t x, std::uint32_t key2) {
  x ^= x >> 17;
  x *= kRound1;
  x ^= x >> 11;
  x ^= key2;
  x *= kRound2;
  x ^= x >> 15;
  x *= kRound3;
  x ^= x >> 14;
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

__attribute__((target("avx2"))) inline __m256i XorShift8(__m256i x, int bits) {
  return _mm256_xor_si256(x, _mm256_srli_epi32(x, bits));
}

__attribute__((target("avx2"))) inline __m256i Hash8(__m256i x, __m256i key2) {
  x = _mm256_mullo_epi32(XorShift8(x, 17), _mm256_set1_epi32(static_cast<int>(kRound1)));
  x = _mm256_xor_si256(XorShift8(x, 11), key2);
  x = _mm256_mullo_epi32(x, _mm256_set1_epi32(static_cast<int>(kRound2)));
  x = _mm256_mullo_epi32(XorShift8(x, 15), _mm256_set1_epi32(static_cast<int>(kRound3)));
  return XorShift8(x, 14);
}

// The bytes of eight draws, given their counters with the first key added.
__attribute__((target("avx2"))) inline __m256i Bytes8(__m256i keyed, __m256i key2) {
  __m256i bits = _mm256_srli_epi32(Hash8(keyed, key2), 8);
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
  const __m256i key2 = _mm256_set1_epi32(static_cast<int>(noise.key2()));
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
        Store24(row + std::size_t(x) * 3, Bytes8(k, key2), grey);
        k = _mm256_add_epi32(k, _mm256_set1_epi32(8));
      }
    } else {
      __m256i k =
          _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(2 * y + noise.key())), columnStep);
      for (; x + 8 <= w; x += 8) {
        __m256i green = Bytes8(k, key2);
        __m256i red = Bytes8(_mm256_add_epi32(k, one), key2);
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

// ---- AVX-512: sixteen pixels at a time, stored through a byte mask ----

#define PICTOSS_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))
// GCC 12's AVX-512 headers start vectors from _mm512_undefined, which it then reports as
// maybe uninitialized (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

PICTOSS_AVX512 inline __m512i XorShift16(__m512i x, unsigned bits) {
  return _mm512_xor_si512(x, _mm512_srli_epi32(x, bits));
}

PICTOSS_AVX512 inline __m512i Hash16(__m512i x, __m512i key2) {
  x = _mm512_mullo_epi32(XorShift16(x, 17), _mm512_set1_epi32(static_cast<int>(kRound1)));
  // x ^ (x >> 11) ^ key2 in one step.
  x = _mm512_ternarylogic_epi32(x, _mm512_srli_epi32(x, 11), key2, 0x96);
  x = _mm512_mullo_epi32(x, _mm512_set1_epi32(static_cast<int>(kRound2)));
  x = _mm512_mullo_epi32(XorShift16(x, 15), _mm512_set1_epi32(static_cast<int>(kRound3)));
  return XorShift16(x, 14);
}

// Sixteen draws, each lane's byte in its top byte (bits 24..31): (bits * 255 + 2^23) with
// bits = hash >> 8, and bits * 255 = (hash with its low byte cleared) - bits.
PICTOSS_AVX512 inline __m512i TopBytes16(__m512i keyed, __m512i key2) {
  const __m512i h = Hash16(keyed, key2);
  const __m512i cleared = _mm512_and_si512(h, _mm512_set1_epi32(~0xFF));
  const __m512i u = _mm512_sub_epi32(cleared, _mm512_srli_epi32(h, 8));
  return _mm512_add_epi32(u, _mm512_set1_epi32(1 << 23));
}

// Output byte j of sixteen pixels (48 bytes) comes from lane j / 3: grey takes that lane's top
// byte three times; colour leaves blue zero and takes green's and red's top bytes (the second
// source's bytes are numbered from 64).
PICTOSS_AVX512 inline __m512i PickIndex(bool gray) {
  alignas(64) std::uint8_t index[64] = {};
  for (int j = 0; j < 48; ++j) {
    const int lane = j / 3;
    index[j] = static_cast<std::uint8_t>(4 * lane + 3 + (!gray && j % 3 == 2 ? 64 : 0));
  }
  return _mm512_load_si512(index);
}

PICTOSS_AVX512 void FillAvx512(const PixelGrid& grid, bool gray, const NoiseSequence& noise) {
  const auto w = static_cast<std::uint32_t>(grid.width);
  const auto h = static_cast<std::uint32_t>(grid.height);
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i key2 = _mm512_set1_epi32(static_cast<int>(noise.key2()));
  const __m512i pick = PickIndex(gray);
  // Colour: blue (every third byte) stays zero.
  __mmask64 colourBytes = 0;
  for (int lane = 0; lane < 16; ++lane) colourBytes |= 6ull << (3 * lane);
  // Grey: neighbours in a row are consecutive draws. Colour: they are 2 * height draws apart,
  // green first, then red.
  const __m512i step = gray ? lanes : _mm512_mullo_epi32(lanes, _mm512_set1_epi32(int(2 * h)));
  const __m512i advance = _mm512_set1_epi32(static_cast<int>(gray ? 16 : 32 * h));
  const __m512i one = _mm512_set1_epi32(1);
  for (std::uint32_t y = 0; y < h; ++y) {
    BYTE* row = grid.bits + std::size_t(y) * static_cast<std::size_t>(grid.bytesPerScanLine);
    const std::uint32_t first = (gray ? y * w : 2 * y) + noise.key();
    __m512i k = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(first)), step);
    for (std::uint32_t x = 0; x < w; x += 16) {
      const std::uint32_t n = w - x < 16 ? w - x : 16;
      const __mmask64 bytes = n == 16 ? 0x0000'FFFF'FFFF'FFFFull : (1ull << (3 * n)) - 1;
      __m512i out;
      if (gray) {
        out = _mm512_permutexvar_epi8(pick, TopBytes16(k, key2));
        _mm512_mask_storeu_epi8(row + std::size_t(x) * 3, bytes, out);
      } else {
        const __m512i green = TopBytes16(k, key2);
        const __m512i red = TopBytes16(_mm512_add_epi32(k, one), key2);
        out = _mm512_maskz_permutex2var_epi8(colourBytes, green, pick, red);
        _mm512_mask_storeu_epi8(row + std::size_t(x) * 3, bytes, out);
      }
      k = _mm512_add_epi32(k, advance);
    }
  }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#undef PICTOSS_AVX512

}  // namespace

NoiseSequence::NoiseSequence(std::uint32_t seed)
    : key_(Mix(seed ^ 0x9E3779B9u)), key2_(Mix(seed ^ 0x6A09E667u)) {}

std::uint32_t NoiseSequence::Bits(std::uint32_t k) const {
  return Hash(k + key_, key2_) >> 8;
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
  if (UseAvx512(kernel)) {
    FillAvx512(grid, gray, noise);
  } else if (UseAvx2(kernel)) {
    FillAvx2(grid, gray, noise);
  } else {
    FillPortable(grid, gray, noise);
  }
}

}  // namespace pictoss
