// The user-interface module: message boxes without a display and in windows, and the message
// loop carrying FLTK's events and timers. FLTK opens its display once per process, so the tests
// with windows share one private X server.
#include "platform/user/messagebox.h"

// gtest before Xlib, whose macros (None, Bool) break gtest's declarations.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>

#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>

#include "platform/user/messageloop.h"
#include "platform/user/ui.h"
#include "tests/support/loop_testing.h"
#include "tests/support/ui_test_driver.h"
#include "tests/support/xvfb.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs while there is no display: DISPLAY unset, restored afterwards.
class NoDisplay {
 public:
  NoDisplay() {
    if (const char* d = std::getenv("DISPLAY")) saved_ = d;
    unsetenv("DISPLAY");
  }
  ~NoDisplay() {
    if (saved_) setenv("DISPLAY", saved_->c_str(), 1);
  }

 private:
  std::optional<std::string> saved_;
};

// These run before any test opens a display: once FLTK has one, it keeps it.
TEST(MessageBox, WithoutADisplayWritesTitleAndTextToStandardError) {
  NoDisplay noDisplay;
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxW(0, u"Incorrect Format:\n\nHKEY_x\\", u"Pictoss", MB_OK), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Pictoss] Incorrect Format:\n\nHKEY_x\\\n");
}

TEST(MessageBox, HookReceivesTheMessageInsteadOfTheScreen) {
  std::u16string text, caption;
  int calls = 0;
  platform::SetMessageBoxHook([&](std::u16string_view t, std::u16string_view c) {
    text = t;
    caption = c;
    ++calls;
  });
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxW(0, u"Grüße", u"Pictoss", MB_OK | MB_ICONERROR), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  platform::SetMessageBoxHook(nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(text, u"Grüße");
  EXPECT_EQ(caption, u"Pictoss");
}

// Real windows under a private X server.
class WithDisplay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new testsupport::XvfbServer(800, 600); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static testsupport::XvfbServer* server_;
};
testsupport::XvfbServer* WithDisplay::server_ = nullptr;

enum class CloseBy { kEnter, kEscape, kClickOk, kCloseBox };

// Shows a message box titled "Pictoss" and closes it the given way; true when the driver found
// a centred window and closed it, and the call returned.
bool ShowAndClose(CloseBy how, UINT type) {
  auto driver = std::async(std::launch::async, [how] {
    unsigned long id = uitest::WaitForWindow("Pictoss");
    if (!id) return false;
    uitest::Geometry g = uitest::WindowGeometry(id);
    bool centred = g.x == (800 - g.width) / 2 && g.y == (600 - g.height) / 2;
    bool done = false;
    switch (how) {
      case CloseBy::kEnter:
        done = uitest::Keys(id, "Return");
        break;
      case CloseBy::kEscape:
        done = uitest::Keys(id, "Escape");
        break;
      case CloseBy::kClickOk:  // the button sits centred at the bottom, 12 pixels above it
        done = uitest::Click(id, g.width / 2, g.height - 12 - 13);
        break;
      case CloseBy::kCloseBox:
        done = uitest::SendDeleteWindow(id);
        break;
    }
    bool gone = uitest::WaitUntilGone("Pictoss");
    if (!gone) uitest::SendDeleteWindow(id);  // so that the test thread is not left waiting
    return centred && done && gone;
  });
  int result =
      MessageBoxW(0, u"The settings could not be saved under HKEY_x@y & z.", u"Pictoss", type);
  return driver.get() && result == IDOK;
}

// The driver closes the message box as a user would.
TEST_F(WithDisplay, EveryWayOfClosingAMessageBoxReturnsOk) {
  struct Case {
    CloseBy how;
    UINT type;
  } cases[] = {{CloseBy::kEnter, MB_OK},
               {CloseBy::kEscape, MB_OK | MB_ICONERROR},
               {CloseBy::kClickOk, MB_OK | MB_ICONINFORMATION},
               {CloseBy::kCloseBox, MB_OK | MB_ICONWARNING}};
  for (const Case& c : cases) {
    EXPECT_TRUE(ShowAndClose(c.how, c.type)) << "case " << static_cast<int>(c.how);
  }
}

// With FLTK's display open, the loop also carries FLTK's X events and timers.
TEST_F(WithDisplay, MessageLoopServicesFltkWindowEventsAndTimers) {
  // FLTK comes with the user-interface module, which opens its display; the window below uses
  // that same FLTK.
  ASSERT_TRUE(platform::OpenUiDisplay());
  Fl_Window window(100, 100, 200, 100, "loop");
  window.show();
  ASSERT_NE(fl_display, nullptr);
  // Wait until the window is mapped, through the platform loop only.
  for (auto end = Clock::now() + 10s; !window.visible() && Clock::now() < end;) {
    if (!platform::DoEvents()) platform::WaitMessage(10ms);
  }
  ASSERT_TRUE(window.visible());
  platform::testing::DrainMessages();

  // A WM_DELETE_WINDOW message from another client: the wait wakes, DoEvents delivers it to
  // the window (whose default callback hides it).
  Display* other = XOpenDisplay(server_->display().c_str());
  ASSERT_NE(other, nullptr);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = fl_xid(&window);
  event.xclient.message_type = XInternAtom(other, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(other, "WM_DELETE_WINDOW", False));
  XSendEvent(other, fl_xid(&window), False, NoEventMask, &event);
  XFlush(other);

  auto start = Clock::now();
  platform::WaitMessage(20s);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_TRUE(window.shown());  // nothing dispatched yet
  for (auto end = Clock::now() + 10s; window.shown() && Clock::now() < end;) {
    if (!platform::DoEvents()) platform::WaitMessage(10ms);
  }
  EXPECT_FALSE(window.shown());
  XCloseDisplay(other);

  bool fired = false;
  Fl::add_timeout(
      0.05, [](void* flag) { *static_cast<bool*>(flag) = true; }, &fired);
  for (auto end = Clock::now() + 10s; !fired && Clock::now() < end;) {
    if (!platform::DoEvents()) platform::WaitMessage(10ms);
  }
  EXPECT_TRUE(fired);
}

}  // namespace
