// The capture routines under private X servers: the screen and windows come back pixel for
// pixel, in the 24-, 16- and 8-bit formats, with the twips arithmetic and its errors.
#include "capture/screen_capture.h"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/handles.h"
#include "platform/gdi/palette.h"
#include "platform/runtime/errors.h"
#include "platform/user/window.h"
#include "platform/x11/x11.h"
#include "tests/support/gdi_leak_check.h"
#include "tests/support/runtime_error.h"
#include "tests/support/xvfb.h"

namespace {

using pictoss::GrabForegroundWindow;
using pictoss::GrabFullScreen;

// The test's own connection, apart from the platform's.
struct TestDisplay {
  TestDisplay() : d(XOpenDisplay(nullptr)) {}
  ~TestDisplay() {
    if (d) XCloseDisplay(d);
  }
  Window root() const { return DefaultRootWindow(d); }
  Display* d;
};

std::uint32_t Pattern(int x, int y) {
  return (static_cast<std::uint32_t>((x * 7) & 0xFF) << 16) | (((y * 5) & 0xFF) << 8) |
         ((x + 3 * y) & 0xFF);
}

// A TrueColor pixel value for an 8-bit-a-channel colour, by the visual's masks.
unsigned long PixelOf(Visual* v, std::uint32_t rgb) {
  auto place = [](unsigned long mask, unsigned c) {
    int shift = __builtin_ctzl(mask), width = __builtin_popcountl(mask);
    return (static_cast<unsigned long>(c) >> (8 - width)) << shift;
  };
  return place(v->red_mask, rgb >> 16) | place(v->green_mask, (rgb >> 8) & 0xFF) |
         place(v->blue_mask, rgb & 0xFF);
}

// What a colour reads back as after the screen's format kept only the top bits of each
// channel: the bits repeated downwards.
std::uint32_t Reduced(Visual* v, std::uint32_t rgb) {
  auto one = [](unsigned long mask, unsigned c) {
    int width = __builtin_popcountl(mask);
    unsigned top = c >> (8 - width);
    unsigned out = 0;
    for (int bit = 7, src = width - 1; bit >= 0; --bit, src = src == 0 ? width - 1 : src - 1)
      out |= ((top >> src) & 1u) << bit;
    return out;
  };
  return (one(v->red_mask, rgb >> 16) << 16) | (one(v->green_mask, (rgb >> 8) & 0xFF) << 8) |
         one(v->blue_mask, rgb & 0xFF);
}

// Draws colour(x, y) over a w × h area of the drawable at (x0, y0).
template <class F>
void Paint(TestDisplay& t, Drawable target, int x0, int y0, int w, int h, F colour) {
  Visual* v = DefaultVisual(t.d, DefaultScreen(t.d));
  XImage* image =
      XCreateImage(t.d, v, DefaultDepth(t.d, DefaultScreen(t.d)), ZPixmap, 0, nullptr, w, h, 32, 0);
  image->data =
      static_cast<char*>(std::malloc(static_cast<std::size_t>(image->bytes_per_line) * h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) XPutPixel(image, x, y, PixelOf(v, colour(x, y)));
  GC gc = XCreateGC(t.d, target, 0, nullptr);
  XPutImage(t.d, target, gc, image, 0, 0, x0, y0, w, h);
  XFreeGC(t.d, gc);
  XDestroyImage(image);
  XSync(t.d, False);
}

std::vector<std::uint32_t> Pixels(const platform::Ref<Picture>& p, int* w, int* h) {
  std::vector<std::uint32_t> out;
  EXPECT_TRUE(platform::GetBitmapRgb(p->Handle(), w, h, &out));
  return out;
}

Window MakeWindow(TestDisplay& t, Window parent, int x, int y, int w, int h, int border = 0) {
  Window win = XCreateSimpleWindow(t.d, parent, x, y, w, h, border, 0, 0);
  XMapWindow(t.d, win);
  XSync(t.d, False);
  return win;
}

void SetDpi(TestDisplay& t, const char* resources) {
  if (resources)
    XChangeProperty(t.d, t.root(), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources),
                    static_cast<int>(std::strlen(resources)));
  else
    XDeleteProperty(t.d, t.root(), XA_RESOURCE_MANAGER);
  XSync(t.d, False);
  platform::x11::ForgetScreenCache();
}

class Capture24 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new testsupport::XvfbServer(640, 480, 24); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override { leaks.Reset(); }
  void TearDown() override {
    XSetInputFocus(t.d, PointerRoot, RevertToPointerRoot, CurrentTime);
    XSync(t.d, False);
    leaks.Check();
  }
  static testsupport::XvfbServer* server;
  TestDisplay t;
  testsupport::GdiLeakCheck leaks;
};
testsupport::XvfbServer* Capture24::server = nullptr;

