// The drawing layer on private X servers: the primary monitor as the screen, device
// capabilities, the logical dpi, and reads of the screen by each method.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/handles.h"
#include "platform/gdi/screen.h"
#include "platform/user/window.h"
#include "platform/x11/x11.h"
#include "tests/support/xvfb.h"

namespace {

std::uint32_t Pattern(int x, int y) {
  return (static_cast<std::uint32_t>(x & 0xFF) << 16) | ((y & 0xFF) << 8) | ((x * 3 + y) & 0xFF);
}

// Fills a 24-bit server's root window with Pattern, shifted left by `shift` pixels.
void PaintRoot(Display* d, int w, int h, int shift = 0) {
  XImage* image =
      XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0, nullptr, w, h, 32, 0);
  image->data =
      static_cast<char*>(std::malloc(static_cast<std::size_t>(image->bytes_per_line) * h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) XPutPixel(image, x, y, Pattern(x + shift, y));
  GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
  XPutImage(d, DefaultRootWindow(d), gc, image, 0, 0, 0, 0, w, h);
  XFreeGC(d, gc);
  XDestroyImage(image);
  XSync(d, False);
}

// Reads the screen rectangle through the desktop window's DC into a screen-format bitmap.
std::vector<std::uint32_t> ReadScreen(int x, int y, int w, int h) {
  HDC screen = GetWindowDC(GetDesktopWindow());
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP b = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, b);
  EXPECT_TRUE(BitBlt(mem, 0, 0, w, h, screen, x, y, SRCCOPY));
  SelectObject(mem, old);
  DeleteDC(mem);
  ReleaseDC(GetDesktopWindow(), screen);
  std::vector<std::uint32_t> px;
  int bw, bh;
  EXPECT_TRUE(platform::GetBitmapRgb(b, &bw, &bh, &px));
  DeleteObject(b);
  return px;
}

int Mismatches(const std::vector<std::uint32_t>& px, int x0, int y0, int w, int h) {
  int wrong = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) wrong += px[y * w + x] != Pattern(x0 + x, y0 + y);
  return wrong;
}

// A tall screen needs several bands; each read method gives the same pixels.
TEST(Screen, EveryReadMethodGivesThePattern) {
  testsupport::XvfbServer server(300, 3000, 24);
  Display* d = XOpenDisplay(nullptr);
  PaintRoot(d, 300, 3000);
  using platform::x11::ReadMethod;
  EXPECT_EQ(platform::x11::CurrentReadMethod(), ReadMethod::kSharedPixmaps);
  EXPECT_EQ(Mismatches(ReadScreen(0, 0, 300, 3000), 0, 0, 300, 3000), 0);
  EXPECT_EQ(Mismatches(ReadScreen(17, 1001, 250, 1900), 17, 1001, 250, 1900), 0);
  platform::x11::StopUsingSharedPixmaps();
  EXPECT_EQ(platform::x11::CurrentReadMethod(), ReadMethod::kSharedImages);
  // Sizes not read before: a repeated size would be read straight into shared memory.
  EXPECT_EQ(Mismatches(ReadScreen(1, 1, 299, 2999), 1, 1, 299, 2999), 0);
  EXPECT_EQ(Mismatches(ReadScreen(18, 1002, 249, 1899), 18, 1002, 249, 1899), 0);
  XCloseDisplay(d);
}

// From the second capture of a size on, the bitmap's memory is shared with the server and the
// screen is read straight into it; what it held before must not show through.
TEST(Screen, RepeatedCapturesReadStraightIntoSharedMemory) {
  testsupport::XvfbServer server(640, 480, 24);
  Display* d = XOpenDisplay(nullptr);
  for (int round = 0; round < 4; ++round) {
    int shift = round % 2;
    PaintRoot(d, 640, 480, shift);
    HDC screen = GetWindowDC(GetDesktopWindow());
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP b = CreateCompatibleBitmap(screen, 640, 480);
    auto* object = platform::FindGdi<platform::BitmapObject>(b);
    EXPECT_EQ(platform::x11::IsSharedPixels(object->bits()), round > 0) << round;
    HGDIOBJ old = SelectObject(mem, b);
    EXPECT_TRUE(BitBlt(mem, 0, 0, 640, 480, screen, 0, 0, SRCCOPY));
    SelectObject(mem, old);
    DeleteDC(mem);
    ReleaseDC(0, screen);
    std::vector<std::uint32_t> px;
    int w, h;
    ASSERT_TRUE(platform::GetBitmapRgb(b, &w, &h, &px));
    EXPECT_EQ(Mismatches(px, shift, 0, 640, 480), 0) << round;
    DeleteObject(b);
  }
  XCloseDisplay(d);
}

