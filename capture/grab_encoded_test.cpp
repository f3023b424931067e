// The capture's one pass (GrabEncoded) against the steps one by one: the DIB section gets what
// GrabWindowRect and a copy into a DIB section give, the picture the same pixels, and the JPEG
// the pixels of one encode of the whole picture; where the one pass cannot be made, nothing.
// The screen is the fake display's, read in strips as the X11 display reads a 24-bit screen.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/screen_capture.h"
#include "platform/gdi/bitmap.h"
#include "platform/jpeg/jpeg_test_picture.h"
#include "platform/user/window.h"
#include "tests/support/fake_display.h"

namespace {

// Busy texture over gradients, so that the encoder has real work in every band.
std::uint32_t Pattern(int x, int y) {
  const std::uint32_t noise = (static_cast<std::uint32_t>(x) * 2654435761u) ^ (y * 40503u);
  return ((x * 255 / 4200) << 16) | ((y & 0xFF) << 8) | ((noise >> 13) & 0xFF);
}

// A DIB section selected into a memory DC of its own.
struct Dib {
  Dib(int width, int height) : width(width), height(height) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    dc = CreateCompatibleDC(0);
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, 0, 0);
    old = SelectObject(dc, bitmap);
  }
  ~Dib() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  int stride() const { return (3 * width + 3) / 4 * 4; }
  std::vector<BYTE> Bytes() const {
    auto* p = static_cast<const BYTE*>(bits);
    return {p, p + static_cast<std::size_t>(stride()) * height};
  }
  int width, height;
  HDC dc = 0;
  HBITMAP bitmap = 0;
  HGDIOBJ old = 0;
  void* bits = nullptr;
};

std::vector<std::uint32_t> Colours(HBITMAP b) {
  int w = 0, h = 0;
  std::vector<std::uint32_t> px;
  EXPECT_TRUE(platform::GetBitmapRgb(b, &w, &h, &px));
  return px;
}

// One encode of the DIB section's pixels, decoded: the reference for the one pass.
std::vector<BYTE> EncodeWhole(const Dib& dib) {
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(tj, static_cast<const BYTE*>(dib.bits), dib.width, dib.stride(), dib.height,
                        TJPF_BGR, &jpeg, &size, TJSAMP_420, 90, TJFLAG_BOTTOMUP),
            0);
  std::vector<BYTE> pixels = jpegtest::Decode(jpeg, size).bgr;
  tjFree(jpeg);
  tjDestroy(tj);
  return pixels;
}

struct Record {
  Record(int width, int height) {
    EXPECT_EQ(ijlInit(&props), IJL_OK);
    props.JPGWidth = width;
    props.JPGHeight = height;
    props.jquality = 90;
  }
  ~Record() { ijlFree(&props); }
  JPEG_CORE_PROPERTIES props{};
};

void ExpectOnePassEqualsSteps(testsupport::FakeDisplay& screen, int width, int height) {
  SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
  const pictoss::GrabTarget target{GetDesktopWindow(), width, height};
  Dib onePass(width, height), steps(width, height);
  Record record(width, height);
  const int readers = screen.strip_readers;
  platform::Ref<Picture> picture = pictoss::GrabEncoded(target, onePass.dc, record.props);
  ASSERT_TRUE(picture);
  EXPECT_GT(screen.strip_readers, readers) << "the one pass did not read the screen in strips";
  platform::Ref<Picture> reference =
      pictoss::GrabWindowRect(target.hWnd, false, 0, 0, width, height);
  HDC temp = CreateCompatibleDC(0);
  HGDIOBJ kept = SelectObject(temp, reference->Handle());
  ASSERT_TRUE(BitBlt(steps.dc, 0, 0, width, height, temp, 0, 0, SRCCOPY));
  SelectObject(temp, kept);
  DeleteDC(temp);
  EXPECT_TRUE(onePass.Bytes() == steps.Bytes()) << "the DIB section differs from the steps'";
  EXPECT_TRUE(Colours(picture->Handle()) == Colours(reference->Handle()));
  const std::vector<BYTE> file = jpegtest::Joined(record.props);
  const jpegtest::Decoded ours = jpegtest::Decode(file.data(), file.size());
  EXPECT_EQ(ours.width, width);
  EXPECT_EQ(ours.height, height);
  EXPECT_TRUE(ours.bgr == EncodeWhole(steps)) << "decoded pixels differ from one encode";
}

// Large pictures go in bands on two threads, small ones in one; a width over 4096.
TEST(GrabEncoded, EqualsTheStepsOneByOne) {
  {
    testsupport::FakeDisplay screen(1366, 771);
    screen.Paint(Pattern);
    for (auto [w, h] : {std::pair{1366, 771}, {17, 9}, {1, 1}, {1000, 700}})
      ExpectOnePassEqualsSteps(screen, w, h);
  }
  testsupport::FakeDisplay screen(4200, 70);
  screen.Paint(Pattern);
  ExpectOnePassEqualsSteps(screen, 4200, 70);
}

TEST(GrabEncoded, WhereItCannotBeMadeNothingIsTouched) {
  {
    testsupport::FakeDisplay screen(640, 480);
    screen.Paint(Pattern);
    Dib dib(641, 100);  // a column off the screen
    const std::vector<BYTE> zero(dib.Bytes().size(), 0);
    Record record(641, 100);
    EXPECT_FALSE(pictoss::GrabEncoded({GetDesktopWindow(), 641, 100}, dib.dc, record.props));
    EXPECT_TRUE(dib.Bytes() == zero);
    EXPECT_EQ(record.props.JPGPieces, nullptr);
  }
  testsupport::FakeDisplay shallow(64, 64, 16, 0xF800, 0x07E0, 0x001F);
  Dib dib(32, 32);
  Record record(32, 32);
  EXPECT_FALSE(pictoss::GrabEncoded({GetDesktopWindow(), 32, 32}, dib.dc, record.props))
      << "a 16-bit screen";
}

}  // namespace
