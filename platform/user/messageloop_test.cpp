#include "platform/user/messageloop.h"

// gtest before Xlib, whose macros (None, Bool) break gtest's declarations.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/user/ui.h"
#include "tests/support/xvfb.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Empties the loop of anything an earlier test left behind.
void Drain() {
  while (platform::DoEvents()) {
  }
}

class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe(ends_), 0); }
  ~Pipe() {
    close(ends_[0]);
    close(ends_[1]);
  }
  int readEnd() const { return ends_[0]; }
  void Write() { ASSERT_EQ(write(ends_[1], "x", 1), 1); }
  void ReadOne() {
    char c;
    ASSERT_EQ(read(ends_[0], &c, 1), 1);
  }

 private:
  int ends_[2] = {-1, -1};
};

TEST(MessageLoop, WaitMessageTimesOutWhenNothingIsPending) {
  Drain();
  auto start = Clock::now();
  platform::WaitMessage(60ms);
  EXPECT_GE(Clock::now() - start, 60ms);
  EXPECT_FALSE(platform::DoEvents());
}

TEST(MessageLoop, PostedMessageFromAnotherThreadWakesTheWaitButRunsOnlyInDoEvents) {
  Drain();
  int runs = 0;
  std::thread poster([&] {
    std::this_thread::sleep_for(50ms);
    platform::PostThreadMessage([&] { ++runs; });
  });
  auto start = Clock::now();
  platform::WaitMessage(20s);
  EXPECT_LT(Clock::now() - start, 10s);
  poster.join();
  EXPECT_EQ(runs, 0);  // waiting dispatches nothing
  EXPECT_TRUE(platform::DoEvents());
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(platform::DoEvents());
  EXPECT_EQ(runs, 1);
}

TEST(MessageLoop, MessagesPostedByAMessageRunInOrder) {
  Drain();
  std::string order;
  platform::PostThreadMessage([&] {
    order += 'a';
    platform::PostThreadMessage([&] { order += 'c'; });
  });
  platform::PostThreadMessage([&] { order += 'b'; });
  Drain();
  EXPECT_EQ(order, "abc");
}

TEST(MessageLoop, SourceIsCalledWhenReadableAndNotAfterRemoval) {
  Drain();
  Pipe pipe;
  int calls = 0;
  int id = platform::AddMessageSource(pipe.readEnd(), [&] {
    ++calls;
    pipe.ReadOne();
  });
  ASSERT_NE(id, 0);
  EXPECT_FALSE(platform::DoEvents());
  EXPECT_EQ(calls, 0);

  pipe.Write();
  auto start = Clock::now();
  platform::WaitMessage(20s);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(platform::DoEvents());
  EXPECT_EQ(calls, 1);

  platform::RemoveMessageSource(id);
  platform::RemoveMessageSource(id);  // a stale id is ignored
  pipe.Write();
  platform::DoEvents();
  EXPECT_EQ(calls, 1);
}

TEST(MessageLoop, AddMessageSourceRefusesBadArguments) {
  Pipe pipe;
  EXPECT_EQ(platform::AddMessageSource(-1, [] {}), 0);
  EXPECT_EQ(platform::AddMessageSource(pipe.readEnd(), nullptr), 0);
  int id = platform::AddMessageSource(pipe.readEnd(), [] {});
  ASSERT_NE(id, 0);
  EXPECT_EQ(platform::AddMessageSource(pipe.readEnd(), [] {}), 0);
  platform::RemoveMessageSource(id);
}

TEST(MessageLoop, SourceMayRemoveItselfWhileCalled) {
  Drain();
  Pipe pipe;
  int calls = 0;
  int id = 0;
  id = platform::AddMessageSource(pipe.readEnd(), [&] {
    ++calls;
    platform::RemoveMessageSource(id);
  });
  pipe.Write();
  platform::DoEvents();
  platform::DoEvents();
  EXPECT_EQ(calls, 1);
}

// With FLTK's display open, the loop must also carry FLTK's X events and timers. FLTK opens
// its display once per process, so the tests share one server.
class MessageLoopWithDisplay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new testsupport::XvfbServer(640, 480); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static testsupport::XvfbServer* server_;
};
testsupport::XvfbServer* MessageLoopWithDisplay::server_ = nullptr;

TEST_F(MessageLoopWithDisplay, ServicesFltkWindowEventsAndTimers) {
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
  Drain();

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

TEST_F(MessageLoopWithDisplay, RunMessageLoopUntilServicesPostedMessages) {
  bool done = false;
  std::thread poster([&] {
    std::this_thread::sleep_for(50ms);
    platform::PostThreadMessage([&] { done = true; });
  });
  platform::RunMessageLoopUntil([&] { return done; });
  poster.join();
  EXPECT_TRUE(done);
}

}  // namespace