// With two monitors the screen is the primary one, and screen coordinates start at its corner.
TEST(Screen, PrimaryMonitorIsTheScreen) {
  testsupport::XvfbServer server(1280, 480, 24);
  Display* d = XOpenDisplay(nullptr);
  PaintRoot(d, 1280, 480);
  Window root = DefaultRootWindow(d);
  XRRMonitorInfo left{}, right{};
  left.name = XInternAtom(d, "LEFT", False);
  left.x = 0, left.width = 640, left.height = 480, left.mwidth = 160, left.mheight = 120;
  right = left;
  right.name = XInternAtom(d, "RIGHT", False);
  right.x = 640, right.primary = True;
  XRRSetMonitor(d, root, &left);
  XRRSetMonitor(d, root, &right);
  Window win = XCreateSimpleWindow(d, root, 700, 30, 50, 40, 0, 0, 0);
  XMapWindow(d, win);
  XSync(d, False);
  platform::x11::ForgetScreenCache();

  HDC screen = GetDC(0);
  EXPECT_EQ(GetDeviceCaps(screen, HORZRES), 640);
  EXPECT_EQ(GetDeviceCaps(screen, VERTRES), 480);
  ReleaseDC(0, screen);
  RECT r{};
  EXPECT_TRUE(GetWindowRect(GetDesktopWindow(), &r));
  EXPECT_EQ(r.right, 640);
  EXPECT_TRUE(GetWindowRect(win, &r));
  EXPECT_EQ(r.left, 60);
  EXPECT_EQ(r.top, 30);
  EXPECT_EQ(r.right, 110);
  EXPECT_DOUBLE_EQ(platform::ScreenWidthTwips(), 640 * 15.0);
  XDestroyWindow(d, win);
  XSync(d, False);
  // The left monitor is not part of the screen: it reads black.
  auto px = ReadScreen(-10, 0, 20, 1);
  for (int x = 0; x < 10; ++x) EXPECT_EQ(px[x], 0u);
  for (int x = 10; x < 20; ++x) EXPECT_EQ(px[x], Pattern(640 + x - 10, 0));
  XCloseDisplay(d);
}

TEST(Screen, CapabilitiesOfAPaletteScreen) {
  testsupport::XvfbServer server(320, 240, 8);
  Display* d = XOpenDisplay(nullptr);
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
  EXPECT_EQ(GetSystemPaletteEntries(screen, 256, 1, entries.data()), 0u);
  XColor white{};
  white.pixel = WhitePixel(d, DefaultScreen(d));
  XQueryColor(d, DefaultColormap(d, DefaultScreen(d)), &white);
  EXPECT_EQ(GetSystemPaletteEntries(screen, 0, 256, entries.data()), 256u);
  EXPECT_EQ(entries[white.pixel].peRed, 255);
  EXPECT_EQ(entries[white.pixel].peBlue, 255);
  DeleteDC(mem);
  ReleaseDC(0, screen);
  XCloseDisplay(d);
}

TEST(Screen, LogicalDpiComesFromXftDpi) {
  testsupport::XvfbServer server(320, 240, 24);
  Display* d = XOpenDisplay(nullptr);
  const char* resources = "Xft.hinting:\t1\nXft.dpi:\t144\n";
  XChangeProperty(d, DefaultRootWindow(d), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(resources),
                  static_cast<int>(std::strlen(resources)));
  XSync(d, False);
  platform::x11::ForgetScreenCache();
  HDC screen = GetDC(0);
  EXPECT_EQ(GetDeviceCaps(screen, LOGPIXELSY), 144);
  EXPECT_EQ(GetDeviceCaps(screen, BITSPIXEL), 32);
  ReleaseDC(0, screen);
  EXPECT_DOUBLE_EQ(platform::TwipsPerPixelX(), 10.0);
  EXPECT_DOUBLE_EQ(platform::ScreenHeightTwips(), 2400.0);
  EXPECT_EQ(platform::X11Display(), platform::X11Display());
  XCloseDisplay(d);
}

TEST(Screen, WindowCallsWithoutADisplayFindNoWindow) {
  const char* display = std::getenv("DISPLAY");
  std::string saved = display ? display : "";
  unsetenv("DISPLAY");
  EXPECT_EQ(GetDesktopWindow(), 0u);
  EXPECT_EQ(GetForegroundWindow(), 0u);
  if (display) setenv("DISPLAY", saved.c_str(), 1);
}

TEST(Screen, WindowCallsRefuseMadeUpWindows) {
  testsupport::XvfbServer server(320, 240, 24);
  EXPECT_NE(platform::X11Display(), nullptr);
  EXPECT_EQ(GetDC(0x3FFFFFF), 0u);
  EXPECT_EQ(GetWindowDC(0x3FFFFFF), 0u);
  RECT r{};
  EXPECT_FALSE(GetWindowRect(0x3FFFFFF, &r));
  EXPECT_FALSE(GetWindowRect(0, &r));
  EXPECT_EQ(platform::X11TakeError(), BadWindow);
  EXPECT_EQ(platform::X11TakeError(), 0);
}

TEST(Screen, WaylandSessionFromTheEnvironment) {
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

}  // namespace
