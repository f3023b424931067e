// The drawing calls over a display: the primary monitor as the screen, device capabilities of
// palette and true-colour screens, the logical dpi in twips, window DCs of windows that are not
// there, a display that has gone; and the choice of the display, held for a capture.
#include "platform/gdi/display.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "platform/base/lasterror.h"
#include "platform/gdi/bitmap.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/screen.h"
#include "tests/support/fake_display.h"
#include "tests/support/gdi_leak_check.h"
#include "tests/support/pictures.h"

namespace {

using testsupport::FakeDisplay;

std::uint32_t Pattern(int x, int y) {
  return (static_cast<std::uint32_t>(x & 0xFF) << 16) | ((y & 0xFF) << 8) | ((x * 3 + y) & 0xFF);
}

// Copies the rectangle at (x, y) of the DC into a screen-format bitmap; BitBlt's result in *ok.
HBITMAP CopyOf(HDC source, int x, int y, int w, int h, bool* ok) {
  HDC mem = CreateCompatibleDC(source);
  HBITMAP b = CreateCompatibleBitmap(source, w, h);
  HGDIOBJ old = SelectObject(mem, b);
  *ok = BitBlt(mem, 0, 0, w, h, source, x, y, SRCCOPY) != FALSE;
  SelectObject(mem, old);
  DeleteDC(mem);
  return b;
}

using DisplayTest = testsupport::LeakCheckedTest;

// With two monitors the screen is the primary one: device coordinates start at its corner, and
// what lies beyond it reads black.
TEST_F(DisplayTest, PrimaryMonitorIsTheScreen) {
  FakeDisplay fake(1280, 480);
  fake.SetPrimary({640, 0, 640, 480});
  fake.Paint(Pattern);
  fake.windows = {{5, {700, 30, 56, 46}, {703, 33, 50, 40}}};
  HDC screen = GetDC(0);
  EXPECT_EQ(GetDeviceCaps(screen, HORZRES), 640);
  EXPECT_EQ(GetDeviceCaps(screen, VERTRES), 480);
  EXPECT_DOUBLE_EQ(platform::ScreenWidthTwips(), 640 * 15.0);
  bool ok = false;
  HBITMAP left = CopyOf(screen, -10, 0, 20, 1, &ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(testsupport::BitmapIs(
      left, 20, 1, [](int x, int) { return x < 10 ? 0u : Pattern(640 + x - 10, 0); }));
  DeleteObject(left);
  ReleaseDC(0, screen);
  for (bool client : {false, true}) {
    HDC window = client ? GetDC(5) : GetWindowDC(5);
    ASSERT_NE(window, 0u);
    const int at = client ? 3 : 0;
    HBITMAP copy = CopyOf(window, 1, 2, 4, 3, &ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(testsupport::BitmapIs(copy, 4, 3, [at](int x, int y) {
      return Pattern(700 + at + 1 + x, 30 + at + 2 + y);
    })) << client;
    DeleteObject(copy);
    ReleaseDC(5, window);
  }
}

TEST_F(DisplayTest, CapabilitiesOfAPaletteScreen) {
  FakeDisplay fake(320, 240, 8);
  fake.colormap[7] = {255, 128, 1};
  HDC screen = GetDC(0);
  HDC mem = CreateCompatibleDC(screen);
  for (HDC dc : {screen, mem}) {
    EXPECT_NE(GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE, 0);
    EXPECT_EQ(GetDeviceCaps(dc, SIZEPALETTE), 256);
    EXPECT_EQ(GetDeviceCaps(dc, BITSPIXEL), 8);
    EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSX), 96);
  }
  std::vector<PALETTEENTRY> entries(300);
  EXPECT_EQ(GetSystemPaletteEntries(screen, 0, 0, nullptr), 256u);
  EXPECT_EQ(GetSystemPaletteEntries(screen, 250, 50, entries.data()), 6u);
  EXPECT_EQ(entries[5].peRed, 255);
  EXPECT_EQ(GetSystemPaletteEntries(screen, 256, 1, entries.data()), 0u);
  EXPECT_EQ(GetSystemPaletteEntries(screen, 0, 256, entries.data()), 256u);
  EXPECT_EQ(entries[7].peRed, 255);
  EXPECT_EQ(entries[7].peGreen, 128);
  EXPECT_EQ(entries[7].peBlue, 1);
  DeleteDC(mem);
  ReleaseDC(0, screen);
}

TEST_F(DisplayTest, TrueColourScreenAndItsDpi) {
  FakeDisplay fake(320, 240);
  HDC screen = GetDC(0);
  EXPECT_EQ(GetDeviceCaps(screen, RASTERCAPS) & RC_PALETTE, 0);
  EXPECT_EQ(GetDeviceCaps(screen, SIZEPALETTE), 0);
  EXPECT_EQ(GetDeviceCaps(screen, BITSPIXEL), 32);
  EXPECT_EQ(GetSystemPaletteEntries(screen, 0, 0, nullptr), 0u);
  EXPECT_EQ(GetDeviceCaps(screen, LOGPIXELSY), 96) << "none said";
  fake.dpi = 144;
  EXPECT_EQ(GetDeviceCaps(screen, LOGPIXELSY), 144);
  EXPECT_DOUBLE_EQ(platform::TwipsPerPixelX(), 10.0);
  EXPECT_DOUBLE_EQ(platform::ScreenHeightTwips(), 2400.0);
  ReleaseDC(0, screen);
}

// Windows that are not there have no DC; a display that has gone reads nothing, and says so.
TEST_F(DisplayTest, MadeUpWindowsAndADisplayGone) {
  FakeDisplay fake(64, 48);
  EXPECT_EQ(GetDC(0x3FFFFFF), 0u);
  EXPECT_EQ(GetWindowDC(0x3FFFFFF), 0u);
  HDC screen = GetDC(0);
  fake.LoseAfter(0);
  SetLastError(0);
  bool ok = true;
  HBITMAP copy = CopyOf(screen, 0, 0, 8, 8, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  DeleteObject(copy);
  ReleaseDC(0, screen);
  EXPECT_EQ(GetWindowDC(FakeDisplay::kRoot), 0u) << "no desktop window";
}

TEST(DisplayChoice, WaylandSessionFromTheEnvironment) {
  struct Case {
    const char* wayland_display;
    const char* session_type;
    bool wayland;
  } cases[] = {{nullptr, nullptr, false},
               {"wayland-0", nullptr, true},
               {"", "x11", false},
               {nullptr, "wayland", true},
               {nullptr, "wayland-ish", false}};
  for (const Case& c : cases) {
    for (auto [name, value] : {std::pair{"WAYLAND_DISPLAY", c.wayland_display},
                               std::pair{"XDG_SESSION_TYPE", c.session_type}}) {
      if (value)
        setenv(name, value, 1);
      else
        unsetenv(name);
    }
    EXPECT_EQ(platform::WaylandSession(), c.wayland)
        << (c.wayland_display ? c.wayland_display : "-") << " "
        << (c.session_type ? c.session_type : "-");
  }
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("XDG_SESSION_TYPE");
}

// What PICTOSS_CAPTURE names is the display; a name it does not know is the null display, which
// says why; X11 in a Wayland session warns. A capture keeps the display it started with.
TEST(DisplayChoice, ForcedByNameAndHeldForACapture) {
  using Level = platform::DisplayStatus::Level;
  setenv("PICTOSS_CAPTURE", "bogus", 1);
  platform::DisplayStatus status = platform::CurrentDisplayStatus();
  EXPECT_EQ(status.level, Level::kNothing);
  EXPECT_EQ(status.why, "PICTOSS_CAPTURE must be \"x11\" or \"portal\", not \"bogus\"");
  {
    platform::ScreenCapture capture(platform::CaptureTarget::kFullScreen, {});
    EXPECT_EQ(capture.failure(), platform::CaptureFailure::kUnavailable);
    EXPECT_EQ(capture.why(), status.why);
    setenv("PICTOSS_CAPTURE", "x11", 1);
    EXPECT_STREQ(platform::CurrentDisplay().name(), "none") << "held while the capture lives";
  }
  EXPECT_STREQ(platform::CurrentDisplay().name(), "x11");
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  status = platform::CurrentDisplayStatus();
  EXPECT_EQ(status.level, Level::kPartial);
  EXPECT_NE(status.why.find("Wayland session with X11 forced"), std::string::npos) << status.why;
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_EQ(platform::CurrentDisplayStatus().level, Level::kFine);
  unsetenv("PICTOSS_CAPTURE");
}

}  // namespace
