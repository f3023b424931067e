// The X11 display on private X servers: reads of the root window by each way (shared-memory
// strips, plain image requests, one request into shared pixel memory), the primary monitor as
// the screen, the colour map of a palette screen, Xft.dpi, and windows that do not exist.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/connection.h"
#include "platform/x11/x11.h"
#include "platform/x11/x11_for_tests.h"
#include "tests/support/loop_testing.h"
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
  Window root() const { return DefaultRootWindow(d); }
  Window MakeWindow(Window parent, int x, int y, int w, int h, int border = 0) const {
    Window win = XCreateSimpleWindow(d, parent, x, y, w, h, border, 0, 0);
    XMapWindow(d, win);
    XSync(d, False);
    return win;
  }
  void Fill(Drawable target, unsigned long pixel, int x, int y, int w, int h) const {
    GC gc = XCreateGC(d, target, 0, nullptr);
    XSetForeground(d, gc, pixel);
    XFillRectangle(d, target, gc, x, y, w, h);
    XFreeGC(d, gc);
    XSync(d, False);
  }
  ::Display* d;
};

// Raw pixels of a screen of another depth come in rows of its own: 8 bits a pixel at depth 8,
// 16 at depth 16, rows padded to 4 bytes, by shared memory and by plain requests alike.
TEST(X11Display, ReadsScreensOfEveryDepth) {
  for (int depth : {8, 16, 24}) {
    SCOPED_TRACE(depth);
    testsupport::XvfbServer server(37, 20, depth);
    Connection t;
    const int bytes = depth == 24 ? 4 : depth / 8;
    auto raw = [depth](int x, int y) {
      return static_cast<std::uint32_t>(x * 7 + y * 131) &
             (depth == 24 ? 0xFFFFFFu : (1u << depth) - 1);
    };
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 37; ++x) t.Fill(t.root(), raw(x, y), x, y, 1, 1);
    for (bool shared : {true, false}) {
      if (!shared) platform::x11::StopUsingSharedMemory();
      int wrong = 0, rows = 0;
      EXPECT_TRUE(X11().Read({1, 2, 35, 17}, [&](const PixelBand& band) {
        EXPECT_EQ(band.stride, (35 * bytes + 3) / 4 * 4);
        for (int y = 0; y < band.rows; ++y)
          for (int x = 0; x < 35; ++x) {
            std::uint32_t v = 0;
            std::memcpy(&v, band.data + band.stride * y + bytes * x, bytes);
            wrong += (v & (depth == 24 ? 0xFFFFFFu : ~0u)) != raw(1 + x, 2 + band.row + y);
          }
        rows += band.rows;
      }));
      EXPECT_EQ(rows, 17);
      EXPECT_EQ(wrong, 0) << (shared ? "shared memory" : "plain requests");
    }
  }
}

// The active window: the top-level frame of _NET_ACTIVE_WINDOW's window, else of the input
// focus; none for no focus, PointerRoot or the root.
TEST(X11Display, ActiveWindowIsTheTopLevelFrame) {
  testsupport::XvfbServer server(640, 480, 24);
  Connection t;
  Window focused = t.MakeWindow(t.root(), 100, 50, 396, 296, 2);
  XSetInputFocus(t.d, focused, RevertToPointerRoot, CurrentTime);
  XSync(t.d, False);
  EXPECT_EQ(X11().ActiveWindow(), focused);
  Window frame = t.MakeWindow(t.root(), 10, 10, 400, 300);
  Window client = t.MakeWindow(frame, 0, 20, 400, 280);
  Atom active = XInternAtom(t.d, "_NET_ACTIVE_WINDOW", False);
  XChangeProperty(t.d, t.root(), active, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&client), 1);
  XSync(t.d, False);
  EXPECT_EQ(X11().ActiveWindow(), frame);
  XDeleteProperty(t.d, t.root(), active);
  for (Window focus : {Window(None), Window(PointerRoot), t.root()}) {
    XSetInputFocus(t.d, focus, RevertToNone, CurrentTime);
    XSync(t.d, False);
    EXPECT_EQ(X11().ActiveWindow(), 0u) << focus;
  }
}

