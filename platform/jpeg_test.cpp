#include "platform/jpeg.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Bgr {
  int b, g, r;
};

// The test picture: a gentle gradient (4 levels a pixel at most, so that halving the chrominance
// costs little) under a top row of pure red, which tells a flipped picture from the right one.
Bgr TestPixel(int x, int y) {
  if (y == 0) return {0, 0, 255};
  return {(4 * x) % 256, (5 * y) % 256, 96 + (2 * x + 3 * y) % 128};
}

// A bottom-up BGR picture with each row padded to 4 bytes; the filler bytes hold 0xA5 so that a
// pitch that ignores them shows up as a skewed picture.
struct DibBuffer {
  int width, height, stride;
  std::vector<BYTE> bytes;
};

DibBuffer MakeDib(int width, int height) {
  DibBuffer dib{width, height, (3 * width + 3) / 4 * 4, {}};
  dib.bytes.assign(static_cast<std::size_t>(dib.stride) * height, 0xA5);
  for (int y = 0; y < height; ++y) {
    BYTE* row = dib.bytes.data() + static_cast<std::size_t>(height - 1 - y) * dib.stride;
    for (int x = 0; x < width; ++x) {
      const Bgr p = TestPixel(x, y);
      row[3 * x] = static_cast<BYTE>(p.b);
      row[3 * x + 1] = static_cast<BYTE>(p.g);
      row[3 * x + 2] = static_cast<BYTE>(p.r);
    }
  }
  return dib;
}

struct Decoded {
  int width = 0, height = 0, subsampling = -1, colorspace = -1;
  std::vector<BYTE> bgr;  // top-down, unpadded
};

Decoded Decode(const BYTE* jpeg, std::size_t size) {
  Decoded out;
  tjhandle handle = tjInitDecompress();
  if (tjDecompressHeader3(handle, jpeg, size, &out.width, &out.height, &out.subsampling,
                          &out.colorspace) == 0) {
    out.bgr.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    if (tjDecompress2(handle, jpeg, size, out.bgr.data(), out.width, 0, out.height, TJPF_BGR, 0) !=
        0) {
      out.bgr.clear();
    }
  }
  tjDestroy(handle);
  return out;
}

// Mean absolute error of blue, green and red over the rows from firstRow down.
std::vector<double> MeanError(const Decoded& d, int firstRow) {
  std::vector<double> sum(3, 0.0);
  for (int y = firstRow; y < d.height; ++y) {
    for (int x = 0; x < d.width; ++x) {
      const BYTE* p = &d.bgr[(static_cast<std::size_t>(y) * d.width + x) * 3];
      const Bgr e = TestPixel(x, y);
      sum[0] += std::abs(p[0] - e.b);
      sum[1] += std::abs(p[1] - e.g);
      sum[2] += std::abs(p[2] - e.r);
    }
  }
  for (double& s : sum) s /= static_cast<double>(d.width) * (d.height - firstRow);
  return sum;
}

class Encoder : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ijlInit(&props), IJL_OK); }
  void TearDown() override { EXPECT_EQ(ijlFree(&props), IJL_OK); }

  void Describe(const DibBuffer& dib, int quality) {
    props.DIBBytes = reinterpret_cast<LONG_PTR>(dib.bytes.data());
    props.DIBWidth = dib.width;
    props.DIBHeight = -dib.height;
    props.DIBPadBytes = dib.stride - 3 * dib.width;
    props.JPGWidth = dib.width;
    props.JPGHeight = dib.height;
    props.jquality = quality;
  }

  JPEG_CORE_PROPERTIES props{};
};