TEST_F(Capture24, FullScreenComesBackPixelForPixel) {
  Paint(t, t.root(), 0, 0, 640, 480, Pattern);
  auto picture = GrabFullScreen();
  ASSERT_TRUE(picture);
  EXPECT_EQ(platform::x11::CurrentReadMethod(), platform::x11::ReadMethod::kSharedMemory);
  EXPECT_EQ(picture->hPal(), 0u);
  int w, h;
  auto px = Pixels(picture, &w, &h);
  ASSERT_EQ(w, 640);
  ASSERT_EQ(h, 480);
  int wrong = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) wrong += px[y * w + x] != Pattern(x, y);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(px[0], Pattern(0, 0));
  EXPECT_EQ(px[479 * 640 + 639], Pattern(639, 479));
}

TEST_F(Capture24, ForegroundWindowByInputFocusIncludesItsBorder) {
  // 396 × 296 inside a 2-pixel border: 400 × 300 outside, at (100, 50).
  Window win = MakeWindow(t, t.root(), 100, 50, 396, 296, 2);
  Paint(t, t.root(), 0, 0, 640, 480, [](int, int) { return 0x0000FFu; });
  Paint(t, win, 0, 0, 396, 296, Pattern);
  XSetInputFocus(t.d, win, RevertToPointerRoot, CurrentTime);
  XSync(t.d, False);
  EXPECT_EQ(GetForegroundWindow(), win);
  RECT r{};
  EXPECT_TRUE(GetWindowRect(win, &r));
  EXPECT_EQ(r.left, 100);
  EXPECT_EQ(r.top, 50);
  EXPECT_EQ(r.right, 500);
  EXPECT_EQ(r.bottom, 350);
  auto picture = GrabForegroundWindow();
  ASSERT_TRUE(picture);
  int w, h;
  auto px = Pixels(picture, &w, &h);
  ASSERT_EQ(w, 400);
  ASSERT_EQ(h, 300);
  EXPECT_EQ(px[0], 0u);  // the border (black)
  int wrong = 0;
  for (int y = 0; y < 296; ++y)
    for (int x = 0; x < 396; ++x) wrong += px[(y + 2) * w + x + 2] != Pattern(x, y);
  EXPECT_EQ(wrong, 0);
  XDestroyWindow(t.d, win);
}

TEST_F(Capture24, ActiveWindowPropertyIsLiftedToItsFrame) {
  Window frame = MakeWindow(t, t.root(), 100, 50, 400, 300);
  Window client = MakeWindow(t, frame, 0, 20, 400, 280);
  Paint(t, frame, 0, 0, 400, 20, [](int, int) { return 0xFF0000u; });  // the title bar
  Paint(t, client, 0, 0, 400, 280, Pattern);
  Atom active = XInternAtom(t.d, "_NET_ACTIVE_WINDOW", False);
  XChangeProperty(t.d, t.root(), active, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&client), 1);
  XSync(t.d, False);
  EXPECT_EQ(GetForegroundWindow(), frame);
  auto picture = GrabForegroundWindow();
  int w, h;
  auto px = Pixels(picture, &w, &h);
  ASSERT_EQ(w, 400);
  ASSERT_EQ(h, 300);
  EXPECT_EQ(px[5 * w + 7], 0xFF0000u);
  EXPECT_EQ(px[(20 + 9) * w + 11], Pattern(11, 9));
  XDeleteProperty(t.d, t.root(), active);
  XDestroyWindow(t.d, frame);
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

TEST_F(Capture24, NoForegroundWindowIsAnError) {
  for (Window focus : {Window(None), Window(PointerRoot), t.root()}) {
    XSetInputFocus(t.d, focus, RevertToNone, CurrentTime);
    XSync(t.d, False);
    EXPECT_EQ(GetForegroundWindow(), 0u);
    ExpectNothingToCapture(GrabForegroundWindow, u"No window is in the foreground to capture");
  }
}