// A read shows what the screen shows: windows over windows, children included.
TEST(X11Display, ReadsShowOverlappingWindows) {
  testsupport::XvfbServer server(320, 240, 24);
  Connection t;
  Window below = t.MakeWindow(t.root(), 10, 10, 100, 100);
  t.Fill(below, 0x0000FF, 0, 0, 100, 100);
  Window above = t.MakeWindow(t.root(), 60, 60, 100, 100);
  t.Fill(above, 0xFFFF00, 0, 0, 100, 100);
  Window child = t.MakeWindow(above, 50, 50, 10, 10);
  t.Fill(child, 0xFF0000, 0, 0, 10, 10);
  std::vector<std::uint32_t> seen;
  ASSERT_TRUE(X11().Read({10, 10, 160, 160}, [&](const PixelBand& band) {
    for (int y = 0; y < band.rows; ++y)
      for (int x = 0; x < 160; ++x) {
        std::uint32_t v;
        std::memcpy(&v, band.data + band.stride * y + 4 * x, 4);
        seen.push_back(v & 0xFFFFFF);
      }
  }));
  EXPECT_EQ(seen[10 * 160 + 10], 0x0000FFu);
  EXPECT_EQ(seen[80 * 160 + 80], 0xFFFF00u);
  EXPECT_EQ(seen[105 * 160 + 105], 0xFF0000u);
}

// The number of descriptors open in this process.
int OpenFds() {
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) != -1;
  return n;
}

// The server going away under an open connection must not end the process: the loss is
// counted, the screen is no longer connected, the lost connection is closed (its socket and
// all), and the next server is read.
TEST(X11Display, ServerGoneIsCountedAndTheNextServerWorks) {
  int fds = 0;  // once the connections of earlier tests are gone
  for (int round = 0; round < 4; ++round) {
    if (round == 1) fds = OpenFds();
    testsupport::XvfbServer server(320, 200, 24);
    EXPECT_EQ(X11().Screen().primary.width, 320);
    EXPECT_TRUE(X11().Read({0, 0, 320, 200}, [](const PixelBand&) {}));
    const unsigned losses = X11().Losses();
    server.Crash();  // dead and reaped: its end of the socket is closed
    EXPECT_FALSE(X11().Screen().connected);
    EXPECT_NE(X11().Losses(), losses);
    EXPECT_EQ(X11().ActiveWindow(), 0u);
  }
  EXPECT_EQ(OpenFds(), fds);
  testsupport::XvfbServer next(400, 300, 24);
  EXPECT_EQ(X11().Screen().primary.width, 400);
}

// A server killed while reads run, at whatever request it happens to be: the process goes on, the
// read that meets the loss fails while the count of losses changes, and the next server is read.
// Runs in a child process of its own, since before the loss was handled Xlib ended the process.
TEST(X11Display, ServerKilledDuringReadsIsALoss) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int delayMs : {5, 40, 150}) {
    SCOPED_TRACE(delayMs);
    // Every server is stopped before the child ends: a server left running would keep the pipe
    // to the parent open.
    auto run = [delayMs] {
      int code = 2;
      {
        testsupport::XvfbServer server(2560, 1600, 24);
        X11().Read({0, 0, 2560, 1600}, [](const PixelBand&) {});  // connected before the kill
        // Crash keeps the display number taken, so that no other server answers in its place.
        std::thread killer([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
          server.Crash();
        });
        for (int i = 0; i < 10000 && code == 2; ++i) {
          const unsigned losses = X11().Losses();
          if (!X11().Read({0, 0, 2560, 1600}, [](const PixelBand&) {}))
            code = X11().Losses() != losses || !X11().Screen().connected ? 0 : 3;
        }
        killer.join();
      }
      if (code != 0) return code;
      testsupport::XvfbServer next(300, 100, 24);
      return X11().Screen().primary.width == 300 ? 0 : 4;
    };
    EXPECT_EXIT(std::_Exit(run()), ::testing::ExitedWithCode(0), "");
  }
}

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

