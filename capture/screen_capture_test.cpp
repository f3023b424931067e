// The capture routines on a fake display: the screen and windows come back pixel for pixel, in
// the 32-, 16- and 8-bit formats; windows partly off the screen, no window in front, no
// display and a display lost during the capture; the one pass where the display reads in
// strips, and the steps one by one where it does not.
#include "capture/screen_capture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/handles.h"
#include "platform/gdi/palette.h"
#include "platform/user/window.h"
#include "tests/support/fake_display.h"
#include "tests/support/gdi_leak_check.h"
#include "tests/support/pictures.h"
#include "tests/support/runtime_error.h"

namespace {

using pictoss::GrabForegroundWindow;
using pictoss::GrabFullScreen;
using testsupport::BitmapIs;
using testsupport::FakeDisplay;

std::uint32_t Pattern(int x, int y) {
  return (static_cast<std::uint32_t>((x * 7) & 0xFF) << 16) | (((y * 5) & 0xFF) << 8) |
         ((x + 3 * y) & 0xFF);
}

// The error that says what is missing, from the capture module.
template <class F>
void ExpectNothingToCapture(F grab, std::u16string_view description) {
  if (auto e = testsupport::RaisedError(grab)) {
    EXPECT_EQ(e->number(), pictoss::kNothingToCaptureError);
    EXPECT_EQ(e->source(), u"Vorlick");
    EXPECT_EQ(e->description(), description);
  }
}

constexpr std::u16string_view kNoDisplay =
    u"No display is available to capture the screen from (DISPLAY is not set or its X server "
    u"cannot be reached)";

class Capture32 : public testsupport::LeakCheckedTest {
 protected:
  FakeDisplay screen{640, 480};
};

TEST_F(Capture32, FullScreenComesBackPixelForPixel) {
  screen.Paint(Pattern);
  auto picture = GrabFullScreen();
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->hPal(), 0u);
  EXPECT_TRUE(BitmapIs(picture->Handle(), 640, 480, Pattern));
}

TEST_F(Capture32, ForegroundWindowIncludesItsFrame) {
  screen.Paint([](int, int) { return 0x0000FFu; });
  screen.Paint({100, 50, 400, 300}, Pattern);
  screen.windows = {{7, {100, 50, 400, 300}, {102, 52, 396, 296}}};
  screen.active = 7;
  EXPECT_EQ(GetForegroundWindow(), 7u);
  RECT r{};
  EXPECT_TRUE(GetWindowRect(7, &r));
  EXPECT_EQ(r.left, 100);
  EXPECT_EQ(r.top, 50);
  EXPECT_EQ(r.right, 500);
  EXPECT_EQ(r.bottom, 350);
  auto picture = GrabForegroundWindow();
  ASSERT_TRUE(picture);
  EXPECT_TRUE(BitmapIs(picture->Handle(), 400, 300, Pattern));
}

// A window that is not there, or none: an error that says so, not an empty picture.
TEST_F(Capture32, NoForegroundWindowIsAnError) {
  for (std::uint32_t active : {0u, 9u}) {
    screen.active = active;
    ExpectNothingToCapture(GrabForegroundWindow, u"No window is in the foreground to capture");
  }
}

TEST_F(Capture32, WindowPartlyOffScreenReadsBlackOutside) {
  screen.Paint(Pattern);
  screen.windows = {{7, {500, 400, 300, 200}, {500, 400, 300, 200}}};
  screen.active = 7;
  auto picture = GrabForegroundWindow();
  ASSERT_TRUE(picture);
  EXPECT_TRUE(BitmapIs(picture->Handle(), 300, 200, [](int x, int y) {
    return 500 + x < 640 && 400 + y < 480 ? Pattern(500 + x, 400 + y) : 0u;
  }));
  // Also a window entirely off the screen, above and to the left.
  screen.windows[0].outer = {-400, -300, 300, 200};
  picture = GrabForegroundWindow();
  EXPECT_TRUE(BitmapIs(picture->Handle(), 300, 200, [](int, int) { return 0u; }));
}

