// The X11 display on private X servers: reads of the root window by each way (shared-memory
// strips, plain image requests, one request into shared pixel memory), the primary monitor as
// the screen, the colour map of a palette screen, Xft.dpi, and windows that do not exist.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/x11/x11.h"
#include "tests/support/xvfb.h"

namespace {

using platform::PixelBand;
using platform::ScreenRect;
using platform::x11::ReadMethod;

platform::Display& X11() {
  return platform::X11Backend();
}

std::uint32_t Pattern(int x, int y) {
  return (static_cast<std::uint32_t>(x & 0xFF) << 16) | ((y & 0xFF) << 8) | ((x * 3 + y) & 0xFF);
}

// Fills a 24-bit server's root window with Pattern, shifted left by `shift` pixels.
void PaintRoot(::Display* d, int w, int h, int shift = 0) {
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

// Pixels of 32-bit rows that differ from Pattern at (x0, y0), counted.
int Mismatches(const std::uint8_t* rows, int stride, int x0, int y0, int w, int h) {
  int wrong = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint32_t v;
      std::memcpy(&v, rows + static_cast<std::ptrdiff_t>(stride) * y + 4 * x, 4);
      wrong += (v & 0xFFFFFF) != Pattern(x0 + x, y0 + y);
    }
  }
  return wrong;
}

// Reads the rectangle through the display's band reads; counts the pixels that differ from
// Pattern, and checks that the bands come in order and cover it.
int ReadMismatches(const ScreenRect& r) {
  int wrong = 0, next = 0;
  bool read = X11().Read(r, [&](const PixelBand& band) {
    EXPECT_EQ(band.row, next);
    wrong += Mismatches(band.data, band.stride, r.x, r.y + band.row, r.width, band.rows);
    next += band.rows;
  });
  EXPECT_TRUE(read);
  EXPECT_EQ(next, r.height);
  return wrong;
}

struct Connection {
  Connection() : d(XOpenDisplay(nullptr)) {}
  ~Connection() { XCloseDisplay(d); }
  ::Display* d;
};

// A tall screen takes several bands; shared memory and plain requests give the same pixels, and
// the one-pass strips too.
TEST(X11Display, EveryReadMethodGivesThePattern) {
  testsupport::XvfbServer server(300, 3000, 24);
  Connection t;
  PaintRoot(t.d, 300, 3000);
  EXPECT_EQ(platform::x11::CurrentReadMethod(), ReadMethod::kSharedMemory);
  EXPECT_EQ(ReadMismatches({0, 0, 300, 3000}), 0);
  EXPECT_EQ(ReadMismatches({17, 1001, 250, 1900}), 0);
  ASSERT_TRUE(X11().strip_reads()->Available());
  auto strips = X11().strip_reads()->Open({3, 5, 297, 41}, 16);
  int rows = 0;
  for (PixelBand strip{}; strips->Next(&strip); rows += strip.rows) {
    EXPECT_EQ(strip.row, rows);
    EXPECT_EQ(Mismatches(strip.data, strip.stride, 3, 5 + rows, 297, strip.rows), 0);
  }
  EXPECT_EQ(rows, 41);
  platform::x11::StopUsingSharedMemory();
  EXPECT_EQ(platform::x11::CurrentReadMethod(), ReadMethod::kImages);
  EXPECT_FALSE(X11().strip_reads()->Available());
  EXPECT_EQ(ReadMismatches({1, 1, 299, 2999}), 0);
  EXPECT_EQ(ReadMismatches({18, 1002, 249, 1899}), 0);
}

// Without MIT-SHM the screen is read by plain image requests, with the same result, and the
// fast paths refuse.
TEST(X11Display, WithoutSharedMemoryReadsByImages) {
  testsupport::XvfbServer server(200, 100, 24, "-extension MIT-SHM");
  Connection t;
  PaintRoot(t.d, 200, 100);
  EXPECT_EQ(ReadMismatches({0, 0, 200, 100}), 0);
  EXPECT_EQ(platform::x11::CurrentReadMethod(), ReadMethod::kImages);
  EXPECT_EQ(X11().shared_pixels()->Allocate(200 * 4 * 100), nullptr);
  EXPECT_FALSE(X11().strip_reads()->Available());
}

// Shared pixel memory is read into in one request, at its rows' stride only; memory that is
// not the display's is refused, and memory of a server gone is no longer attached.
TEST(X11Display, ReadsStraightIntoSharedPixels) {
  std::uint8_t* kept = nullptr;
  {
    testsupport::XvfbServer server(640, 480, 24);
    Connection t;
    auto* shared = X11().shared_pixels();
    auto* direct = X11().buffer_reads();
    const int stride = 640 * 4;
    auto* memory = static_cast<std::uint8_t*>(shared->Allocate(stride * 480));
    ASSERT_NE(memory, nullptr);
    EXPECT_TRUE(shared->Attached(memory));
    for (int shift : {0, 1}) {
      PaintRoot(t.d, 640, 480, shift);
      ASSERT_TRUE(direct->ReadInto({0, 0, 640, 480}, memory, stride));
      EXPECT_EQ(Mismatches(memory, stride, shift, 0, 640, 480), 0) << shift;
    }
    ASSERT_TRUE(direct->ReadInto({10, 20, 100, 50}, memory + stride, 400));
    EXPECT_EQ(Mismatches(memory + stride, 400, 11, 20, 100, 50), 0);
    EXPECT_FALSE(direct->ReadInto({0, 0, 100, 50}, memory, 404)) << "another stride";
    std::vector<std::uint8_t> plain(stride * 480);
    EXPECT_FALSE(direct->ReadInto({0, 0, 640, 480}, plain.data(), stride));
    EXPECT_FALSE(shared->Attached(plain.data()));
    kept = memory;
  }
  testsupport::XvfbServer next(320, 200, 24);
  EXPECT_EQ(X11().Screen().primary.width, 320);
  EXPECT_FALSE(X11().shared_pixels()->Attached(kept));
  X11().shared_pixels()->Free(kept);
}

