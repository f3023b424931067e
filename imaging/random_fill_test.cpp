#include <cmath>
#include <ctime>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/dib_section.h"
#include "imaging/noise.h"
#include "platform/base/row_bytes.h"

namespace pictoss {
namespace {

const PixelKernel kKernels[] = {PixelKernel::kPortable, PixelKernel::kAvx2};

LONG Stride(LONG width) {
  return static_cast<LONG>(platform::DibRowBytes(width));
}

// The draws written the plain way: one after the other in the drawing order.
std::vector<BYTE> DrawnInOrder(LONG w, LONG h, bool gray, std::uint32_t seed, BYTE fill) {
  const LONG stride = Stride(w);
  std::vector<BYTE> bytes(std::size_t(stride) * h, fill);
  NoiseSequence noise(seed);
  std::uint32_t k = 0;
  if (gray) {
    for (LONG y = 0; y < h; ++y)
      for (LONG x = 0; x < w; ++x) {
        BYTE* p = &bytes[std::size_t(y) * stride + std::size_t(x) * 3];
        p[0] = p[1] = p[2] = noise.Byte(k++);
      }
  } else {
    for (LONG x = 0; x < w; ++x)
      for (LONG y = 0; y < h; ++y) {
        BYTE* p = &bytes[std::size_t(y) * stride + std::size_t(x) * 3];
        p[0] = 0;
        p[1] = noise.Byte(k++);
        p[2] = noise.Byte(k++);
      }
  }
  return bytes;
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

// The first draws of one seed, written down once from the algorithm (the multiply-xorshift mixer
// applied to the counter plus the seed's key, the top 24 bits kept), so that any change to the
// sequence shows here.
TEST(NoiseSequence, FirstDrawsOfASeedAreKnown) {
  const std::uint32_t expected[] = {0xF5CD4C, 0xDF1966, 0x69EDCC, 0xADCB23,
                                    0xD55285, 0x4B3315, 0x5BBD56, 0x8CE96F};
  NoiseSequence noise(1234);
  for (std::uint32_t k = 0; k < 8; ++k) EXPECT_EQ(noise.Bits(k), expected[k]) << k;
}

TEST(NoiseSequence, SeedsGiveDifferentSequences) {
  NoiseSequence a(SeedFromSeconds(3600.0f));
  NoiseSequence b(SeedFromSeconds(3600.0078125f));  // the next single-precision moment
  int same = 0;
  for (std::uint32_t k = 0; k < 1000; ++k) same += a.Bits(k) == b.Bits(k);
  EXPECT_LT(same, 3);
}

// Writing in memory order gives every pixel the draw of its place in the drawing order:
// row by row in grey, column by column (green, then red) in colour. Padding stays.
TEST(FillNoise, GivesEachPixelTheDrawOfTheDrawingOrder) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<LONG> size(1, 67);
  for (int round = 0; round < 200; ++round) {
    const LONG w = round < 20 ? round % 10 + 1 : size(rng);
    const LONG h = round < 20 ? round / 10 + 1 : size(rng);
    const std::uint32_t seed = rng();
    for (bool gray : {true, false}) {
      const std::vector<BYTE> expected = DrawnInOrder(w, h, gray, seed, 0xC3);
      for (PixelKernel kernel : kKernels) {
        std::vector<BYTE> bytes(expected.size(), 0xC3);
        FillNoise({bytes.data(), Stride(w), w, h}, gray, seed, kernel);
        ASSERT_EQ(bytes, expected) << w << "x" << h << (gray ? " grey" : " colour");
      }
    }
  }
}

// Whole small grids of seed 7, written down once from the algorithm: grey row by row, colour
// column by column with green before red; the padding (0x01) stays.
TEST(FillNoise, SmallGridsOfASeedAreKnown) {
  struct Case {
    LONG w, h;
    bool gray;
    std::vector<BYTE> bytes;
  } cases[] = {
      {3, 2, true, {0xCC, 0xCC, 0xCC, 0xC6, 0xC6, 0xC6, 0xF8, 0xF8, 0xF8, 0x01, 0x01, 0x01,
                    0xC3, 0xC3, 0xC3, 0x2F, 0x2F, 0x2F, 0xB0, 0xB0, 0xB0, 0x01, 0x01, 0x01}},
      {2, 3, false, {0x00, 0xCC, 0xC6, 0x00, 0xDF, 0xE2, 0x01, 0x01, 0x00, 0xF8, 0xC3, 0x00,
                     0x65, 0xF3, 0x01, 0x01, 0x00, 0x2F, 0xB0, 0x00, 0xDC, 0x80, 0x01, 0x01}},
  };
  for (const Case& c : cases) {
    for (PixelKernel kernel : kKernels) {
      std::vector<BYTE> bytes(c.bytes.size(), 0x01);
      FillNoise({bytes.data(), Stride(c.w), c.w, c.h}, c.gray, 7, kernel);
      EXPECT_EQ(bytes, c.bytes) << c.w << "x" << c.h << (c.gray ? " grey" : " colour");
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