// A strip reader keeps several requests in flight, each strip in a slot of its segment that the
// strip two or more before it used: every strip comes in order with its own rows, for one strip
// and for many more strips than slots. Once it has asked for all its strips it goes on into the
// rectangles it is given then, counting each one's rows from its own top: for a next rectangle
// above the last one, one of a single short strip, and one given while two are still being read,
// on a fresh segment and on one used before. A reader given up halfway, also with strips of a
// rectangle it went on into still owed, leaves the next one right.
TEST(X11Display, StripsReadAheadComeInOrder) {
  testsupport::XvfbServer server(640, 480, 24);
  Connection t;
  PaintRoot(t.d, 640, 480);
  ASSERT_TRUE(X11().strip_reads()->Available());
  // Reads rects[0] and goes on into the others as the reader wants more; counts wrong pixels.
  auto readAll = [](const std::vector<ScreenRect>& rects, int strip_rows) {
    auto strips = X11().strip_reads()->Open(rects[0], strip_rows);
    std::size_t given = 1, part = 0;
    int rows = 0, wrong = 0;
    for (PixelBand strip{}; strips->Next(&strip);) {
      if (part == rects.size()) {
        ADD_FAILURE() << "a strip past the last rectangle";
        break;
      }
      const ScreenRect& r = rects[part];
      EXPECT_EQ(strip.row, rows) << "rectangle " << part;
      EXPECT_EQ(strip.rows, std::min(strip_rows, r.height - rows)) << "rectangle " << part;
      wrong += Mismatches(strip.data, strip.stride, r.x, r.y + rows, r.width, strip.rows);
      if ((rows += strip.rows) == r.height) ++part, rows = 0;
      if (given < rects.size() && strips->WantsMore()) strips->Continue(rects[given++]);
    }
    EXPECT_EQ(given, rects.size()) << strip_rows << " rows a strip";
    EXPECT_EQ(part, rects.size()) << strip_rows << " rows a strip";
    return wrong;
  };
  for (int strip_rows : {1, 3, 16, 41, 64})
    EXPECT_EQ(readAll({{5, 7, 629, 41}}, strip_rows), 0) << strip_rows << " rows a strip";
  EXPECT_EQ(readAll({{0, 0, 640, 480}}, 32), 0);
  const std::vector<ScreenRect> rects = {
      {3, 100, 600, 70}, {3, 10, 600, 32}, {3, 300, 600, 5}, {3, 400, 600, 80}, {3, 0, 600, 48}};
  EXPECT_EQ(readAll(rects, 16), 0) << "a fresh segment";
  EXPECT_EQ(readAll(rects, 16), 0) << "a segment used before";
  {
    auto strips = X11().strip_reads()->Open({0, 0, 640, 480}, 32);
    PixelBand strip{};
    ASSERT_TRUE(strips->Next(&strip));
    ASSERT_TRUE(strips->Next(&strip));
  }
  {
    auto strips = X11().strip_reads()->Open({0, 0, 640, 64}, 16);
    PixelBand strip{};
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(strips->Next(&strip));
    ASSERT_TRUE(strips->WantsMore());
    strips->Continue({0, 200, 640, 64});
    ASSERT_TRUE(strips->Next(&strip));
  }
  PaintRoot(t.d, 640, 480, 5);
  for (const int height : {480, 64}) {  // the segments of both readers given up
    auto strips = X11().strip_reads()->Open({0, 0, 640, height}, height == 480 ? 32 : 16);
    int rows = 0;
    for (PixelBand strip{}; strips->Next(&strip); rows += strip.rows)
      EXPECT_EQ(Mismatches(strip.data, strip.stride, 5, rows, 640, strip.rows), 0) << rows;
    EXPECT_EQ(rows, height);
  }
}

