// The one pass from the screen to a DIB section and a JPEG, against the steps one by one
// (BitBlt, then one encode of the whole picture), and bitmaps that take on a DIB section's
// pixels instead of a copy.
#include "platform/gdi/screen_jpeg.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/gdi/bitmap.h"
#include "platform/jpeg/jpeg_test_picture.h"
#include "platform/user/window.h"
#include "tests/support/xvfb.h"

namespace {

// Busy texture over gradients, so that the encoder has real work in every band.
std::uint32_t Pattern(int x, int y) {
  const std::uint32_t noise = (static_cast<std::uint32_t>(x) * 2654435761u) ^ (y * 40503u);
  return ((x * 255 / 4200) << 16) | ((y & 0xFF) << 8) | ((noise >> 13) & 0xFF);
}

void PaintRoot(int w, int h) {
  Display* d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  XImage* image =
      XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0, nullptr, w, h, 32, 0);
  image->data =
      static_cast<char*>(std::malloc(static_cast<std::size_t>(image->bytes_per_line) * h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) XPutPixel(image, x, y, Pattern(x, y));
  GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
  XPutImage(d, DefaultRootWindow(d), gc, image, 0, 0, 0, 0, w, h);
  XFreeGC(d, gc);
  XDestroyImage(image);
  XCloseDisplay(d);
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

// One encode of the DIB section's pixels, decoded: the reference for the one pass.
jpegtest::Decoded EncodeWhole(const Dib& dib) {
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(tj, static_cast<const BYTE*>(dib.bits), dib.width, dib.stride(), dib.height,
                        TJPF_BGR, &jpeg, &size, TJSAMP_420, 90, TJFLAG_BOTTOMUP),
            0);
  jpegtest::Decoded d = jpegtest::Decode(jpeg, size);
  tjFree(jpeg);
  tjDestroy(tj);
  return d;
}

struct Region {
  int x, y, width, height;
};

void ExpectOnePassEqualsSteps(const Region& r) {
  SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height) + " at " +
               std::to_string(r.x) + "," + std::to_string(r.y));
  HDC screen = GetWindowDC(GetDesktopWindow());
  Dib onePass(r.width, r.height), steps(r.width, r.height);
  JPEG_CORE_PROPERTIES props{};
  ASSERT_EQ(ijlInit(&props), IJL_OK);
  props.jquality = 90;
  ASSERT_TRUE(BitBltEncode(onePass.dc, screen, r.x, r.y, &props));
  ASSERT_TRUE(BitBlt(steps.dc, 0, 0, r.width, r.height, screen, r.x, r.y, SRCCOPY));
  EXPECT_TRUE(onePass.Bytes() == steps.Bytes()) << "the DIB section differs from BitBlt's";
  const jpegtest::Decoded ours = jpegtest::Decode(props.JPGBytes, props.JPGSizeBytes);
  EXPECT_EQ(ours.width, r.width);
  EXPECT_EQ(ours.height, r.height);
  EXPECT_TRUE(ours.bgr == EncodeWhole(steps).bgr) << "decoded pixels differ from one encode";
  ijlFree(&props);
  ReleaseDC(GetDesktopWindow(), screen);
}

// Large pictures go in bands on two threads, small ones in one; a width over 4096.
TEST(BitBltEncode, EqualsBitBltAndOneEncode) {
  {
    testsupport::XvfbServer server(1366, 771, 24);
    PaintRoot(1366, 771);
    for (const Region& r : {Region{0, 0, 1366, 771}, Region{5, 7, 17, 9}, Region{1365, 770, 1, 1},
                            Region{100, 3, 1000, 700}})
      ExpectOnePassEqualsSteps(r);
  }
  testsupport::XvfbServer server(4200, 70, 24);
  PaintRoot(4200, 70);
  ExpectOnePassEqualsSteps({0, 0, 4200, 70});
}

