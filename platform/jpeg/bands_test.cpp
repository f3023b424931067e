#include "platform/jpeg/bands.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/jpeg/jpeg.h"
#include "platform/jpeg/jpeg_test_picture.h"

namespace {

using jpegtest::Decode;
using jpegtest::Decoded;

// Top-down BGR rows without filler: busy texture over gradients, so that every band has
// real entropy-coded data and DC values that differ from band to band.
std::vector<BYTE> Picture(int width, int height) {
  std::vector<BYTE> bgr(static_cast<std::size_t>(width) * height * 3);
  unsigned seed = 12345;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      seed = seed * 1103515245u + 12345u;
      BYTE* p = &bgr[(static_cast<std::size_t>(y) * width + x) * 3];
      p[0] = static_cast<BYTE>((x * 7 + (seed >> 24) / 4) & 0xFF);
      p[1] = static_cast<BYTE>((y * 3 + x / 5) & 0xFF);
      p[2] = static_cast<BYTE>(((x ^ y) + (seed >> 28) * 9) & 0xFF);
    }
  return bgr;
}

// What one call of tjCompress2 makes of the picture: the reference.
std::vector<BYTE> OneEncode(const std::vector<BYTE>& bgr, int width, int height) {
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(tj, bgr.data(), width, width * 3, height, TJPF_BGR, &jpeg, &size,
                        TJSAMP_420, 90, 0),
            0);
  std::vector<BYTE> out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(tj);
  return out;
}

// The picture cut as the plan says, each band encoded by an encoder of its own, stitched.
std::vector<BYTE> BandedEncode(const std::vector<BYTE>& bgr, const platform::jpeg::BandPlan& plan) {
  std::vector<std::unique_ptr<platform::jpeg::BandEncoder>> owned;
  std::vector<platform::jpeg::BandEncoder*> bands;
  for (int b = 0; b < plan.bands; ++b) {
    owned.push_back(std::make_unique<platform::jpeg::BandEncoder>());
    bands.push_back(owned.back().get());
    EXPECT_TRUE(bands[b]->Start(plan, b, 90, platform::jpeg::RowFormat::kBgr));
    for (int y = b * plan.band_rows; y < std::min(plan.height, (b + 1) * plan.band_rows); ++y) {
      const std::uint8_t* row = &bgr[static_cast<std::size_t>(y) * plan.width * 3];
      EXPECT_TRUE(bands[b]->Write(&row, 1));
    }
    EXPECT_TRUE(bands[b]->Finish());
  }
  std::array<std::uint8_t, 6> dri;
  const platform::jpeg::Pieces pieces = platform::jpeg::StitchedPieces(plan, bands, dri);
  std::vector<BYTE> out(platform::jpeg::StitchedSize(pieces));
  platform::jpeg::Stitch(pieces, out.data());
  return out;
}

// djpeg's complaints about the file (its warnings and errors), empty for a clean file.
std::string DjpegComplaints(const std::vector<BYTE>& jpeg) {
  char path[] = "/tmp/bands_test_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, jpeg.data(), jpeg.size()), static_cast<ssize_t>(jpeg.size()));
  close(fd);
  std::string command = std::string("djpeg -bmp ") + path + " 2>&1 >/dev/null; echo status $?";
  std::string output;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p)) output += buffer;
    pclose(p);
  }
  unlink(path);
  return output == "status 0\n" ? "" : output;
}

struct Size {
  int width, height;
};

// Odd sizes, a single MCU, and a width over 4096; cut into 1, 2, 3 and 19 bands (19 takes the
// restart markers past RST7 and back to RST0).
TEST(Bands, DecodedPixelsEqualOneEncodeOfTheWholePicture) {
  const Size sizes[] = {{1, 1}, {17, 9}, {1366, 771}, {4100, 40}, {64, 300}};
  for (const Size& s : sizes) {
    const std::vector<BYTE> bgr = Picture(s.width, s.height);
    const Decoded reference =
        Decode(OneEncode(bgr, s.width, s.height).data(), OneEncode(bgr, s.width, s.height).size());
    ASSERT_FALSE(reference.bgr.empty());
    for (int wanted : {1, 2, 3, 19}) {
      SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + " in " +
                   std::to_string(wanted) + " bands");
      const platform::jpeg::BandPlan plan = platform::jpeg::PlanBands(s.width, s.height, wanted);
      const std::vector<BYTE> jpeg = BandedEncode(bgr, plan);
      const Decoded d = Decode(jpeg.data(), jpeg.size());
      EXPECT_EQ(d.width, s.width);
      EXPECT_EQ(d.height, s.height);
      EXPECT_EQ(d.subsampling, TJSAMP_420);
      EXPECT_TRUE(d.bgr == reference.bgr) << "decoded pixels differ from one encode";
      EXPECT_EQ(DjpegComplaints(jpeg), "");
    }
  }
}

