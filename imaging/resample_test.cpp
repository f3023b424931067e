#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/bilinear.h"
#include "imaging/dib_section.h"
#include "imaging/resample_reference.h"
#include "platform/base/row_bytes.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/handles.h"
#include "platform/runtime/errors.h"
#include "tests/support/runtime_error.h"

namespace pictoss {
namespace {

constexpr std::u16string_view kSource = u"Vorlick.cDIBSection";

// A bottom-up 24-bit picture in its own buffer, rows padded to 4 bytes like a DIB section.
struct Picture {
  LONG width = 0;
  LONG height = 0;
  LONG stride = 0;
  std::vector<BYTE> bytes;

  Picture(LONG w, LONG h, BYTE fill = 0)
      : width(w),
        height(h),
        stride(static_cast<LONG>(platform::DibRowBytes(w))),
        bytes(std::size_t(stride) * h, fill) {}
  BYTE* pixel(LONG x, LONG y) { return &bytes[std::size_t(y) * stride + std::size_t(x) * 3]; }
  // All three channels of (x, y) set to v.
  void set(LONG x, LONG y, BYTE v) { pixel(x, y)[0] = pixel(x, y)[1] = pixel(x, y)[2] = v; }
  ConstPixelGrid grid() const { return {bytes.data(), stride, width, height}; }
  PixelGrid mutableGrid() { return {bytes.data(), stride, width, height}; }
};

// A picture whose every row holds the given grey values, left to right.
Picture RowsOf(const std::vector<int>& columns, LONG height) {
  Picture p(LONG(columns.size()), height);
  for (LONG y = 0; y < height; ++y)
    for (LONG x = 0; x < p.width; ++x) p.set(x, y, BYTE(columns[std::size_t(x)]));
  return p;
}

std::vector<int> GreyRow(Picture& p, LONG y) {
  std::vector<int> row;
  for (LONG x = 0; x < p.width; ++x) {
    BYTE* px = p.pixel(x, y);
    EXPECT_TRUE(px[0] == px[1] && px[1] == px[2]) << "pixel " << x << "," << y;
    row.push_back(px[0]);
  }
  return row;
}

const PixelKernel kKernels[] = {PixelKernel::kPortable, PixelKernel::kAvx2};

Picture Resampled(const Picture& source, LONG w, LONG h, PixelKernel kernel) {
  Picture target(w, h, 0xEE);
  BilinearInterpolate(source.grid(), target.mutableGrid(), kSource, kernel);
  return target;
}

TEST(BilinearInterpolate, WidthChangesOfEqualRows) {
  struct Case {
    std::vector<int> source;
    LONG newWidth;
    std::vector<int> expected;
  } cases[] = {
      // sx = 1.5: column 1 is the mean of source columns 1 and 2, halves to even.
      {{40, 10, 11, 99}, 2, {40, 10}},
      {{40, 11, 12, 99}, 2, {40, 12}},
      // sx = 0.25: weights 0, 1/4, 1/2, 3/4 of the right neighbour.
      {{10, 13}, 4, {10, 11, 12, 12}},
      {{0, 100}, 4, {0, 25, 50, 75}},
      // sx = 1/6 held as 0.16666667: 3 * sx is just over a half.
      {{0, 3}, 6, {0, 1, 1, 2, 2, 3}},
      // Column 3 sits at 3 * 0.16666667 = 0.50000001, held as exactly 0.5: a half, to even.
      {{0, 1}, 6, {0, 0, 0, 0, 1, 1}},
      // A target one pixel wide takes the leftmost column alone.
      {{7, 200, 200}, 1, {7}},
  };
  for (PixelKernel kernel : kKernels) {
    for (const Case& c : cases) {
      Picture source = RowsOf(c.source, 3);
      Picture target = Resampled(source, c.newWidth, 3, kernel);
      for (LONG y = 0; y < 3; ++y) EXPECT_EQ(GreyRow(target, y), c.expected) << "row " << y;
    }
  }
}

TEST(BilinearInterpolate, RowsBlendAndTheBottomRowLeads) {
  for (PixelKernel kernel : kKernels) {
    // Two rows kept at two rows (sy = 0.5): the top target row is the mean of both rows.
    struct Case {
      int bottom, top, expectedTop;
    } cases[] = {{10, 20, 15}, {10, 21, 16}, {10, 23, 16}, {0, 255, 128}};
    for (const Case& c : cases) {
      Picture source(2, 2);
      for (LONG x = 0; x < 2; ++x) source.set(x, 0, BYTE(c.bottom)), source.set(x, 1, BYTE(c.top));
      Picture target = Resampled(source, 3, 2, kernel);
      EXPECT_EQ(GreyRow(target, 0), std::vector<int>(3, c.bottom));
      EXPECT_EQ(GreyRow(target, 1), std::vector<int>(3, c.expectedTop));
    }
    // Two rows to six: row 3 sits at 0.5 once held in single precision.
    Picture two(2, 2);
    two.set(0, 1, 1), two.set(1, 1, 1);
    Picture six = Resampled(two, 2, 6, kernel);
    const int expected[] = {0, 0, 0, 0, 1, 1};
    for (LONG y = 0; y < 6; ++y) EXPECT_EQ(GreyRow(six, y), std::vector<int>(2, expected[y]));
    // A target one pixel high is built from the bottom row alone.
    Picture source = RowsOf({9, 9, 9, 9}, 4);
    for (LONG y = 1; y < 4; ++y)
      for (LONG x = 0; x < 4; ++x) source.set(x, y, 250);
    Picture target = Resampled(source, 3, 1, kernel);
    EXPECT_EQ(GreyRow(target, 0), std::vector<int>(3, 9));
  }
}

TEST(BilinearInterpolate, ChannelsAreBlendedApartAndPaddingIsLeftAlone) {
  Picture source(2, 2);
  for (LONG y = 0; y < 2; ++y) {
    BYTE* a = source.pixel(0, y);
    BYTE* b = source.pixel(1, y);
    a[0] = 0, a[1] = 100, a[2] = 255;
    b[0] = 255, b[1] = 100, b[2] = 0;
  }
  for (PixelKernel kernel : kKernels) {
    Picture target = Resampled(source, 5, 2, kernel);  // stride 16: one padding byte a row
    // sx = 0.2: column 3 sits at 0.6 (0.60000002 in single precision).
    EXPECT_EQ(target.pixel(3, 1)[0], 153);
    EXPECT_EQ(target.pixel(3, 1)[1], 100);
    EXPECT_EQ(target.pixel(3, 1)[2], 102);
    EXPECT_EQ(target.bytes[15], 0xEE);
    EXPECT_EQ(target.bytes[31], 0xEE);
  }
}

TEST(BilinearInterpolate, SourcesWithoutANeighbourRaiseSubscriptOutOfRange) {
  struct Case {
    LONG w, h, newW, newH;
  } cases[] = {
      {1, 5, 2, 5}, {1, 5, 1, 4}, {5, 1, 5, 2}, {5, 1, 4, 1}, {1, 1, 2, 2}, {0, 3, 2, 2},
  };
  for (PixelKernel kernel : kKernels) {
    for (const Case& c : cases) {
      Picture source(c.w, c.h, 1);
      Picture target(c.newW, c.newH, 0xEE);
      SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " -> " +
                   std::to_string(c.newW) + "x" + std::to_string(c.newH));
      if (auto e = testsupport::RaisedError(
              [&] { BilinearInterpolate(source.grid(), target.mutableGrid(), kSource, kernel); })) {
        EXPECT_EQ(e->number(), 9);
        EXPECT_EQ(e->source(), kSource);
        EXPECT_EQ(e->description(), u"Subscript out of range");
      }
    }
  }
  // No memory at all: an error, not a read through a null address.
  Picture target(2, 2);
  ConstPixelGrid none{nullptr, 12, 4, 4};
  EXPECT_THROW(BilinearInterpolate(none, target.mutableGrid(), kSource), platform::RuntimeError);
}

// Every pair of bytes blends as the double-precision recipe does, for fractions on the 2^-24
// grid, off it (as positions below 0.5 are) and too small to move a byte.
TEST(BilinearInterpolate, FixedWeightsBlendLikeDoublePrecision) {
  std::mt19937 rng(7);
  std::vector<float> fractions = {0.0f,        0.5f,        0.25f,      0.75f,
                                  1.0f / 3.0f, 1.0f / 6.0f, 0x1p-9f,    0x1.fffffep-10f,
                                  0x1p-20f,    0.49974f,    0.99999994f};
  std::uniform_real_distribution<float> any(0.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-12, -1);
  for (int i = 0; i < 60; ++i) {
    fractions.push_back(any(rng));
    fractions.push_back(std::ldexp(any(rng), exponent(rng)));
  }
  // The fractions next to a point where some difference d rounds the other way, (k + 1/2) / d:
  // the ones off the 2^-24 grid must not be replaced by a neighbour across that point.
  for (int d : {3, 5, 7, 11, 13, 17, 101, 253, 255}) {
    for (int k = 0; 2 * k + 1 < d; k += 1 + d / 16) {
      float point = float((k + 0.5) / d);
      fractions.push_back(std::nextafter(point, 0.0f));
      fractions.push_back(point);
      fractions.push_back(std::nextafter(point, 1.0f));
    }
  }
  for (float f : fractions) {
    if (f >= 1.0f) continue;
    std::uint32_t weight = detail::FixedWeight(f);
    int wrong = 0;
    for (int a = 0; a < 256; ++a) {
      for (int b = 0; b < 256; ++b) {
        double expected = std::nearbyint((1.0 - double(f)) * a + double(f) * b);
        wrong += detail::BlendFixed(std::uint32_t(a), std::uint32_t(b), weight) != expected;
      }
    }
    EXPECT_EQ(wrong, 0) << "fraction " << f;
  }
}

// The real resampler against the step-by-step one, byte for byte (padding included), on
// random pictures, up and down in each direction.
TEST(BilinearInterpolate, MatchesTheStepByStepMethodOnRandomPictures) {
  std::mt19937 rng(20261207);
  std::uniform_int_distribution<LONG> size(1, 67);
  std::uniform_int_distribution<int> byte(0, 255);
  int compared = 0;
  for (int round = 0; round < 1200; ++round) {
    Picture source(size(rng), size(rng));
    for (BYTE& b : source.bytes) b = BYTE(byte(rng));
    // Smooth pictures make many exact halves; noise makes the rest.
    if (round % 3 == 0)
      for (LONG y = 0; y < source.height; ++y)
        for (LONG x = 0; x < source.width; ++x) source.set(x, y, BYTE((x * 2 + y) & 0xFF));
    const LONG w = size(rng);
    const LONG h = size(rng);
    Picture expected(w, h, 0x5A);
    const bool fails = testsupport::ErrorOf([&] {
                         reference::Interpolate(source.grid(), expected.mutableGrid(), kSource);
                       }).has_value();
    for (PixelKernel kernel : kKernels) {
      Picture actual(w, h, 0x5A);
      if (fails) {
        EXPECT_THROW(BilinearInterpolate(source.grid(), actual.mutableGrid(), kSource, kernel),
                     platform::RuntimeError);
        continue;
      }
      BilinearInterpolate(source.grid(), actual.mutableGrid(), kSource, kernel);
      ASSERT_EQ(actual.bytes, expected.bytes)
          << source.width << "x" << source.height << " -> " << w << "x" << h;
      ++compared;
    }
  }
  EXPECT_GT(compared, 2000);
}

// Wide targets are filled in strips of columns, and strong reductions take a path of their
// own: the same bytes across strip edges and on both paths.
TEST(BilinearInterpolate, MatchesTheStepByStepMethodAcrossStripsAndStrongReductions) {
  struct Case {
    LONG w, h, newW, newH;
  } cases[] = {{4500, 3, 2100, 4}, {3, 4, 4200, 2},  {600, 5, 7, 3},
               {2050, 2, 2049, 3}, {5000, 2, 40, 2}, {4097, 3, 4096, 2}};
  for (const Case& c : cases) {
    Picture source = Picture(c.w, c.h);
    std::mt19937 rng(unsigned(c.w * 31 + c.newW));
    for (BYTE& b : source.bytes) b = BYTE(rng());
    Picture expected(c.newW, c.newH, 0x5A);
    reference::Interpolate(source.grid(), expected.mutableGrid(), kSource);
    for (PixelKernel kernel : kKernels) {
      Picture actual(c.newW, c.newH, 0x5A);
      BilinearInterpolate(source.grid(), actual.mutableGrid(), kSource, kernel);
      EXPECT_EQ(actual.bytes, expected.bytes)
          << c.w << "x" << c.h << " -> " << c.newW << "x" << c.newH;
    }
  }
}

// ---- Through the DIB section objects ----

// Fills an object's pixel bytes from a picture of the same size (padding included).
template <class Dib>
void Load(Dib& dib, const Picture& p) {
  ASSERT_EQ(dib.BytesPerScanLine(), p.stride);
  std::copy(p.bytes.begin(), p.bytes.end(), reinterpret_cast<BYTE*>(dib.DIBSectionBitsPtr()));
}

template <class Dib>
std::vector<BYTE> PixelsOf(const Dib& dib) {
  const BYTE* bits = reinterpret_cast<const BYTE*>(dib.DIBSectionBitsPtr());
  std::vector<BYTE> out;
  for (LONG y = 0; y < dib.Height(); ++y)
    out.insert(out.end(), bits + std::size_t(y) * dib.BytesPerScanLine(),
               bits + std::size_t(y) * dib.BytesPerScanLine() + std::size_t(dib.Width()) * 3);
  return out;
}

std::vector<BYTE> PixelsOf(const Picture& p) {
  std::vector<BYTE> out;
  for (LONG y = 0; y < p.height; ++y)
    out.insert(out.end(), p.bytes.begin() + std::ptrdiff_t(y) * p.stride,
               p.bytes.begin() + std::ptrdiff_t(y) * p.stride + p.width * 3);
  return out;
}

Picture Noise(LONG w, LONG h, unsigned seed) {
  Picture p(w, h);
  std::mt19937 rng(seed);
  for (BYTE& b : p.bytes) b = BYTE(rng());
  return p;
}

template <class Dib>
class ResampleTest : public ::testing::Test {
 protected:
  static platform::Ref<Dib> Made(const Picture& p) {
    auto dib = platform::MakeRef<Dib>();
    EXPECT_TRUE(dib->Create(p.width, p.height));
    Load(*dib, p);
    return dib;
  }
  static std::u16string_view Source() {
    return std::is_same_v<Dib, cDIBSection> ? u"Vorlick.cDIBSection" : u"Vorlick.cDIBSection2";
  }
};
using DibClasses = ::testing::Types<cDIBSection, cDIBSection2>;
TYPED_TEST_SUITE(ResampleTest, DibClasses);

TYPED_TEST(ResampleTest, HeightComesFirstAndThePixelsAreInterpolated) {
  Picture picture = Noise(9, 6, 1);
  auto source = this->Made(picture);
  const auto before = PixelsOf(*source);
  platform::Ref<TypeParam> result = source->Resample(4, 11);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Width(), 11);
  EXPECT_EQ(result->Height(), 4);
  Picture expected(11, 4);
  reference::Interpolate(picture.grid(), expected.mutableGrid(), kSource);
  EXPECT_EQ(PixelsOf(*result), PixelsOf(expected));
  EXPECT_EQ(PixelsOf(*source), before);
}