// Without MIT-SHM the screen is read by plain image requests, with the same result, and the
// fast paths refuse.
TEST(X11Display, WithoutSharedMemoryReadsByImages) {
  testsupport::XvfbServer server(200, 100, 24, "-extension MIT-SHM");
  Connection t;
  PaintRoot(t.d, 200, 100);
  setenv("PICTOSS_DEBUG", "x11", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadMismatches({0, 0, 200, 100}), 0);
  const std::string said = testing::internal::GetCapturedStderr();
  unsetenv("PICTOSS_DEBUG");
  EXPECT_NE(said.find("pictoss:x11: " + server.display() + " has no MIT-SHM"), std::string::npos)
      << said;
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

  // The primary monitor moves and grows while the layout is kept: asked anew, it has changed.
  XRRDeleteMonitor(t.d, root, right.name);
  right.x = 320, right.width = 960;
  XRRSetMonitor(t.d, root, &right);
  XSync(t.d, False);
  EXPECT_EQ(X11().ScreenAnew().primary, (ScreenRect{320, 0, 960, 480}));
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
  // The error of a request without a reply waits unread on the connection until it is taken.
  EXPECT_EQ(platform::X11TakeError(), BadWindow) << "the made-up window's";
  xcb_map_window(platform::X11Display(), 0x3FFFFFF);
  xcb_flush(platform::X11Display());
  rgb.assign(rgb.size(), 0);
  EXPECT_EQ(X11().ReadColormap(0, 256, rgb.data()), 256);
  EXPECT_EQ(rgb[3 * white.pixel + 1], 255);
  EXPECT_EQ(platform::X11TakeError(), BadWindow) << "the unmapped made-up window's";
  EXPECT_EQ(platform::X11TakeError(), 0);
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

// A capture asks for the screen's layout anew when it begins, so that it follows a change made
// just before it (the layout and the dpi are kept together for a short while between calls).
TEST(X11Display, EachCaptureAsksForTheScreenAnew) {
  testsupport::XvfbServer server(320, 240, 24);
  Connection t;
  auto setDpi = [&](const char* resources) {
    XChangeProperty(t.d, DefaultRootWindow(t.d), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources),
                    static_cast<int>(std::strlen(resources)));
    XSync(t.d, False);
  };
  setDpi("Xft.dpi:\t144\n");
  platform::x11::ForgetScreenCache();
  ASSERT_EQ(X11().Dpi(), 144);
  setDpi("Xft.dpi:\t120\n");
  std::string why;
  ASSERT_EQ(X11().BeginCapture(platform::CaptureTarget::kFullScreen, {}, &why),
            platform::CaptureFailure::kNone)
      << why;
  EXPECT_EQ(X11().Dpi(), 120);
  X11().EndCapture();
}

