// For tests: the count of live drawing objects (DCs, bitmaps, palettes) when the check was made,
// and the check that a test left it as it found it. One test thread at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>

#include "platform/gdi/handles.h"

namespace testsupport {

class GdiLeakCheck {
 public:
  GdiLeakCheck() : baseline_(platform::LiveGdiObjectCount()) {}
  // Counts from now on.
  void Reset() { baseline_ = platform::LiveGdiObjectCount(); }
  std::size_t baseline() const { return baseline_; }
  // Fails the running test when objects were left alive (or deleted that it did not make).
  void Check() const {
    EXPECT_EQ(platform::LiveGdiObjectCount(), baseline_) << "live drawing objects changed";
  }

 private:
  std::size_t baseline_;
};

// A test that leaves the drawing objects as it found them.
class LeakCheckedTest : public ::testing::Test {
 protected:
  void SetUp() override { leaks_.Reset(); }
  void TearDown() override { leaks_.Check(); }
  GdiLeakCheck leaks_;
};

}  // namespace testsupport
