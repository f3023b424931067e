#include "platform/jpeg/jpeg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/base/row_bytes.h"
#include "platform/jpeg/jpeg_test_picture.h"

namespace {

using jpegtest::Decode;
using jpegtest::Decoded;

// The test picture in a buffer of its own, rows padded to 4 bytes.
struct DibBuffer {
  int width, height, stride;
  std::vector<BYTE> bytes;
};

DibBuffer MakeDib(int width, int height) {
  DibBuffer dib{width, height, static_cast<int>(platform::DibRowBytes(width)), {}};
  dib.bytes.resize(static_cast<std::size_t>(dib.stride) * height);
  jpegtest::PaintTestPicture(dib.bytes.data(), width, height, dib.stride);
  return dib;
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

// The bottom-up round trip runs through the file writer (jpeg_writer_test). A positive
// DIBHeight means rows top-down: the same bytes read the other way up put the marker
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

namespace {

std::vector<BYTE> EncodeOnce(const DibBuffer& dib) {
  JPEG_CORE_PROPERTIES p{};
  EXPECT_EQ(ijlInit(&p), IJL_OK);
  p.DIBBytes = reinterpret_cast<LONG_PTR>(dib.bytes.data());
  p.DIBWidth = p.JPGWidth = dib.width;
  p.DIBHeight = -dib.height;
  p.JPGHeight = dib.height;
  p.DIBPadBytes = dib.stride - 3 * dib.width;
  p.jquality = 90;
  EXPECT_EQ(ijlWrite(&p, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_OK);
  std::vector<BYTE> out(p.JPGBytes, p.JPGBytes + p.JPGSizeBytes);
  EXPECT_EQ(ijlFree(&p), IJL_OK);
  return out;
}

}  // namespace

// The encoder and buffer that one record leaves for the next are reused: a picture encoded
// after a smaller and after a larger one comes out the same, whole and decodable.
TEST(EncoderRecord, KeptEncoderAndBufferGiveTheSameBytes) {
  const DibBuffer small = MakeDib(5, 3), large = MakeDib(301, 203);
  const std::vector<BYTE> first = EncodeOnce(large);
  EncodeOnce(small);
  EXPECT_EQ(EncodeOnce(large), first);
  const Decoded d = Decode(first.data(), first.size());
  EXPECT_EQ(d.width, 301);
  EXPECT_EQ(d.height, 203);
}