// The top row of the decoded picture is nearer the marker than the bottom row of the picture.
void ExpectMarkerOnTop(const Decoded& d) {
  double offMarker = 0, offFlipped = 0;
  for (int x = 0; x < d.width; ++x) {
    const BYTE* p = &d.bgr[3 * x];
    const Bgr marker = TestPixel(x, 0), bottom = TestPixel(x, d.height - 1);
    offMarker += std::abs(p[0] - marker.b) + std::abs(p[1] - marker.g) + std::abs(p[2] - marker.r);
    offFlipped += std::abs(p[0] - bottom.b) + std::abs(p[1] - bottom.g) + std::abs(p[2] - bottom.r);
  }
  if (d.height > 1) {
    EXPECT_LT(offMarker, offFlipped) << "the picture is upside down";
  }
  EXPECT_GT(d.bgr[2], 180) << "the top left pixel is not the red marker";
}

// Quality 90 scales the standard quantisation tables by 0.2, so the low frequencies of this
// smooth picture are kept in steps of 2 to 4 levels: about a level a pixel. Halving the
// chrominance (4:2:0) of a ramp of 4 levels a pixel costs 2 to 3 more in blue and red. So 6 a
// channel, while a flipped, skewed (filler bytes taken for pixels) or blue-red swapped picture
// is off by tens. The marker row shares its chrominance with the row under it, so both are
// left out of the mean and the marker is checked on its own.
TEST_F(Encoder, RoundTripKeepsSizeOrientationAndColours) {
  struct Size {
    int width, height;
  };
  for (const Size size : {Size{47, 33}, Size{1, 1}, Size{1, 9}, Size{2, 9}, Size{3, 9}, Size{4, 9},
                          Size{5, 9}, Size{48, 32}}) {
    SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
    const DibBuffer dib = MakeDib(size.width, size.height);
    Describe(dib, 90);
    ASSERT_EQ(ijlWrite(&props, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_OK);
    const Decoded d = Decode(props.JPGBytes, props.JPGSizeBytes);
    ASSERT_EQ(d.width, size.width);
    ASSERT_EQ(d.height, size.height);
    ASSERT_FALSE(d.bgr.empty());
    EXPECT_EQ(d.subsampling, TJSAMP_420);
    EXPECT_EQ(d.colorspace, TJCS_YCbCr);
    ExpectMarkerOnTop(d);
    if (size.height > 2) {
      for (double error : MeanError(d, 2)) EXPECT_LT(error, 6.0);
    }
  }
}

// A positive DIBHeight means rows top-down: the same bytes read the other way up put the marker
// at the bottom.
TEST_F(Encoder, PositiveHeightReadsRowsTopDown) {
  const DibBuffer dib = MakeDib(47, 33);
  Describe(dib, 90);
  props.DIBHeight = 33;
  ASSERT_EQ(ijlWrite(&props, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_OK);
  const Decoded d = Decode(props.JPGBytes, props.JPGSizeBytes);
  ASSERT_EQ(d.height, 33);
  const BYTE* bottomLeft = &d.bgr[static_cast<std::size_t>(32) * 47 * 3];
  EXPECT_GT(bottomLeft[2], 200);
  EXPECT_LT(bottomLeft[1], 40);
  EXPECT_GT(d.bgr[1], 120) << "the top row should be the last row in memory, green 160";
}

TEST_F(Encoder, QualityReachesTheEncoder) {
  const DibBuffer dib = MakeDib(47, 33);
  std::vector<std::size_t> sizes;
  for (int quality : {1, 50, 100}) {
    Describe(dib, quality);
    ASSERT_EQ(ijlWrite(&props, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_OK);
    sizes.push_back(props.JPGSizeBytes);
  }
  EXPECT_LT(sizes[0], sizes[1]);
  EXPECT_LT(sizes[1], sizes[2]);
}

TEST_F(Encoder, RejectsWhatItCannotEncodeWithItsOwnStatus) {
  const DibBuffer dib = MakeDib(5, 3);
  struct Case {
    const char* what;
    void (*spoil)(JPEG_CORE_PROPERTIES&);
    int status;
  };
  const Case cases[] = {
      {"no pixels", [](JPEG_CORE_PROPERTIES& p) { p.DIBBytes = 0; }, IJL_NO_PIXELS},
      {"width 0", [](JPEG_CORE_PROPERTIES& p) { p.DIBWidth = p.JPGWidth = 0; }, IJL_INVALID_SIZE},
      {"height 0", [](JPEG_CORE_PROPERTIES& p) { p.DIBHeight = p.JPGHeight = 0; },
       IJL_INVALID_SIZE},
      {"height INT32_MIN", [](JPEG_CORE_PROPERTIES& p) { p.DIBHeight = INT32_MIN; },
       IJL_INVALID_SIZE},
      {"scaled width", [](JPEG_CORE_PROPERTIES& p) { p.JPGWidth = 4; }, IJL_INVALID_SIZE},
      {"scaled height", [](JPEG_CORE_PROPERTIES& p) { p.JPGHeight = 2; }, IJL_INVALID_SIZE},
      {"4 filler bytes", [](JPEG_CORE_PROPERTIES& p) { p.DIBPadBytes = 4; }, IJL_INVALID_SIZE},
      {"negative filler", [](JPEG_CORE_PROPERTIES& p) { p.DIBPadBytes = -1; }, IJL_INVALID_SIZE},
      {"pitch over 2^31", [](JPEG_CORE_PROPERTIES& p) { p.DIBWidth = p.JPGWidth = 0x2AAAAAAB; },
       IJL_INVALID_SIZE},
      {"quality 0", [](JPEG_CORE_PROPERTIES& p) { p.jquality = 0; }, IJL_INVALID_QUALITY},
      {"quality 101", [](JPEG_CORE_PROPERTIES& p) { p.jquality = 101; }, IJL_INVALID_QUALITY},
      {"quality -90", [](JPEG_CORE_PROPERTIES& p) { p.jquality = -90; }, IJL_INVALID_QUALITY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Describe(dib, 90);
    ASSERT_EQ(ijlWrite(&props, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_OK);
    c.spoil(props);
    EXPECT_EQ(ijlWrite(&props, IJL_JBUFF_WRITEWHOLEIMAGE), c.status);
    EXPECT_EQ(props.JPGBytes, nullptr) << "bytes of an earlier picture left in the record";
    EXPECT_EQ(props.JPGSizeBytes, 0u);
  }
  Describe(dib, 90);
  EXPECT_EQ(ijlWrite(&props, static_cast<IJLIOTYPE>(8)), IJL_UNSUPPORTED_MODE);
}

// libjpeg encodes at most 65500 pixels a side; the encoder says so instead of writing a broken
// file.
TEST_F(Encoder, SideOverJpegLimitIsAnEncoderError) {
  const DibBuffer dib = MakeDib(65536, 1);
  Describe(dib, 90);
  EXPECT_EQ(ijlWrite(&props, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_ENCODER_ERROR);
  EXPECT_EQ(props.JPGBytes, nullptr);
}

TEST(EncoderRecord, CallsOnMissingOrUnpreparedRecordsFailSafely) {
  EXPECT_EQ(ijlInit(nullptr), IJL_INVALID_RECORD);
  EXPECT_EQ(ijlWrite(nullptr, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_INVALID_RECORD);
  EXPECT_EQ(ijlFree(nullptr), IJL_INVALID_RECORD);
  JPEG_CORE_PROPERTIES zeroed{};
  EXPECT_EQ(ijlWrite(&zeroed, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_INVALID_RECORD);
  EXPECT_EQ(ijlFree(&zeroed), IJL_OK);
  JPEG_CORE_PROPERTIES props{};
  ASSERT_EQ(ijlInit(&props), IJL_OK);
  EXPECT_EQ(ijlFree(&props), IJL_OK);
  EXPECT_EQ(ijlFree(&props), IJL_OK);
  EXPECT_EQ(ijlWrite(&props, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_INVALID_RECORD);
}

}  // namespace