TEST_F(Capture24, WindowPartlyOffScreenReadsBlackOutside) {
  Paint(t, t.root(), 0, 0, 640, 480, [](int, int) { return 0x00FF00u; });
  Window win = MakeWindow(t, t.root(), 500, 400, 300, 200);
  Paint(t, win, 0, 0, 300, 200, Pattern);
  XSetInputFocus(t.d, win, RevertToPointerRoot, CurrentTime);
  XSync(t.d, False);
  auto picture = GrabForegroundWindow();
  int w, h;
  auto px = Pixels(picture, &w, &h);
  ASSERT_EQ(w, 300);
  ASSERT_EQ(h, 200);
  int wrong = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bool on_screen = 500 + x < 640 && 400 + y < 480;
      wrong += px[y * w + x] != (on_screen ? Pattern(x, y) : 0u);
    }
  EXPECT_EQ(wrong, 0);
  // Also a window entirely off the screen, above and to the left.
  XMoveWindow(t.d, win, -400, -300);
  XSync(t.d, False);
  picture = GrabForegroundWindow();
  px = Pixels(picture, &w, &h);
  ASSERT_EQ(w, 300);
  for (std::uint32_t p : px) ASSERT_EQ(p, 0u);
  XDestroyWindow(t.d, win);
}

TEST_F(Capture24, WindowDcShowsOverlappingWindows) {
  Window below = MakeWindow(t, t.root(), 10, 10, 100, 100);
  Paint(t, below, 0, 0, 100, 100, [](int, int) { return 0x0000FFu; });
  Window above = MakeWindow(t, t.root(), 60, 60, 100, 100);
  Paint(t, above, 0, 0, 100, 100, [](int, int) { return 0xFFFF00u; });
  auto picture = pictoss::GrabWindowRect(below, false, 0, 0, 100, 100);
  int w, h;
  auto px = Pixels(picture, &w, &h);
  EXPECT_EQ(px[10 * w + 10], 0x0000FFu);
  EXPECT_EQ(px[80 * w + 80], 0xFFFF00u);
  XDestroyWindow(t.d, above);
  XDestroyWindow(t.d, below);
}

// The whole screen at every dpi: its size in twips divided by whole twips per pixel would
// give 600 × 450 at 192 dpi (7.5 twips a pixel rounded to 8), 658 × 493 at 100, 644 × 483 at 110
// and a division by zero from 2880 dpi on.
TEST_F(Capture24, FullScreenIsTheScreensPixelSizeAtEveryDpi) {
  for (const char* resources :
       {static_cast<const char*>(nullptr), "Xft.antialias:\t1\nXft.dpi:\t120\n", "Xft.dpi:\t192\n",
        "Xft.dpi:\t100\n", "Xft.dpi:\t110\n", "Xft.dpi: 96.0\n", "Xft.dpi:\t3000\n",
        "Xft.dpi:\t1000000\n", "Xft.dpi:\tinf\n", "Xft.dpi:\t0.001\n"}) {
    SCOPED_TRACE(resources ? resources : "(none)");
    SetDpi(t, resources);
    auto picture = GrabFullScreen();
    ASSERT_TRUE(picture);
    BITMAP bm{};
    GetObjectA(picture->Handle(), sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 640);
    EXPECT_EQ(bm.bmHeight, 480);
  }
  SetDpi(t, nullptr);
}

TEST_F(Capture24, HolderKeepsTheLastPictureAndFreesItWhenReplaced) {
  auto& form = pictoss::main();
  EXPECT_EQ(&form, &pictoss::main());
  EXPECT_EQ(form.Caption(), u"Form1");
  auto first = GrabFullScreen();
  HBITMAP first_bitmap = first->Handle();
  form.Picture1.SetPicture(first);
  first = nullptr;
  EXPECT_EQ(form.Picture1.Picture()->Handle(), first_bitmap);
  Picture* same = form.Picture1.Picture().get();
  EXPECT_EQ(form.Picture1.Picture().get(), same);
  BITMAP bm{};
  EXPECT_NE(GetObjectA(first_bitmap, sizeof bm, &bm), 0);
  form.Picture1.SetPicture(GrabFullScreen());
  EXPECT_EQ(GetObjectA(first_bitmap, sizeof bm, &bm), 0);  // the holder held the last reference
  form.Picture1.SetPicture(nullptr);
}

TEST_F(Capture24, BadWindowGivesNoPictureAndLeaksNothing) {
  EXPECT_FALSE(pictoss::GrabWindowRect(0x7FFFFF0, false, 0, 0, 10, 10));
  RECT r{1, 2, 3, 4};
  EXPECT_FALSE(GetWindowRect(0x7FFFFF0, &r));
  EXPECT_EQ(r.left, 1);  // untouched
}