// One band is exactly one plain encode, byte for byte: small pictures lose nothing.
TEST(Bands, OneBandIsThePlainEncode) {
  const std::vector<BYTE> bgr = Picture(17, 9);
  const platform::jpeg::BandPlan plan = platform::jpeg::PlanBands(17, 9, 4);
  EXPECT_EQ(plan.bands, 1);
  EXPECT_EQ(BandedEncode(bgr, plan), OneEncode(bgr, 17, 9));
}

TEST(Bands, PlansKeepTheRestartIntervalWithin16Bits) {
  struct Case {
    int width, height, wanted;
    int band_rows, bands;
    unsigned restart_interval;
  };
  const Case cases[] = {
      {1920, 1080, 2, 544, 2, 120 * 34},  // 68 MCU rows of 120
      {3840, 2160, 2, 1088, 2, 240 * 68},
      {1366, 771, 2, 400, 2, 86 * 25},      // 49 MCU rows: 25 and 24
      {17, 9, 4, 16, 1, 0},                 // one MCU row: no restarts
      {65500, 1000, 2, 256, 4, 4094 * 16},  // 4094 MCUs a row: 16 rows of them at most
      {1920, 1080, 0, 1088, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const platform::jpeg::BandPlan plan = platform::jpeg::PlanBands(c.width, c.height, c.wanted);
    EXPECT_EQ(plan.band_rows, c.band_rows);
    EXPECT_EQ(plan.bands, c.bands);
    EXPECT_EQ(plan.restart_interval, c.restart_interval);
    EXPECT_LE(plan.restart_interval, 0xFFFFu);
  }
}

// ijlWrite of a bottom-up DIB with filler bytes decodes to the same pixels as one encode of the
// same rows.
void ExpectIjlWriteEqualsOneEncode(const Size s) {
  SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
  const int stride = (3 * s.width + 3) / 4 * 4;
  std::vector<BYTE> dib(static_cast<std::size_t>(stride) * s.height, 0xA5);
  jpegtest::PaintTestPicture(dib.data(), s.width, s.height, stride);
  JPEG_CORE_PROPERTIES props{};
  ASSERT_EQ(ijlInit(&props), IJL_OK);
  props.DIBBytes = reinterpret_cast<LONG_PTR>(dib.data());
  props.DIBWidth = props.JPGWidth = s.width;
  props.DIBHeight = -s.height;
  props.JPGHeight = s.height;
  props.DIBPadBytes = stride - 3 * s.width;
  props.jquality = 90;
  ASSERT_EQ(ijlWrite(&props, IJL_JBUFF_WRITEWHOLEIMAGE), IJL_OK);
  const Decoded ours = Decode(props.JPGBytes, props.JPGSizeBytes);
  ijlFree(&props);

  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  ASSERT_EQ(tjCompress2(tj, dib.data(), s.width, stride, s.height, TJPF_BGR, &jpeg, &size,
                        TJSAMP_420, 90, TJFLAG_BOTTOMUP),
            0);
  const Decoded reference = Decode(jpeg, size);
  tjFree(jpeg);
  tjDestroy(tj);
  EXPECT_TRUE(ours.bgr == reference.bgr);
}

// ijlWrite cuts large pictures into bands on several threads.
TEST(Bands, IjlWriteOfABottomUpDibEqualsOneEncode) {
  for (const Size s : {Size{1366, 771}, Size{4100, 130}}) ExpectIjlWriteEqualsOneEncode(s);
}

}  // namespace

