// The debug channel: which subsystems PICTOSS_DEBUG names, and the line each writes.
#include "platform/base/debug.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(Debug, ChannelsNamedInPictossDebug) {
  struct Case {
    const char* setting;  // nullptr: unset
    bool x11, wayland;
  } cases[] = {
      {nullptr, false, false},     {"", false, false},           {"x11", true, false},
      {"x11,wayland", true, true}, {"wayland,x11", true, true},  {",x11,", true, false},
      {"x1", false, false},        {"x11wayland", false, false}, {"all", true, true},
      {"display,all", true, true},
  };
  for (const Case& c : cases) {
    if (c.setting)
      setenv("PICTOSS_DEBUG", c.setting, 1);
    else
      unsetenv("PICTOSS_DEBUG");
    EXPECT_EQ(platform::DebugOn("x11"), c.x11) << (c.setting ? c.setting : "(unset)");
    EXPECT_EQ(platform::DebugOn("wayland"), c.wayland) << (c.setting ? c.setting : "(unset)");
  }
  unsetenv("PICTOSS_DEBUG");
}

TEST(Debug, OneLineWithItsSubsystemElseSilence) {
  setenv("PICTOSS_DEBUG", "x11", 1);
  testing::internal::CaptureStderr();
  platform::DebugLine("x11", "%s has no MIT-SHM", ":5");
  platform::DebugLine("wayland", "not this one");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "pictoss:x11: :5 has no MIT-SHM\n");
  unsetenv("PICTOSS_DEBUG");
  testing::internal::CaptureStderr();
  platform::DebugLine("x11", "silent");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