// A server that runs in 16 bits (5-6-5): colours come back with their low bits filled by
// repeating the high ones.
TEST(Capture16, FullScreenIn565) {
  testsupport::XvfbServer server(320, 200, 16);
  TestDisplay t;
  Visual* v = DefaultVisual(t.d, DefaultScreen(t.d));
  ASSERT_EQ(v->red_mask, 0xF800u);
  Paint(t, t.root(), 0, 0, 320, 200, Pattern);
  auto picture = GrabFullScreen();
  int w, h;
  auto px = Pixels(picture, &w, &h);
  ASSERT_EQ(w, 320);
  ASSERT_EQ(h, 200);
  int wrong = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) wrong += px[y * w + x] != Reduced(v, Pattern(x, y));
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(Reduced(v, 0xFFFFFF), 0xFFFFFFu);
  EXPECT_EQ(Reduced(v, 0x847F10), 0x847D10u);
}

// A 256-colour PseudoColor server: the picture carries the colormap as its palette, and its
// pixels are colormap indices that map back to the colours drawn.
TEST(Capture8, PaletteScreenCarriesTheColormap) {
  testsupport::XvfbServer server(640, 480, 8);
  TestDisplay t;
  Colormap cmap = DefaultColormap(t.d, DefaultScreen(t.d));
  const std::uint32_t wanted[] = {0x102030, 0xFF8000, 0x00C0FF, 0x7F7F7F};
  unsigned long pixel[4];
  for (int i = 0; i < 4; ++i) {
    XColor c{};
    c.red = static_cast<unsigned short>(((wanted[i] >> 16) & 0xFF) * 0x101);
    c.green = static_cast<unsigned short>(((wanted[i] >> 8) & 0xFF) * 0x101);
    c.blue = static_cast<unsigned short>((wanted[i] & 0xFF) * 0x101);
    ASSERT_TRUE(XAllocColor(t.d, cmap, &c));
    pixel[i] = c.pixel;
  }
  GC gc = XCreateGC(t.d, t.root(), 0, nullptr);
  for (int i = 0; i < 4; ++i) {
    XSetForeground(t.d, gc, pixel[i]);
    XFillRectangle(t.d, t.root(), gc, 160 * i, 0, 160, 480);
  }
  XFreeGC(t.d, gc);
  XSync(t.d, False);
  testsupport::GdiLeakCheck objects;
  {
    auto picture = GrabFullScreen();
    ASSERT_TRUE(picture);
    ASSERT_NE(picture->hPal(), 0u);
    auto* palette = platform::FindGdi<platform::PaletteObject>(picture->hPal());
    ASSERT_EQ(palette->entries.size(), 256u);
    std::vector<XColor> cells(256);
    for (int i = 0; i < 256; ++i) cells[i].pixel = static_cast<unsigned long>(i);
    XQueryColors(t.d, cmap, cells.data(), 256);
    for (int i = 0; i < 256; ++i) {
      EXPECT_EQ(palette->entries[i].peRed, cells[i].red >> 8) << i;
      EXPECT_EQ(palette->entries[i].peGreen, cells[i].green >> 8) << i;
      EXPECT_EQ(palette->entries[i].peBlue, cells[i].blue >> 8) << i;
    }
    BITMAP bm{};
    GetObjectA(picture->Handle(), sizeof bm, &bm);
    EXPECT_EQ(bm.bmBitsPixel, 8);
    int w, h;
    auto px = Pixels(picture, &w, &h);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(px[100 * w + 160 * i + 5], wanted[i]) << i;
      EXPECT_EQ(px[479 * w + 160 * i + 159], wanted[i]) << i;
    }
  }
  objects.Check();  // bitmap and palette went with it
}

// Without MIT-SHM the screen is read by plain image requests, with the same result.
TEST(CaptureWithoutSharedMemory, SamePixels) {
  testsupport::XvfbServer server(200, 100, 24, "-extension MIT-SHM");
  TestDisplay t;
  Paint(t, t.root(), 0, 0, 200, 100, Pattern);
  auto picture = GrabFullScreen();
  EXPECT_EQ(platform::x11::CurrentReadMethod(), platform::x11::ReadMethod::kImages);
  int w, h;
  auto px = Pixels(picture, &w, &h);
  ASSERT_EQ(w, 200);
  int wrong = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) wrong += px[y * w + x] != Pattern(x, y);
  EXPECT_EQ(wrong, 0);
}

// The number of descriptors open in this process.
int OpenFds() {
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) != -1;
  return n;
}