// The whole screen at every dpi: its size in twips divided by whole twips per pixel would give
// 600 × 450 at 192 dpi (7.5 twips a pixel rounded to 8), 658 × 493 at 100, 644 × 483 at 110
// and a division by zero from 2880 dpi on.
TEST_F(Capture32, FullScreenIsTheScreensPixelSizeAtEveryDpi) {
  for (double dpi : {0.0, 120.0, 192.0, 100.0, 110.0, 96.0, 3000.0, 1e6, 0.001}) {
    SCOPED_TRACE(dpi);
    screen.dpi = dpi;
    auto picture = GrabFullScreen();
    ASSERT_TRUE(picture);
    BITMAP bm{};
    GetObjectA(picture->Handle(), sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 640);
    EXPECT_EQ(bm.bmHeight, 480);
  }
}

TEST_F(Capture32, HolderKeepsTheLastPictureAndFreesItWhenReplaced) {
  auto& form = pictoss::main();
  EXPECT_EQ(&form, &pictoss::main());
  EXPECT_EQ(form.Caption(), u"Form1");
  auto first = GrabFullScreen();
  HBITMAP first_bitmap = first->Handle();
  form.Picture1.SetPicture(first);
  first = nullptr;
  EXPECT_EQ(form.Picture1.Picture()->Handle(), first_bitmap);
  BITMAP bm{};
  EXPECT_NE(GetObjectA(first_bitmap, sizeof bm, &bm), 0);
  form.Picture1.SetPicture(GrabFullScreen());
  EXPECT_EQ(GetObjectA(first_bitmap, sizeof bm, &bm), 0);  // the holder held the last reference
  form.Picture1.SetPicture(nullptr);
}

TEST_F(Capture32, BadWindowGivesNoPictureAndLeaksNothing) {
  EXPECT_FALSE(pictoss::GrabWindowRect(0x7FFFFF0, false, 0, 0, 10, 10));
  RECT r{1, 2, 3, 4};
  EXPECT_FALSE(GetWindowRect(0x7FFFFF0, &r));
  EXPECT_EQ(r.left, 1);  // untouched
}

// From the second capture of a size on, the bitmap's memory is the display's, and the screen is
// read straight into it; what it held before must not show through. (A size of its own: the
// first capture of a size gets plain memory.)
TEST(CaptureRepeated, ReadsStraightIntoSharedMemory) {
  FakeDisplay screen(602, 401);
  for (int round = 0; round < 3; ++round) {
    auto shifted = [round](int x, int y) { return Pattern(x + round, y); };
    screen.Paint(shifted);
    const int before = screen.reads_into_memory;
    auto picture = GrabFullScreen();
    ASSERT_TRUE(picture);
    EXPECT_EQ(screen.reads_into_memory - before, round > 0 ? 1 : 0) << round;
    EXPECT_TRUE(BitmapIs(picture->Handle(), 602, 401, shifted)) << round;
  }
}

// The display goes away during the capture: the error says so and no picture is made; the
// next capture, once it is back, works.
TEST_F(Capture32, DisplayLostDuringTheCaptureIsAnError) {
  screen.shared = false;
  screen.LoseAfter(0);
  ExpectNothingToCapture(GrabFullScreen, u"The X server went away during the capture");
  EXPECT_EQ(screen.losses(), 1u);
  ExpectNothingToCapture(GrabFullScreen, kNoDisplay);
  EXPECT_EQ(GetForegroundWindow(), 0u);
  screen.Reconnect();
  EXPECT_TRUE(GrabFullScreen());
}

