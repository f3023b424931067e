// Noise for the random fill of a 24-bit pixel grid (the DIB layout: blue, green, red; rows of
// bytesPerScanLine bytes). The generator is counter-based: the k-th number of a seed's sequence
// is computed directly, so pixels can be written in memory order while each gets the number
// its place in the drawing order gives it. The caller owns the pixel memory. Stateless and
// reentrant, apart from the test clock.
#pragma once

#include <cstdint>
#include <functional>

#include "imaging/pixel_grid.h"
#include "platform/base/windef.h"

namespace pictoss {

// The sequence of pseudo-random numbers that one seed gives.
class NoiseSequence {
 public:
  explicit NoiseSequence(std::uint32_t seed);

  // The k-th draw as a whole number 0..2^24 - 1: the number is that over 2^24, uniform in
  // [0, 1) with 24 bits of resolution (every such number is exact in single precision).
  std::uint32_t Bits(std::uint32_t k) const;
  float Number(std::uint32_t k) const { return static_cast<float>(Bits(k)) * 0x1p-24f; }
  // round(Number(k) * 255), halves to even: 0..255, with 0 and 255 half as likely as the rest.
  BYTE Byte(std::uint32_t k) const { return ByteOfBits(Bits(k)); }

  // The one exact half, 127.5 at bits 2^23, already rounds up to the even 128.
  static constexpr BYTE ByteOfBits(std::uint32_t bits) {
    return static_cast<BYTE>((bits * 255 + (1u << 23)) >> 24);  // bits * 255 < 2^32
  }

  // Added to every counter before mixing; seeds a short time apart get unrelated keys, and so
  // sequences that no short stretch of another repeats.
  std::uint32_t key() const { return key_; }

 private:
  std::uint32_t key_;
};

// The seed of a moment: the bits of the seconds since midnight in single precision.
std::uint32_t SeedFromSeconds(float secondsSinceMidnight);

// The local time of day in seconds since midnight, with the fraction of the current second; or,
// while a test clock is set, what that clock returns.
float SecondsSinceMidnight();

// For tests: while a clock is set, SecondsSinceMidnight returns what it returns instead of
// reading the system clock. Pass nullptr to remove it. Set it from the thread that fills.
using TimeOfDayClock = std::function<float()>;
void SetTimeOfDayClock(TimeOfDayClock clock);

// Overwrites every pixel of grid with noise of the seed's sequence; padding is left alone.
// Grey (gray true): draw k = y * width + x gives all three bytes of pixel (x, y), row by row.
// Colour: blue is 0; green of (x, y) is draw 2 * (x * height + y) and red the next one, as
// drawing column by column, green before red. Nothing is written when the grid has no memory
// or no pixels.
void FillNoise(const PixelGrid& grid, bool gray, std::uint32_t seed,
               PixelKernel kernel = PixelKernel::kBest);

}  // namespace pictoss