// With two monitors the screen is the primary one; windows keep root coordinates.
TEST(X11Display, PrimaryMonitorIsTheScreen) {
  testsupport::XvfbServer server(1280, 480, 24);
  Connection t;
  Window root = DefaultRootWindow(t.d);
  XRRMonitorInfo left{}, right{};
  left.name = XInternAtom(t.d, "LEFT", False);
  left.x = 0, left.width = 640, left.height = 480, left.mwidth = 160, left.mheight = 120;
  right = left;
  right.name = XInternAtom(t.d, "RIGHT", False);
  right.x = 640, right.primary = True;
  XRRSetMonitor(t.d, root, &left);
  XRRSetMonitor(t.d, root, &right);
  Window win = XCreateSimpleWindow(t.d, root, 700, 30, 50, 40, 3, 0, 0);
  XMapWindow(t.d, win);
  XSync(t.d, False);
  platform::x11::ForgetScreenCache();

  const platform::ScreenInfo s = X11().Screen();
  EXPECT_TRUE(s.connected);
  EXPECT_EQ(s.root, root);
  EXPECT_EQ(s.primary, (ScreenRect{640, 0, 640, 480}));
  EXPECT_EQ(s.bits_per_pixel, 32);
  EXPECT_FALSE(s.palette);
  ScreenRect r;
  ASSERT_TRUE(X11().WindowRect(win, false, &r));
  EXPECT_EQ(r, (ScreenRect{700, 30, 56, 46})) << "with its border";
  ASSERT_TRUE(X11().WindowRect(win, true, &r));
  EXPECT_EQ(r, (ScreenRect{703, 33, 50, 40}));
}

TEST(X11Display, ColourMapOfAPaletteScreen) {
  testsupport::XvfbServer server(320, 240, 8);
  Connection t;
  const platform::ScreenInfo s = X11().Screen();
  EXPECT_TRUE(s.palette);
  EXPECT_EQ(s.bits_per_pixel, 8);
  EXPECT_EQ(s.colormap_size, 256);
  XColor white{};
  white.pixel = WhitePixel(t.d, DefaultScreen(t.d));
  XQueryColor(t.d, DefaultColormap(t.d, DefaultScreen(t.d)), &white);
  std::vector<std::uint8_t> rgb(3 * 300);
  platform::ScreenRect r;
  EXPECT_FALSE(X11().WindowRect(0x3FFFFFF, false, &r)) << "an error left behind";
  EXPECT_EQ(X11().ReadColormap(250, 50, rgb.data()), 6);
  EXPECT_EQ(X11().ReadColormap(256, 1, rgb.data()), 0);
  EXPECT_EQ(X11().ReadColormap(0, 256, rgb.data()), 256);
  EXPECT_EQ(rgb[3 * white.pixel], 255);
  EXPECT_EQ(rgb[3 * white.pixel + 2], 255);
}

TEST(X11Display, DpiComesFromXftDpi) {
  testsupport::XvfbServer server(320, 240, 24);
  Connection t;
  EXPECT_EQ(X11().Dpi(), 0) << "not set";
  const char* resources = "Xft.hinting:\t1\nXft.dpi:\t144\n";
  XChangeProperty(t.d, DefaultRootWindow(t.d), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(resources),
                  static_cast<int>(std::strlen(resources)));
  XSync(t.d, False);
  platform::x11::ForgetScreenCache();
  EXPECT_EQ(X11().Dpi(), 144);
  EXPECT_EQ(platform::X11Display(), platform::X11Display());
}

TEST(X11Display, MadeUpWindowsAndNoDisplay) {
  {
    testsupport::XvfbServer server(320, 240, 24);
    EXPECT_NE(platform::X11Display(), nullptr);
    ScreenRect r{1, 2, 3, 4};
    EXPECT_FALSE(X11().WindowRect(0x3FFFFFF, false, &r));
    EXPECT_FALSE(X11().WindowRect(0, false, &r));
    EXPECT_EQ(r, (ScreenRect{1, 2, 3, 4}));
    EXPECT_EQ(platform::X11TakeError(), BadWindow);
    EXPECT_EQ(platform::X11TakeError(), 0);
  }
  unsetenv("DISPLAY");
  EXPECT_FALSE(X11().Screen().connected);
  EXPECT_EQ(X11().ActiveWindow(), 0u);
  EXPECT_FALSE(X11().Read({0, 0, 1, 1}, [](const PixelBand&) {}));
}

}  // namespace
