#include <algorithm>
#include <cmath>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/dib_section.h"
#include "imaging/noise.h"
#include "platform/base/row_bytes.h"

namespace pictoss {
namespace {

const PixelKernel kKernels[] = {PixelKernel::kPortable, PixelKernel::kAvx2, PixelKernel::kAvx512};

LONG Stride(LONG width) {
  return static_cast<LONG>(platform::DibRowBytes(width));
}

// The seed of 10:01:48.25 in the morning. The known values below were worked out apart from
// this code, from the generator's definition (keys, rounds) and the drawing order.
constexpr float kMorning = 36108.25f;
constexpr std::uint32_t kMorningSeed = 0x470D0C40u;

TEST(NoiseSequence, GivesTheKnownDraws) {
  ASSERT_EQ(SeedFromSeconds(kMorning), kMorningSeed);
  const struct {
    std::uint32_t k, bits;
  } known[] = {{0u, 0x42CC24u},          {1u, 0x57DC08u},         {2u, 0xB71F33u},
               {3u, 0x5D3C67u},          {255u, 0xF9526Fu},       {256u, 0x369314u},
               {2147483648u, 0x8D82E9u}, {4294967295u, 0xF98202u}};
  NoiseSequence noise(kMorningSeed);
  for (const auto& draw : known) {
    EXPECT_EQ(noise.Bits(draw.k), draw.bits) << draw.k;
    EXPECT_EQ(noise.Number(draw.k), static_cast<float>(draw.bits) / 16777216.0f) << draw.k;
  }
}

// Pictures filled from the morning seed, pixel bytes first set to 0x11 and padding to 0xC3,
// as hex rows one after the other.
TEST(FillNoise, GivesTheKnownPictures) {
  const struct {
    LONG w, h;
    bool gray;
    const char* hex;
  } known[] = {
      {1, 1, true, "434343c3"},
      {5, 3, false,
       "00435800627a00cc6e00bf0100e39bc300b65d00ad1d00c58d006b7100521cc3000eb7000c3e0051df00ad1a"
       "008b25c3"},
      {5, 3, true,
       "434343585858b6b6b65d5d5d0e0e0ec3b7b7b76262627a7a7aadadad1d1d1dc30c0c0c3e3e3ecccccc6e6e6e"
       "c5c5c5c3"},
      {3, 4, false,
       "00435800ad1d0051dfc3c3c300b65d000c3e00bf01c3c3c3000eb700cc6e006b71c3c3c300627a00c58d00ad"
       "1ac3c3c3"},
      {18, 2, false,
       "004358000eb700ad1d00cc6e0051df006b7100e39b008b2500297d0090ee002dde007de1003d370027dd002d"
       "1c001c150006a60042e3c3c300b65d00627a000c3e00c58d00bf0100ad1a00521c00d10e0064f900f29a0005"
       "d1003d1c00e24b00c7ee00701600e91c001ab700571bc3c3"},
      {17, 1, true,
       "434343585858b6b6b65d5d5d0e0e0eb7b7b76262627a7a7aadadad1d1d1d0c0c0c3e3e3ecccccc6e6e6ec5c5"
       "c58d8d8d515151c3"},
  };
  for (const auto& picture : known) {
    const LONG stride = Stride(picture.w);
    std::vector<BYTE> expected;
    for (const char* p = picture.hex; *p; p += 2)
      expected.push_back(static_cast<BYTE>(std::stoi(std::string(p, 2), nullptr, 16)));
    ASSERT_EQ(expected.size(), std::size_t(stride) * picture.h);
    for (PixelKernel kernel : kKernels) {
      std::vector<BYTE> bytes(expected.size(), 0xC3);
      for (LONG y = 0; y < picture.h; ++y)
        std::fill_n(bytes.begin() + y * stride, 3 * picture.w, 0x11);
      FillNoise({bytes.data(), stride, picture.w, picture.h}, picture.gray, kMorningSeed, kernel);
      EXPECT_EQ(bytes, expected) << picture.w << "x" << picture.h << " kernel "
                                 << static_cast<int>(kernel);
    }
  }
}

TEST(NoiseSequence, ByteIsTheNumberTimes255RoundedHalfToEven) {
  int wrong = 0;
  for (std::uint32_t bits = 0; bits < (1u << 24); ++bits) {
    float r = static_cast<float>(bits) * 0x1p-24f;
    wrong += NoiseSequence::ByteOfBits(bits) != std::nearbyint(double(r) * 255.0);
  }
  EXPECT_EQ(wrong, 0);
  NoiseSequence noise(1234);
  for (std::uint32_t k = 0; k < 100000; ++k) {
    ASSERT_LT(noise.Bits(k), 1u << 24);
    ASSERT_GE(noise.Number(k), 0.0f);
    ASSERT_LT(noise.Number(k), 1.0f);
  }
}

TEST(NoiseSequence, SeedsGiveDifferentSequences) {
  NoiseSequence a(SeedFromSeconds(3600.0f));
  NoiseSequence b(SeedFromSeconds(3600.0078125f));  // the next single-precision moment
  int same = 0;
  for (std::uint32_t k = 0; k < 1000; ++k) same += a.Bits(k) == b.Bits(k);
  EXPECT_LT(same, 3);
}

// Draws a few places apart in the drawing order are neighbours in the picture: 1 and 2 (grey
// rows, colour columns), 3, 256 and 512, and a row or column of common screens. For each lag,
// the pairs of top four bits of 16 million draws fall evenly into 256 cells; a chi-square
// above 377 (255 degrees of freedom) has a probability below 1e-6. A two-round hash of the
// counter gave up to 1007 at lag 3, 6447 at lag 256 and 6976 at lag 3840.
TEST(NoiseSequence, DrawsAtNearbyLagsAreIndependent) {
  constexpr std::uint32_t kDraws = 16'000'000;
  NoiseSequence noise(kMorningSeed);
  std::vector<std::uint8_t> nibble(kDraws);
  for (std::uint32_t k = 0; k < kDraws; ++k)
    nibble[k] = static_cast<std::uint8_t>(noise.Bits(k) >> 20);
  for (std::uint32_t lag : {1u, 2u, 3u, 4u, 256u, 512u, 1080u, 2160u, 3840u}) {
    std::vector<double> cells(256);
    for (std::uint32_t k = 0; k + lag < kDraws; ++k) ++cells[nibble[k] * 16 + nibble[k + lag]];
    const double expected = double(kDraws - lag) / 256.0;
    double chi2 = 0;
    for (double n : cells) chi2 += (n - expected) * (n - expected) / expected;
    EXPECT_LT(chi2, 377.0) << "lag " << lag;
  }
}

// The vector kernels write what the portable kernel writes (which the known pictures pin
// down) for any size, around their 8- and 16-pixel steps too; padding stays.
TEST(FillNoise, KernelsAgreeOnEverySize) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<LONG> size(1, 67);
  for (int round = 0; round < 200; ++round) {
    const LONG w = round < 40 ? round + 1 : size(rng);
    const LONG h = round < 40 ? round % 3 + 1 : size(rng);
    const std::uint32_t seed = rng();
    for (bool gray : {true, false}) {
      std::vector<BYTE> portable(std::size_t(Stride(w)) * h, 0xC3);
      FillNoise({portable.data(), Stride(w), w, h}, gray, seed, PixelKernel::kPortable);
      for (PixelKernel kernel : {PixelKernel::kAvx2, PixelKernel::kAvx512}) {
        std::vector<BYTE> bytes(portable.size(), 0xC3);
        FillNoise({bytes.data(), Stride(w), w, h}, gray, seed, kernel);
        ASSERT_EQ(bytes, portable) << w << "x" << h << (gray ? " grey" : " colour");
      }
    }
  }
}

TEST(FillNoise, WritesNothingWithoutPixelsOrMemory) {
  std::vector<BYTE> bytes(64, 0xC3);
  for (PixelKernel kernel : kKernels) {
    for (bool gray : {true, false}) {
      FillNoise({bytes.data(), 12, 0, 4}, gray, 5, kernel);
      FillNoise({bytes.data(), 12, 4, 0}, gray, 5, kernel);
      FillNoise({bytes.data(), 12, -4, 4}, gray, 5, kernel);
      FillNoise({nullptr, 12, 4, 4}, gray, 5, kernel);
    }
  }
  EXPECT_EQ(bytes, std::vector<BYTE>(64, 0xC3));
}

class RandomiseBitsTest : public ::testing::Test {
 protected:
  // An object of the size whose pixel bytes hold (1, 2, 3) and whose padding holds 0xC3.
  static platform::Ref<cDIBSection> Marked(LONG w, LONG h) {
    auto dib = platform::MakeRef<cDIBSection>();
    EXPECT_TRUE(dib->Create(w, h));
    BYTE* bits = reinterpret_cast<BYTE*>(dib->DIBSectionBitsPtr());
    for (LONG y = 0; y < h; ++y)
      for (LONG i = 0; i < dib->BytesPerScanLine(); ++i)
        bits[std::size_t(y) * dib->BytesPerScanLine() + i] = i < 3 * w ? BYTE(i % 3 + 1) : 0xC3;
    return dib;
  }
  static const BYTE* Pixel(const cDIBSection& dib, LONG x, LONG y) {
    return reinterpret_cast<const BYTE*>(dib.DIBSectionBitsPtr()) +
           std::size_t(y) * dib.BytesPerScanLine() + std::size_t(x) * 3;
  }
};

// Every pixel, the last column and the top row included, is written (no (1, 2, 3) is left),
// and padding keeps its value.
TEST_F(RandomiseBitsTest, GreyPixelsHaveEqualChannelsAndPaddingStays) {
  for (LONG w : {1, 2, 3, 5, 8, 9, 17, 47}) {
    auto dib = Marked(w, 7);
    dib->RandomiseBits(true);
    for (LONG y = 0; y < 7; ++y) {
      for (LONG x = 0; x < w; ++x) {
        const BYTE* p = Pixel(*dib, x, y);
        ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << w << ": " << x << "," << y;
      }
      for (LONG i = 3 * w; i < dib->BytesPerScanLine(); ++i) EXPECT_EQ(Pixel(*dib, 0, y)[i], 0xC3);
    }
  }
}

TEST_F(RandomiseBitsTest, ColourPixelsHaveNoBlueAndPaddingStays) {
  for (LONG w : {1, 2, 3, 5, 8, 9, 17, 47}) {
    auto dib = Marked(w, 7);
    dib->RandomiseBits();  // colour when left out
    int greenEqualsRed = 0;
    for (LONG y = 0; y < 7; ++y) {
      for (LONG x = 0; x < w; ++x) {
        ASSERT_EQ(Pixel(*dib, x, y)[0], 0) << w << ": " << x << "," << y;
        greenEqualsRed += Pixel(*dib, x, y)[1] == Pixel(*dib, x, y)[2];
      }
      for (LONG i = 3 * w; i < dib->BytesPerScanLine(); ++i) EXPECT_EQ(Pixel(*dib, 0, y)[i], 0xC3);
    }
    EXPECT_LT(greenEqualsRed, 7 * w / 4 + 2);  // two draws, not one
  }
}

// Over a million draws, 0 and 255 come about half as often as each value between them, since
// the product r * 255 is rounded and r never reaches 1.
TEST_F(RandomiseBitsTest, EndValuesAreHalfAsFrequent) {
  auto dib = platform::MakeRef<cDIBSection>();
  ASSERT_TRUE(dib->Create(1024, 1024));
  dib->RandomiseBits(true);
  std::vector<double> count(256);
  for (LONG y = 0; y < 1024; ++y)
    for (LONG x = 0; x < 1024; ++x) ++count[Pixel(*dib, x, y)[0]];
  const double inner = (1024.0 * 1024.0) / 255.0;  // 254 full shares and two half shares
  for (int v = 1; v < 255; ++v) EXPECT_NEAR(count[v] / inner, 1.0, 0.1) << v;
  EXPECT_NEAR(count[0] / inner, 0.5, 0.1);
  EXPECT_NEAR(count[255] / inner, 0.5, 0.1);
}

TEST_F(RandomiseBitsTest, EachCallIsSeededAnewFromTheTimeOfDay) {
  auto a = Marked(64, 64);
  auto b = Marked(64, 64);
  // Single-precision seconds near the end of a day step by 1/128 s: two calls that far apart.
  float moment = 86399.0f;
  SetTimeOfDayClock([&moment] { return moment; });
  a->RandomiseBits(true);
  moment = std::nextafter(moment, 86400.0f);
  b->RandomiseBits(true);
  SetTimeOfDayClock(nullptr);
  auto bytes = [](const cDIBSection& d) {
    const BYTE* p = reinterpret_cast<const BYTE*>(d.DIBSectionBitsPtr());
    return std::vector<BYTE>(p, p + std::size_t(d.BytesPerScanLine()) * d.Height());
  };
  EXPECT_NE(bytes(*a), bytes(*b));
  // The first call's noise is the sequence of its moment.
  std::vector<BYTE> first = bytes(*a);
  FillNoise({first.data(), a->BytesPerScanLine(), 64, 64}, true, SeedFromSeconds(86399.0f));
  EXPECT_EQ(first, bytes(*a));

  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const double expected = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
  const double seconds = SecondsSinceMidnight();
  // Across midnight the two readings lie a day apart.
  EXPECT_LT(std::fmod(seconds - expected + 86400.0 + 1.0, 86400.0), 3.0);
}

TEST_F(RandomiseBitsTest, ObjectWithoutPixelsIsLeftAlone) {
  auto dib = platform::MakeRef<cDIBSection>();
  dib->RandomiseBits(true);  // new: no memory, size 0
  EXPECT_FALSE(dib->Create(0, 5));
  dib->RandomiseBits(false);
  ASSERT_TRUE(dib->Create(4, 4));
  dib->ClearUp();  // reports 4 x 4, holds nothing
  dib->RandomiseBits(false);
  EXPECT_EQ(dib->DIBSectionBitsPtr(), 0);
}

}  // namespace
}  // namespace pictoss
