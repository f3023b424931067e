// For tests: a picture's pixels against what they should be, in one comparison that says how
// many pixels differ and where the first one is, instead of a pixel loop in every test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ios>
#include <vector>

#include "platform/gdi/bitmap.h"

namespace testsupport {

// A colour as 0x00RRGGBB at (x, y).
using Colour = std::function<std::uint32_t(int x, int y)>;

// Pixels as 0x00RRGGBB, top row first, `width` a row, against expected(x, y).
inline ::testing::AssertionResult PixelsAre(const std::vector<std::uint32_t>& pixels, int width,
                                            int height, const Colour& expected) {
  if (pixels.size() != static_cast<std::size_t>(width) * height)
    return ::testing::AssertionFailure()
           << pixels.size() << " pixels, not " << width << " x " << height;
  int wrong = 0, first_x = 0, first_y = 0;
  std::uint32_t got = 0, wanted = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t p = pixels[static_cast<std::size_t>(y) * width + x], e = expected(x, y);
      if (p == e || wrong++) continue;
      first_x = x, first_y = y, got = p, wanted = e;
    }
  }
  if (wrong == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << wrong << " of " << width * height << " pixels differ; the first, at (" << first_x
         << ", " << first_y << "), is 0x" << std::hex << got << ", not 0x" << wanted;
}

// The bitmap is width × height pixels of expected(x, y).
inline ::testing::AssertionResult BitmapIs(HBITMAP bitmap, int width, int height,
                                           const Colour& expected) {
  int w = 0, h = 0;
  std::vector<std::uint32_t> pixels;
  if (!platform::GetBitmapRgb(bitmap, &w, &h, &pixels))
    return ::testing::AssertionFailure() << "no bitmap " << bitmap;
  if (w != width || h != height)
    return ::testing::AssertionFailure()
           << "a " << w << " x " << h << " bitmap, not " << width << " x " << height;
  return PixelsAre(pixels, w, h, expected);
}

}  // namespace testsupport