// A write to a server that has gone away must not end the process with SIGPIPE. libxcb reads
// the hang-up first when it can, so a real server's loss meets the write only now and then (the
// loss loop of tests/fault_injection_test); here the write meets a closed socket every time: it
// fails with EPIPE, no SIGPIPE is left pending, and the thread's mask is as it was.
TEST(X11Display, AWriteToALostPeerRaisesNoSigpipe) {
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  close(ends[1]);
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  using platform::x11::SigpipeBlocked;
  std::thread writer([&] {
    const SigpipeBlocked quiet(SigpipeBlocked::kAnyWrite);
    EXPECT_EQ(write(ends[0], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
  });
  writer.join();
  {
    const SigpipeBlocked outer;
    const SigpipeBlocked quiet(SigpipeBlocked::kAnyWrite);  // nested: the outer one takes it
    EXPECT_EQ(write(ends[0], "x", 1), -1);
  }
  sigset_t after, pending;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  EXPECT_EQ(sigismember(&after, SIGPIPE), sigismember(&before, SIGPIPE));
  close(ends[0]);
}

// A display that answers the connection setup and then hangs up, as a server that dies while
// Xlib opens the connection does, or one that a hostile DISPLAY names; or, kStopsReading, one that
// stops reading before it answers, so that every later write of the client fails with EPIPE; or,
// kAnswersEmpty, one that answers every later request with an empty reply (no extension, no
// property) until the client hangs up. Serves on a thread.
class HangUpDisplay {
 public:
  enum Ends { kHangsUp, kStopsReading, kAnswersEmpty };
  explicit HangUpDisplay(Ends ends = kHangsUp) : ends_(ends) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    for (number_ = 400 + getpid() % 400;; ++number_) {
      const std::string path = "/tmp/.X11-unix/X" + std::to_string(number_);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::memcpy(address.sun_path + 1, path.data(), path.size());  // abstract, as Xlib tries
      const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
      if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0) break;
    }
    listen(fd_, 8);
    server_ = std::thread([this] {
      for (int client; (client = accept(fd_, nullptr, nullptr)) >= 0;) {
        Answer(client, ends_ == kStopsReading);
        if (ends_ == kAnswersEmpty) {
          answering_ = client;  // kept open until the end, so the number names it till then
          AnswerEmpty(client);
        }
        if (ends_ != kHangsUp)
          kept_.push_back(client);
        else
          close(client);
      }
    });
  }
  ~HangUpDisplay() {
    shutdown(fd_, SHUT_RDWR);  // ends the accept
    if (const int client = answering_; client >= 0) shutdown(client, SHUT_RDWR);
    server_.join();
    close(fd_);
    for (int client : kept_) close(client);
  }
  std::string name() const { return ":" + std::to_string(number_); }

 private:
  // The client's setup request (little-endian, as this machine's Xlib sends it), then a
  // success reply: one 64 × 48 TrueColor screen of depth 24.
  static void Answer(int client, bool stop_reading) {
    std::uint8_t head[12];
    if (recv(client, head, sizeof head, MSG_WAITALL) != sizeof head) return;
    auto padded = [](int n) { return static_cast<std::size_t>((n + 3) & ~3); };
    std::vector<std::uint8_t> authorization(padded(head[6] | head[7] << 8) +
                                            padded(head[8] | head[9] << 8));
    if (!authorization.empty())
      recv(client, authorization.data(), authorization.size(), MSG_WAITALL);
    std::vector<std::uint8_t> body;
    auto put = [&body](std::initializer_list<std::uint32_t> values, int bytes) {
      for (std::uint32_t v : values)
        for (int i = 0; i < bytes; ++i) body.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    put({1, 0x200000, 0x1FFFFF, 0}, 4);                // release, id base and mask, motion
    put({4, 65535}, 2);                                // vendor length, maximum request
    put({1, 1, 0, 0, 32, 32, 8, 255, 0, 0, 0, 0}, 1);  // screens, formats, orders, keycodes
    put({'f', 'a', 'k', 'e'}, 1);                      // vendor
    put({24, 32, 32, 0, 0, 0, 0, 0}, 1);               // format: depth 24, 32 bits a pixel
    put({0x100, 0x20, 0xFFFFFF, 0, 0}, 4);             // root, colormap, pixels, input mask
    put({64, 48, 10, 10, 1, 1}, 2);                    // size in pixels and mm, colormaps
    put({0x21}, 4);                                    // root visual
    put({0, 0, 24, 1, 24, 0}, 1);                      // stores, unders, depth; one depth
    put({1}, 2);                                       // with one visual:
    put({0, 0x21}, 4);                                 // TrueColor, 8 bits a channel
    put({4, 8}, 1);
    put({256}, 2);
    put({0xFF0000, 0xFF00, 0xFF, 0}, 4);
    const std::uint8_t success[8] = {1,
                                     0,
                                     11,
                                     0,
                                     0,
                                     0,
                                     static_cast<std::uint8_t>(body.size() / 4),
                                     static_cast<std::uint8_t>(body.size() / 1024)};
    body.insert(body.begin(), std::begin(success), std::end(success));
    if (stop_reading) shutdown(client, SHUT_RD);
    send(client, body.data(), body.size(), MSG_NOSIGNAL);
  }

  // Every request (whose length is in its bytes 2 and 3, in 4-byte units) gets a reply of 32
  // zero bytes but for its type and sequence number.
  static void AnswerEmpty(int client) {
    for (unsigned sequence = 1;; ++sequence) {
      std::uint8_t head[4];
      if (recv(client, head, sizeof head, MSG_WAITALL) != sizeof head) return;
      std::vector<std::uint8_t> rest(std::max(4 * (head[2] | head[3] << 8), 4) - 4);
      if (!rest.empty() &&
          recv(client, rest.data(), rest.size(), MSG_WAITALL) != static_cast<ssize_t>(rest.size()))
        return;
      std::uint8_t reply[32] = {1, 0, static_cast<std::uint8_t>(sequence),
                                static_cast<std::uint8_t>(sequence >> 8)};
      if (send(client, reply, sizeof reply, MSG_NOSIGNAL) != sizeof reply) return;
    }
  }

  Ends ends_;
  std::atomic<int> answering_{-1};
  std::vector<int> kept_;  // the clients of a display that stops reading, kept open
  int fd_ = -1;
  int number_ = 0;
  std::thread server_;
};

// Xlib ends the process when the connection breaks before XOpenDisplay has returned: such a
// display is no display, and the next server works. In a child process, since a failure ends it.
TEST(X11Display, ServerThatHangsUpWhileOpeningIsNoDisplay) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    {
      HangUpDisplay hangUp;
      setenv("DISPLAY", hangUp.name().c_str(), 1);
      for (int i = 0; i < 3; ++i)
        if (X11().Screen().connected || X11().Read({0, 0, 1, 1}, [](const PixelBand&) {})) return 3;
    }
    testsupport::XvfbServer next(300, 100, 24);
    return X11().Screen().primary.width == 300 ? 0 : 4;
  };
  EXPECT_EXIT(std::_Exit(run()), ::testing::ExitedWithCode(0), "");
}