// The server going away under an open connection must not end the process: the next capture
// says that there is no display, the lost connection is closed (its socket, the graphics context
// of its reads and all), and a capture on the next server works.
TEST(CaptureWithoutDisplay, ServerGoneIsAnErrorAndTheNextServerWorks) {
  int fds = 0;  // once the connections of earlier tests are gone
  for (int round = 0; round < 4; ++round) {
    if (round == 1) fds = OpenFds();
    testsupport::XvfbServer server(320, 200, 24);
    auto before = GrabFullScreen();
    BITMAP bm{};
    GetObjectA(before->Handle(), sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 320);
    server.Crash();  // dead and reaped: its end of the socket is closed
    ExpectNothingToCapture(GrabFullScreen,
                           u"No display is available to capture the screen from (DISPLAY is not "
                           u"set or its X server cannot be reached)");
    EXPECT_EQ(GetForegroundWindow(), 0u);
  }
  EXPECT_EQ(OpenFds(), fds);
  testsupport::XvfbServer next(400, 300, 24);
  auto picture = GrabFullScreen();
  ASSERT_TRUE(picture);
  BITMAP bm{};
  GetObjectA(picture->Handle(), sizeof bm, &bm);
  EXPECT_EQ(bm.bmWidth, 400);
}

// A server killed while captures run, at whatever request it happens to be: the process goes
// on, the capture that meets the loss raises the error, and the next server is captured.
// Runs in a child process of its own, since before the loss was handled Xlib ended the process.
// (A server that dies while Xlib is still opening the connection ends the process all the same:
// Xlib gives no way in before the connection exists.)
TEST(CaptureWithoutDisplay, ServerKilledDuringCapturesEndsInAnError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int delayMs : {5, 40, 150}) {
    SCOPED_TRACE(delayMs);
    // Every server is stopped before the child ends: a server left running would keep the pipe
    // to the parent open.
    auto run = [delayMs] {
      int code = 2;
      {
        testsupport::XvfbServer server(2560, 1600, 24);
        GrabFullScreen();  // connected before the killer starts
        std::thread killer([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
          kill(server.pid(), SIGKILL);
        });
        for (int i = 0; i < 10000 && code == 2; ++i) {
          if (auto e = testsupport::ErrorOf(GrabFullScreen))
            code = e->number() == pictoss::kNothingToCaptureError ? 0 : 3;
        }
        killer.join();
      }
      if (code != 0) return code;
      testsupport::XvfbServer next(300, 100, 24);
      BITMAP bm{};
      GetObjectA(GrabFullScreen()->Handle(), sizeof bm, &bm);
      return bm.bmWidth == 300 ? 0 : 4;
    };
    EXPECT_EXIT(std::_Exit(run()), ::testing::ExitedWithCode(0), "");
  }
}

// A display that answers the connection setup and then hangs up, as a server that dies while
// Xlib opens the connection does, or one that a hostile DISPLAY names. Serves on a thread.
class HangUpDisplay {
 public:
  HangUpDisplay() {
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
      for (int client; (client = accept(fd_, nullptr, nullptr)) >= 0; close(client)) Answer(client);
    });
  }
  ~HangUpDisplay() {
    shutdown(fd_, SHUT_RDWR);  // ends the accept
    server_.join();
    close(fd_);
  }
  std::string name() const { return ":" + std::to_string(number_); }

 private:
  // The client's setup request (little-endian, as this machine's Xlib sends it), then a
  // success reply: one 64 × 48 TrueColor screen of depth 24.
  static void Answer(int client) {
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
    send(client, body.data(), body.size(), MSG_NOSIGNAL);
  }

  int fd_ = -1;
  int number_ = 0;
  std::thread server_;
};

// Xlib ends the process when the connection breaks before XOpenDisplay has returned: such a
// display is no display, and the next server works. In a child process, since a failure ends it.
TEST(CaptureWithoutDisplay, ServerThatHangsUpWhileOpeningIsNoDisplay) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    {
      HangUpDisplay hangUp;
      setenv("DISPLAY", hangUp.name().c_str(), 1);
      for (int i = 0; i < 3; ++i) {
        auto e = testsupport::ErrorOf(GrabFullScreen);
        if (!e || e->number() != pictoss::kNothingToCaptureError) return 3;
      }
    }
    testsupport::XvfbServer next(300, 100, 24);
    BITMAP bm{};
    GetObjectA(GrabFullScreen()->Handle(), sizeof bm, &bm);
    return bm.bmWidth == 300 ? 0 : 4;
  };
  EXPECT_EXIT(std::_Exit(run()), ::testing::ExitedWithCode(0), "");
}

TEST(CaptureWithoutDisplay, NoDisplayIsAnError) {
  unsetenv("DISPLAY");
  for (auto grab : {GrabFullScreen, GrabForegroundWindow}) {
    ExpectNothingToCapture(grab,
                           u"No display is available to capture the screen from (DISPLAY is not "
                           u"set or its X server cannot be reached)");
  }
}

}  // namespace