TEST(BitBltEncode, RefusesWhatItCannotDoInOnePassAndTouchesNothing) {
  testsupport::XvfbServer server(640, 480, 24);
  PaintRoot(640, 480);
  HDC screen = GetWindowDC(GetDesktopWindow());
  JPEG_CORE_PROPERTIES props{};
  ASSERT_EQ(ijlInit(&props), IJL_OK);
  props.jquality = 90;
  Dib dib(100, 100);
  const std::vector<BYTE> zero(dib.Bytes().size(), 0);
  EXPECT_FALSE(BitBltEncode(dib.dc, screen, 600, 0, &props)) << "partly off the screen";
  EXPECT_FALSE(BitBltEncode(dib.dc, screen, 0, -1, &props)) << "partly off the screen";
  EXPECT_FALSE(BitBltEncode(dib.dc, dib.dc, 0, 0, &props)) << "a source that is no window";
  EXPECT_FALSE(BitBltEncode(screen, screen, 0, 0, &props)) << "a destination that is no DIB";
  props.jquality = 0;
  EXPECT_FALSE(BitBltEncode(dib.dc, screen, 0, 0, &props)) << "quality 0";
  EXPECT_TRUE(dib.Bytes() == zero);
  EXPECT_EQ(props.JPGBytes, nullptr);
  ijlFree(&props);
  ReleaseDC(GetDesktopWindow(), screen);

  testsupport::XvfbServer shallow(64, 64, 16);
  screen = GetWindowDC(GetDesktopWindow());
  ASSERT_EQ(ijlInit(&props), IJL_OK);
  props.jquality = 90;
  Dib small(32, 32);
  EXPECT_FALSE(BitBltEncode(small.dc, screen, 0, 0, &props)) << "a 16-bit screen";
  ijlFree(&props);
  ReleaseDC(GetDesktopWindow(), screen);
}

// The colours of a bitmap, top row first.
std::vector<std::uint32_t> Colours(HBITMAP b) {
  int w = 0, h = 0;
  std::vector<std::uint32_t> px;
  EXPECT_TRUE(platform::GetBitmapRgb(b, &w, &h, &px));
  return px;
}

// A whole DIB section copied onto a screen bitmap of its size: the bitmap shows the DIB
// section's pixels as they were at the copy, whatever later happens to either.
TEST(SharedPixels, ACopyKeepsThePixelsOfItsMoment) {
  testsupport::XvfbServer server(64, 48, 24);
  PaintRoot(64, 48);
  HDC screen = GetWindowDC(GetDesktopWindow());
  struct Case {
    const char* what;
    void (*change)(Dib& dib, HDC copyDc);
    bool dibChanges;
  };
  const Case cases[] = {
      {"GDI draws on the DIB section",
       [](Dib& dib, HDC) { BitBlt(dib.dc, 0, 0, 64, 48, 0, 0, 0, BLACKNESS); }, true},
      {"its memory is written after GdiFlush",
       [](Dib& dib, HDC) {
         GdiFlush();
         std::memset(dib.bits, 0x40, static_cast<std::size_t>(dib.stride()) * dib.height);
       },
       true},
      {"GDI draws on the copy",
       [](Dib&, HDC copyDc) { BitBlt(copyDc, 0, 0, 64, 48, 0, 0, 0, WHITENESS); }, false},
      {"the DIB section is deleted",
       [](Dib& dib, HDC) {
         SelectObject(dib.dc, dib.old);
         DeleteObject(dib.bitmap);
         dib.bitmap = 0;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Dib dib(64, 48);
    ASSERT_TRUE(BitBlt(dib.dc, 0, 0, 64, 48, screen, 0, 0, SRCCOPY));
    HDC copyDc = CreateCompatibleDC(screen);
    HBITMAP copy = CreateCompatibleBitmap(screen, 64, 48);
    HGDIOBJ kept = SelectObject(copyDc, copy);
    ASSERT_TRUE(BitBlt(copyDc, 0, 0, 64, 48, dib.dc, 0, 0, SRCCOPY));
    const std::vector<std::uint32_t> before = Colours(dib.bitmap);
    EXPECT_EQ(Colours(copy), before);
    EXPECT_EQ(Colours(copy)[65], Pattern(1, 1) & 0xFFFFFF);
    c.change(dib, copyDc);
    SelectObject(copyDc, kept);
    DeleteDC(copyDc);
    if (c.dibChanges) {
      EXPECT_NE(Colours(dib.bitmap), before);
    } else if (dib.bitmap) {
      EXPECT_EQ(Colours(dib.bitmap), before);
    }
    if (c.dibChanges || !dib.bitmap) {
      EXPECT_EQ(Colours(copy), before);
    }
    DeleteObject(copy);
  }
  ReleaseDC(GetDesktopWindow(), screen);
}

}  // namespace