// The display's calls guard their own writes: a server that stops reading makes the first request
// after the connection setup fail with EPIPE. The SIGPIPE it raises is taken, the thread's mask
// is put back, and a SIGPIPE that was waiting before the call (the thread blocks it) is left
// waiting. In a child process, since an escaped SIGPIPE ends it.
TEST(X11Display, ADisplayThatStopsReadingRaisesNoSigpipe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    if (signal(SIGPIPE, SIG_DFL) == SIG_ERR) return 2;
    HangUpDisplay deaf(HangUpDisplay::kStopsReading), other(HangUpDisplay::kStopsReading);
    setenv("DISPLAY", deaf.name().c_str(), 1);
    if (X11().Screen().connected) return 3;
    sigset_t mask, pending;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    sigpending(&pending);
    if (sigismember(&mask, SIGPIPE) || sigismember(&pending, SIGPIPE)) return 4;

    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    pthread_kill(pthread_self(), SIGPIPE);
    setenv("DISPLAY", other.name().c_str(), 1);
    if (X11().Screen().connected) return 5;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    if (!sigismember(&mask, SIGPIPE)) return 6;
    // The one raised before is still there.
    const timespec now{0, 0};
    return sigtimedwait(&pipe, nullptr, &now) == SIGPIPE ? 0 : 7;
  };
  EXPECT_EXIT(std::_Exit(run()), ::testing::ExitedWithCode(0), "");
}

// A debug line that the display writes inside its guard, to a stderr whose reader has gone,
// raises a SIGPIPE that the guard takes as well. In a child process, since an escaped SIGPIPE
// ends it.
TEST(X11Display, ADebugLineToAClosedStderrRaisesNoSigpipe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    if (signal(SIGPIPE, SIG_DFL) == SIG_ERR) return 2;
    HangUpDisplay empty(HangUpDisplay::kAnswersEmpty);
    setenv("DISPLAY", empty.name().c_str(), 1);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return 3;
    close(ends[1]);
    dup2(ends[0], STDERR_FILENO);
    setenv("PICTOSS_DEBUG", "x11", 1);
    // The connection opens here and says that the server has no MIT-SHM.
    return X11().Screen().connected ? 0 : 4;
  };
  EXPECT_EXIT(std::_Exit(run()), ::testing::ExitedWithCode(0), "");
}

// ---- The clipboard offered to other programs through the CLIPBOARD selection ----------------

// The event loop of the clipboard tests: the descriptors that an offer watches, served by poll.
class Loop {
 public:
  platform::FdWatch Watch() {
    return {[this](int fd, std::function<void()> readable) {
              watched_[next_] = {fd, std::move(readable)};
              return next_++;
            },
            [this](int id) { watched_.erase(id); }};
  }
  void Pump(std::chrono::milliseconds most) {
    std::vector<pollfd> fds;
    std::vector<int> ids;
    for (auto& [id, w] : watched_) {
      fds.push_back({w.first, POLLIN, 0});
      ids.push_back(id);
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(most.count())) <= 0) return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      auto it = watched_.find(ids[i]);
      if (it != watched_.end() && (fds[i].revents & (POLLIN | POLLHUP))) it->second.second();
    }
  }
  platform::testing::CommandResult Paste(const std::string& target) {
    return platform::testing::RunWhilePumping("xclip -selection clipboard -t " + target + " -o",
                                              std::chrono::seconds(10),
                                              [this](auto most) { Pump(most); });
  }

 private:
  std::map<int, std::pair<int, std::function<void()>>> watched_;
  int next_ = 1;
};

// An offer of these bytes as image/png and image/bmp; `lost` counts the losses.
platform::ClipboardOffer OfferOf(std::string bytes, int* lost) {
  platform::ClipboardOffer offer;
  offer.targets = {"image/png", "image/bmp"};
  auto content = std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
  offer.render = [content](const std::string& target) -> platform::ClipboardBytes {
    return target == "image/png" || target == "image/bmp" ? content : nullptr;
  };
  offer.lost = [lost] { ++*lost; };
  return offer;
}