namespace {

// A sink that appends the file to `into`, counting its calls in `calls`.
IjlFileSink Collect(std::vector<BYTE>& into, int* calls = nullptr) {
  return [&into, calls](std::span<const std::span<const BYTE>> pieces) {
    if (calls) ++*calls;
    for (const auto& p : pieces) into.insert(into.end(), p.begin(), p.end());
  };
}

// Band by band as a one-pass capture writes them: 32-bit rows in strips of 16 (and a last odd
// one), the bands on threads of their own; the same pixels as one encode of the whole picture.
TEST(Bands, BandsWrittenInStripsOnThreadsEqualOneEncode) {
  for (const Size s : {Size{1366, 771}, Size{4100, 70}, Size{17, 9}}) {
    SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
    std::vector<BYTE> bgrx(static_cast<std::size_t>(s.width) * s.height * 4);
    const std::vector<BYTE> bgr = Picture(s.width, s.height);
    for (std::size_t i = 0; i < bgr.size() / 3; ++i)
      std::memcpy(&bgrx[4 * i], &bgr[3 * i], 3), bgrx[4 * i + 3] = 0x5A;
    JPEG_CORE_PROPERTIES props{};
    ASSERT_EQ(ijlInit(&props), IJL_OK);
    props.JPGWidth = s.width;
    props.JPGHeight = s.height;
    props.jquality = 90;
    std::vector<BYTE> streamed;  // the file as it is handed on, one call at a time
    ASSERT_EQ(ijlStreamBands(&props, Collect(streamed)), IJL_OK);
    int bandRows = 0, bands = 0;
    ASSERT_EQ(ijlStartBands(&props, 2, &bandRows, &bands), IJL_OK);
    std::vector<std::thread> threads;
    std::vector<int> status(static_cast<std::size_t>(bands), IJL_OK);
    for (int b = 0; b < bands; ++b) {
      threads.emplace_back([&, b] {
        const int first = b * bandRows, end = std::min(s.height, first + bandRows);
        for (int y = first; y < end && status[b] == IJL_OK; y += 16) {
          std::vector<const BYTE*> rows;
          for (int r = y; r < std::min(end, y + 16); ++r)
            rows.push_back(&bgrx[static_cast<std::size_t>(r) * s.width * 4]);
          status[b] = ijlWriteBand(&props, b, rows.data(), static_cast<int>(rows.size()));
        }
      });
    }
    for (std::thread& t : threads) t.join();
    for (int st : status) EXPECT_EQ(st, IJL_OK);
    ASSERT_EQ(ijlFinishBands(&props), IJL_OK);
    EXPECT_EQ(props.JPGBytes, nullptr);
    const std::vector<BYTE> file = jpegtest::Joined(props);
    EXPECT_EQ(file.size(), props.JPGSizeBytes);
    EXPECT_TRUE(streamed == file);
    const Decoded ours = Decode(file.data(), file.size());
    const std::vector<BYTE> one = OneEncode(bgr, s.width, s.height);
    EXPECT_TRUE(ours.bgr == Decode(one.data(), one.size()).bgr);
    EXPECT_EQ(ijlFree(&props), IJL_OK);
  }
}

// A band is handed on only once every band before it is: bands done last to first come out
// all at once, in file order, with the first; the end comes with ijlFinishBands, and the sink
// goes with it.
TEST(Bands, StreamedBandsComeInFileOrder) {
  const int width = 64, height = 200;
  std::vector<BYTE> bgrx(static_cast<std::size_t>(width) * height * 4, 0x80);
  JPEG_CORE_PROPERTIES props{};
  ASSERT_EQ(ijlInit(&props), IJL_OK);
  props.JPGWidth = width;
  props.JPGHeight = height;
  props.jquality = 90;
  std::vector<BYTE> streamed;
  int calls = 0;
  ASSERT_EQ(ijlStreamBands(&props, Collect(streamed, &calls)), IJL_OK);
  int bandRows = 0, bands = 0;
  ASSERT_EQ(ijlStartBands(&props, 4, &bandRows, &bands), IJL_OK);
  ASSERT_EQ(bands, 4);
  auto write = [&](int band) {
    std::vector<const BYTE*> rows;
    for (int r = band * bandRows; r < std::min(height, (band + 1) * bandRows); ++r)
      rows.push_back(&bgrx[static_cast<std::size_t>(r) * width * 4]);
    ASSERT_EQ(ijlWriteBand(&props, band, rows.data(), static_cast<int>(rows.size())), IJL_OK);
  };
  for (int band = bands - 1; band > 0; --band) write(band);
  EXPECT_TRUE(streamed.empty());
  write(0);
  EXPECT_EQ(calls, bands);
  ASSERT_EQ(ijlFinishBands(&props), IJL_OK);
  EXPECT_EQ(calls, bands + 1);
  EXPECT_TRUE(streamed == jpegtest::Joined(props));
  // The next bands of the record go nowhere.
  ASSERT_EQ(ijlStartBands(&props, 4, &bandRows, &bands), IJL_OK);
  for (int band = 0; band < bands; ++band) write(band);
  ASSERT_EQ(ijlFinishBands(&props), IJL_OK);
  EXPECT_EQ(calls, bands + 1);

  // A hand-on cut short (memory ran out in the sink) fails its band; the record's next bands
  // are handed on whole.
  auto failing = [](std::span<const std::span<const BYTE>>) { throw std::bad_alloc(); };
  ASSERT_EQ(ijlStreamBands(&props, failing), IJL_OK);
  ASSERT_EQ(ijlStartBands(&props, 4, &bandRows, &bands), IJL_OK);
  std::vector<const BYTE*> rows(static_cast<std::size_t>(bandRows), bgrx.data());
  EXPECT_EQ(ijlWriteBand(&props, 0, rows.data(), bandRows), IJL_ENCODER_ERROR);
  streamed.clear();
  ASSERT_EQ(ijlStreamBands(&props, Collect(streamed)), IJL_OK);
  ASSERT_EQ(ijlStartBands(&props, 4, &bandRows, &bands), IJL_OK);
  for (int band = 0; band < bands; ++band) write(band);
  ASSERT_EQ(ijlFinishBands(&props), IJL_OK);
  EXPECT_TRUE(streamed == jpegtest::Joined(props));
  EXPECT_EQ(ijlFree(&props), IJL_OK);
}

TEST(Bands, BandWritesOutOfTurnFail) {
  JPEG_CORE_PROPERTIES props{};
  ASSERT_EQ(ijlInit(&props), IJL_OK);
  props.JPGWidth = 1000;
  props.JPGHeight = 600;
  props.jquality = 90;
  int bandRows = 0, bands = 0;
  ASSERT_EQ(ijlStartBands(&props, 2, &bandRows, &bands), IJL_OK);
  ASSERT_EQ(bands, 2);
  EXPECT_EQ(bandRows, 304);  // 38 MCU rows: 19 a band
  std::vector<BYTE> row(4000, 0x80);
  std::vector<const BYTE*> rows(305, row.data());
  EXPECT_EQ(ijlWriteBand(&props, 2, rows.data(), 1), IJL_INVALID_SIZE) << "no band 2";
  EXPECT_EQ(ijlWriteBand(&props, 0, rows.data(), 305), IJL_INVALID_SIZE) << "past the band";
  EXPECT_EQ(ijlWriteBand(&props, 0, rows.data(), 304), IJL_OK);
  EXPECT_EQ(ijlFinishBands(&props), IJL_INVALID_SIZE) << "band 1 not written";
  EXPECT_EQ(ijlWriteBand(&props, 1, rows.data(), 296), IJL_OK);
  EXPECT_EQ(ijlFinishBands(&props), IJL_OK);
  props.jquality = 0;
  EXPECT_EQ(ijlStartBands(&props, 2, &bandRows, &bands), IJL_INVALID_QUALITY);
  EXPECT_EQ(ijlFree(&props), IJL_OK);
}

// A one pass that stops halfway (a read of the screen failed) leaves its encoders in the middle
// of their bands to the next record, which starts them afresh: its encode is whole.
TEST(Bands, EncodersLeftHalfwayStartAfresh) {
  JPEG_CORE_PROPERTIES props{};
  ASSERT_EQ(ijlInit(&props), IJL_OK);
  props.JPGWidth = 1366;
  props.JPGHeight = 771;
  props.jquality = 90;
  int bandRows = 0, bands = 0;
  ASSERT_EQ(ijlStartBands(&props, 2, &bandRows, &bands), IJL_OK);
  ASSERT_EQ(bands, 2);
  std::vector<BYTE> row(4 * 1366, 0x80);
  std::vector<const BYTE*> rows(16, row.data());
  for (int b = 0; b < bands; ++b) ASSERT_EQ(ijlWriteBand(&props, b, rows.data(), 16), IJL_OK);
  EXPECT_EQ(ijlFree(&props), IJL_OK);
  ExpectIjlWriteEqualsOneEncode({1366, 771});
}

}  // namespace
