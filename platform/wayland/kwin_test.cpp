#include "platform/wayland/kwin.h"

#include <gtest/gtest.h>

namespace {

using platform::wayland::ParseFrame;
using platform::wayland::Rect;

// KWin's script reports frameGeometry as text; fractions round outwards, so that the frame
// is never cut.
TEST(KWin, FramesAreReadAndRoundedOutwards) {
  struct Case {
    const char* text;
    bool ok;
    Rect frame;
  } cases[] = {
      {"312 215 400 337", true, {312, 215, 400, 337}},
      {"10.5 20.25 30 40", true, {10, 20, 31, 41}},
      {"-5 -6 10 10", true, {-5, -6, 10, 10}},
      {"0 0 1 1 ", true, {0, 0, 1, 1}},
      {"", false, {}},
      {"1 2 3", false, {}},
      {"1 2 3 4 5", false, {}},
      {"1 2 0 4", false, {}},
      {"1 2 3 -4", false, {}},
      {"nan 1 2 3", false, {}},
      {"1 2 3 4e9", false, {}},
      {"x 1 2 3", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Rect frame{7, 7, 7, 7};
    EXPECT_EQ(ParseFrame(c.text, &frame), c.ok);
    if (c.ok) {
      EXPECT_EQ(frame, c.frame);
    }
  }
}

}  // namespace