TEST(X11Clipboard, OffersItsTargetsAndRefusesOthers) {
  testsupport::XvfbServer server(320, 200, 24);
  Loop loop;
  int lost = 0;
  ASSERT_TRUE(X11().clipboard_owner()->Offer(OfferOf("\x89PNG picture", &lost), loop.Watch()));
  auto targets = loop.Paste("TARGETS");
  ASSERT_TRUE(targets.finished);
  for (const char* expected : {"TARGETS\n", "TIMESTAMP\n", "image/png\n", "image/bmp\n"})
    EXPECT_NE(targets.output.find(expected), std::string::npos) << expected;
  auto png = loop.Paste("image/png");
  ASSERT_TRUE(png.finished);
  EXPECT_EQ(png.status, 0);
  EXPECT_EQ(png.output, "\x89PNG picture");
  auto text = loop.Paste("UTF8_STRING");
  ASSERT_TRUE(text.finished);
  EXPECT_NE(text.status, 0) << "refused";
  EXPECT_EQ(lost, 0);
}

// Far more than one request holds: the answer goes in INCR chunks, and arrives whole.
TEST(X11Clipboard, LargeContentArrivesWholeThroughIncr) {
  testsupport::XvfbServer server(320, 200, 24);
  Loop loop;
  int lost = 0;
  std::string large(1'051'554, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 251);
  ASSERT_TRUE(X11().clipboard_owner()->Offer(OfferOf(large, &lost), loop.Watch()));
  auto bmp = loop.Paste("image/bmp");
  ASSERT_TRUE(bmp.finished);
  ASSERT_EQ(bmp.status, 0);
  EXPECT_TRUE(bmp.output == large);
}

TEST(X11Clipboard, AnotherProgramTakingItEndsTheOffer) {
  testsupport::XvfbServer server(320, 200, 24);
  Loop loop;
  int lost = 0;
  ASSERT_TRUE(X11().clipboard_owner()->Offer(OfferOf("ours", &lost), loop.Watch()));
  ASSERT_EQ(std::system("printf theirs | xclip -selection clipboard -i"), 0);
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       lost == 0 && std::chrono::steady_clock::now() < end;)
    loop.Pump(std::chrono::milliseconds(20));
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(loop.Paste("UTF8_STRING").output, "theirs");
}

// Another program took the selection while nothing read the notice; a new offer takes it back,
// and that old notice does not end the new offer.
TEST(X11Clipboard, AnOldNoticeOfLossDoesNotEndTheNextOffer) {
  testsupport::XvfbServer server(320, 200, 24);
  Connection t;
  const Atom clipboard = XInternAtom(t.d, "CLIPBOARD", False);
  Loop loop;
  int lost = 0;
  ASSERT_TRUE(X11().clipboard_owner()->Offer(OfferOf("first", &lost), loop.Watch()));
  const Window ours = XGetSelectionOwner(t.d, clipboard);
  ASSERT_EQ(std::system("printf theirs | xclip -selection clipboard -i"), 0);
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       XGetSelectionOwner(t.d, clipboard) == ours && std::chrono::steady_clock::now() < end;)
    XSync(t.d, False);
  ASSERT_NE(XGetSelectionOwner(t.d, clipboard), ours);
  ASSERT_TRUE(X11().clipboard_owner()->Offer(OfferOf("second", &lost), loop.Watch()));
  auto bmp = loop.Paste("image/bmp");
  ASSERT_TRUE(bmp.finished);
  EXPECT_EQ(bmp.status, 0);
  EXPECT_EQ(bmp.output, "second");
  EXPECT_EQ(lost, 0);
}

// The server going away while the selection is ours ends nothing but the offer, also when its
// last events wait unread on the old connection; the next server gets the next offer.
TEST(X11Clipboard, SurvivesTheServerGoingAway) {
  for (bool unread_events : {false, true}) {
    SCOPED_TRACE(unread_events);
    Loop loop;
    int lost = 0;
    {
      testsupport::XvfbServer first(320, 200, 24);
      ASSERT_TRUE(X11().clipboard_owner()->Offer(OfferOf("first", &lost), loop.Watch()));
      // Another program takes the selection; the notice of it is left unread.
      if (unread_events) {
        ASSERT_EQ(std::system("echo x | xclip -selection clipboard -i"), 0);
      }
    }
    testsupport::XvfbServer second(320, 200, 24);
    ASSERT_TRUE(X11().clipboard_owner()->Offer(OfferOf("second", &lost), loop.Watch()));
    auto bmp = loop.Paste("image/bmp");
    ASSERT_TRUE(bmp.finished);
    EXPECT_EQ(bmp.status, 0);
    EXPECT_EQ(bmp.output, "second");
  }
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
