// Checks on the pictures that whole-system tests read back from the desktop sessions.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "tests/host_harness.h"

namespace harness {

// The colour at (x, y) is within JPEG noise of rgb.
inline ::testing::AssertionResult ColourAt(const harness::Rgb& p, int x, int y, std::uint32_t rgb) {
  if (x < 0 || y < 0 || x >= p.width || y >= p.height)
    return ::testing::AssertionFailure() << "(" << x << ", " << y << ") lies outside the "
                                         << p.width << " x " << p.height << " picture";
  const unsigned char* px = p.at(x, y);
  int want[3] = {int(rgb >> 16), int((rgb >> 8) & 0xFF), int(rgb & 0xFF)};
  for (int c = 0; c < 3; ++c)
    if (std::abs(px[c] - want[c]) > 16)
      return ::testing::AssertionFailure()
             << "(" << x << ", " << y << ") is " << int(px[0]) << "," << int(px[1]) << ","
             << int(px[2]) << ", not " << std::hex << rgb;
  return ::testing::AssertionSuccess();
}

}  // namespace harness