TYPED_TEST(ResampleTest, SameSizeIsAPlainCopy) {
  for (auto [w, h] : {std::pair{9, 6}, {1, 5}, {5, 1}, {1, 1}}) {
    Picture picture = Noise(w, h, 2);
    auto source = this->Made(picture);
    platform::Ref<TypeParam> result = source->Resample(h, w);
    ASSERT_TRUE(result);
    EXPECT_NE(result.get(), source.get());
    EXPECT_EQ(PixelsOf(*result), PixelsOf(picture)) << w << "x" << h;
  }
}

TYPED_TEST(ResampleTest, SizeThatCannotBeCreatedGivesNoObjectAndNoError) {
  auto source = this->Made(Noise(4, 4, 3));
  const std::size_t live = platform::LiveGdiObjectCount();
  for (auto [h, w] : {std::pair{0, 4}, {4, 0}, {-2, 4}, {4, -2}}) {
    platform::Ref<TypeParam> result;
    EXPECT_NO_THROW(result = source->Resample(h, w));
    EXPECT_FALSE(result) << h << "x" << w;
  }
  EXPECT_EQ(platform::LiveGdiObjectCount(), live);
}

// A source one pixel wide or high has no right or upper neighbour: 9 when the size changes,
// no object, the source unchanged and the new object freed.
TYPED_TEST(ResampleTest, SourceWithoutNeighboursFailsWithSubscriptOutOfRange) {
  struct Case {
    LONG w, h, newH, newW;
  } cases[] = {{1, 5, 5, 2}, {1, 5, 4, 1}, {5, 1, 2, 5}, {5, 1, 1, 4}, {1, 1, 3, 3}};
  for (const Case& c : cases) {
    Picture picture = Noise(c.w, c.h, 4);
    auto source = this->Made(picture);
    const std::size_t live = platform::LiveGdiObjectCount();
    platform::Ref<TypeParam> result;
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    if (auto e = testsupport::RaisedError([&] { result = source->Resample(c.newH, c.newW); })) {
      EXPECT_EQ(e->number(), 9);
      EXPECT_EQ(e->source(), this->Source());
      EXPECT_EQ(e->description(), u"Subscript out of range");
    }
    EXPECT_FALSE(result);
    EXPECT_EQ(platform::LiveGdiObjectCount(), live);
    EXPECT_EQ(PixelsOf(*source), PixelsOf(picture));
  }
}

// A cleared object still reports its size but holds no pixels: an error, on the copy path too,
// rather than a blank picture passed off as a copy.
TYPED_TEST(ResampleTest, SourceWithoutPixelsFails) {
  auto source = this->Made(Noise(6, 6, 5));
  source->ClearUp();
  const std::size_t live = platform::LiveGdiObjectCount();
  for (auto [h, w] : {std::pair{3, 3}, {6, 6}}) {
    EXPECT_RUNTIME_ERROR(source->Resample(h, w), 9, this->Source());
  }
  EXPECT_EQ(platform::LiveGdiObjectCount(), live);
}

}  // namespace
}  // namespace pictoss
