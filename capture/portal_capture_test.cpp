// The capture routines with the screen read through the desktop portal: a fake portal on a
// private bus, and no compositor, so that the whole picture counts as the one output.
#include <gtest/gtest.h>

#include <vector>

#include "capture/screen_capture.h"
#include "platform/gdi/bitmap.h"
#include "platform/user/messageloop.h"
#include "product/product.h"
#include "tests/support/fake_portal.h"
#include "tests/support/runtime_error.h"

namespace {

class PortalCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PICTOSS_CAPTURE", "portal", 1);
    setenv("WAYLAND_DISPLAY", "pictoss-test-no-compositor", 1);
    unsetenv("SWAYSOCK");
  }
  void TearDown() override {
    unsetenv("PICTOSS_CAPTURE");
    unsetenv("WAYLAND_DISPLAY");
  }
  testsupport::FakePortalBus bus_;
};

TEST_F(PortalCaptureTest, FullScreenIsThePortalsPictureWhileMessagesAreDispatched) {
  bus_.StartPortal("ok");
  bool dispatched = false;
  platform::PostThreadMessage([&] { dispatched = true; });
  platform::Ref<Picture> picture = pictoss::GrabFullScreen();
  ASSERT_TRUE(picture);
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;
  ASSERT_TRUE(platform::GetBitmapRgb(picture->Handle(), &width, &height, &pixels));
  EXPECT_EQ(width, 3);
  EXPECT_EQ(height, 2);
  EXPECT_EQ(pixels,
            (std::vector<std::uint32_t>{0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0, 0x102030}));
  EXPECT_TRUE(dispatched) << "the wait for the portal dispatches the thread's messages";
}

TEST_F(PortalCaptureTest, WhatCannotBeReadIsAnErrorNotAnEmptyPicture) {
  struct Case {
    const char* mode;  // "" for no portal
    bool foreground;
    std::int32_t number;
    const char* text;
  } cases[] = {
      {"", false, platform::kInvalidProcedureCall, "no screenshot portal on the session bus"},
      {"cancel", false, 18, "cancelled"},
      {"deny", false, platform::kPermissionDenied, "denied"},
      {"ok", true, platform::kInvalidProcedureCall,
       "capturing the active window is not available on this desktop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    if (*c.mode)
      bus_.StartPortal(c.mode);
    else
      bus_.StopPortal();
    auto error = testsupport::RaisedError(
        [&] { c.foreground ? pictoss::GrabForegroundWindow() : pictoss::GrabFullScreen(); });
    if (!error) continue;
    EXPECT_EQ(error->number(), c.number);
    EXPECT_EQ(error->source(), product::kModuleSource.wide());
    EXPECT_NE(platform::ToAnsi(error->description()).find(c.text), std::string::npos)
        << platform::ToAnsi(error->description());
    if (c.foreground) {
      EXPECT_EQ(bus_.Log().find("call"), std::string::npos) << "no picture asked";
    }
  }
}

}  // namespace