// The one pass goes through the display's strips and ends where the steps would; without
// strips it makes nothing and leaves the DIB section alone.
TEST_F(Capture32, OnePassReadsStripsWhereTheDisplayOffersThem) {
  screen.Paint(Pattern);
  for (bool strips : {true, false}) {
    SCOPED_TRACE(strips);
    screen.strips = strips;
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 640, 480, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    HDC dc = CreateCompatibleDC(0);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, 0, 0);
    HGDIOBJ old = SelectObject(dc, dib);
    JPEG_CORE_PROPERTIES props{};
    ASSERT_EQ(ijlInit(&props), IJL_OK);
    props.JPGWidth = 640;
    props.JPGHeight = 480;
    props.jquality = 90;
    const int readers = screen.strip_readers;
    auto picture = pictoss::GrabEncoded({GetDesktopWindow(), 640, 480}, dc, props);
    EXPECT_EQ(static_cast<bool>(picture), strips);
    EXPECT_EQ(screen.strip_readers > readers, strips);
    if (picture) {
      EXPECT_TRUE(BitmapIs(picture->Handle(), 640, 480, Pattern));
    }
    const testsupport::Colour black = [](int, int) { return 0u; };
    EXPECT_TRUE(BitmapIs(dib, 640, 480, strips ? testsupport::Colour(Pattern) : black));
    picture = nullptr;
    ijlFree(&props);
    SelectObject(dc, old);
    DeleteObject(dib);
    DeleteDC(dc);
  }
}

// A screen in 16 bits (5-6-5): colours come back with their low bits filled by repeating the
// high ones.
TEST(Capture16, FullScreenIn565) {
  FakeDisplay screen(320, 200, 16, 0xF800, 0x07E0, 0x001F);
  screen.Paint(Pattern);
  auto reduced = [](int x, int y) {
    const std::uint32_t c = Pattern(x, y);
    const std::uint32_t r = (c >> 19) & 0x1F, g = (c >> 10) & 0x3F, b = (c >> 3) & 0x1F;
    return ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
  };
  auto picture = GrabFullScreen();
  ASSERT_TRUE(picture);
  EXPECT_TRUE(BitmapIs(picture->Handle(), 320, 200, reduced));
  EXPECT_EQ(reduced(0, 0), 0u);
}

// A 256-colour palette screen: the picture carries the colour map as its palette, and its
// pixels are indices that map back to the colours drawn.
TEST(Capture8, PaletteScreenCarriesTheColormap) {
  FakeDisplay screen(640, 480, 8);
  const std::uint32_t wanted[] = {0x102030, 0xFF8000, 0x00C0FF, 0x7F7F7F};
  for (int i = 0; i < 4; ++i)
    screen.colormap[200 + i] = {std::uint8_t(wanted[i] >> 16), std::uint8_t(wanted[i] >> 8),
                                std::uint8_t(wanted[i])};
  auto columns = [&](int x, int) { return wanted[x / 160]; };
  screen.Paint(columns);
  testsupport::GdiLeakCheck objects;
  {
    auto picture = GrabFullScreen();
    ASSERT_TRUE(picture);
    ASSERT_NE(picture->hPal(), 0u);
    auto* palette = platform::FindGdi<platform::PaletteObject>(picture->hPal());
    ASSERT_EQ(palette->entries.size(), 256u);
    for (int i = 0; i < 256; ++i) {
      EXPECT_EQ(palette->entries[i].peRed, screen.colormap[i][0]) << i;
      EXPECT_EQ(palette->entries[i].peGreen, screen.colormap[i][1]) << i;
      EXPECT_EQ(palette->entries[i].peBlue, screen.colormap[i][2]) << i;
    }
    BITMAP bm{};
    GetObjectA(picture->Handle(), sizeof bm, &bm);
    EXPECT_EQ(bm.bmBitsPixel, 8);
    EXPECT_TRUE(BitmapIs(picture->Handle(), 640, 480, columns));
  }
  objects.Check();  // bitmap and palette went with it
}

TEST(CaptureWithoutDisplay, NoDisplayIsAnError) {
  FakeDisplay screen(64, 48);
  screen.LoseAfter(0);
  screen.Read({0, 0, 1, 1}, [](const platform::PixelBand&) {});
  for (auto grab : {GrabFullScreen, GrabForegroundWindow}) ExpectNothingToCapture(grab, kNoDisplay);
}

}  // namespace
