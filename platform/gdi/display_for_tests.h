// For tests only: puts a display of the test's own (tests/support/fake_display.h) in place of
// the one the session would choose, until called again with nullptr. Not exported: tests that
// use it link pictoss_platform_objects. One test thread.
#pragma once

#include "platform/gdi/display.h"

namespace platform {

void UseDisplayForTests(Display* display);

}  // namespace platform
