// For the DIB section's tests: a colour pattern with distinct channels, reads of DIB pixels
// worked out independently of the object, pictures of pattern DIB sections, and a fixture that
// checks for leaked drawing objects. One test thread at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ostream>

#include "imaging/dib_section.h"
#include "platform/base/row_bytes.h"
#include "platform/gdi/gdi.h"
#include "tests/support/gdi_leak_check.h"

namespace pictoss::dibtest {

// The tests without a server of their own run without a display, whatever the environment has.
inline const int kNoDisplay = unsetenv("DISPLAY");

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Rgb& c) {
  return os << "(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << ")";
}

// Distinct colours in every channel, so that a swapped channel, a flipped row or a shifted
// column shows.
inline Rgb Pattern(int x, int y) {
  return {static_cast<std::uint8_t>(x * 37 + y * 11 + 5), static_cast<std::uint8_t>(y * 53 + x + 7),
          static_cast<std::uint8_t>(x * 5 + y * 91 + 200)};
}

// Bytes per row of a 24-bit DIB, worked out here rather than asked of the object.
inline int RowBytes(int width) {
  return static_cast<int>(platform::DibRowBytes(width));
}

// The pixel at (x, y), y counted from the top, of a bottom-up blue-green-red DIB.
inline Rgb DibPixel(const std::uint8_t* bits, int width, int height, int x, int y) {
  const std::uint8_t* p = bits + static_cast<std::size_t>(height - 1 - y) * RowBytes(width) + 3 * x;
  return {p[2], p[1], p[0]};
}

inline Rgb DibPixel(const DIBSectionBase& dib, int x, int y) {
  return DibPixel(reinterpret_cast<const std::uint8_t*>(dib.DIBSectionBitsPtr()), dib.Width(),
                  dib.Height(), x, y);
}

inline void ExpectPattern(const DIBSectionBase& dib, int width, int height) {
  ASSERT_EQ(dib.Width(), width);
  ASSERT_EQ(dib.Height(), height);
  ASSERT_NE(dib.DIBSectionBitsPtr(), 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) ASSERT_EQ(DibPixel(dib, x, y), Pattern(x, y)) << x << "," << y;
}

// A 24-bit DIB section filled with Pattern.
inline HBITMAP PatternDib(int width, int height) {
  BITMAPINFO info{};
  info.bmiHeader = {40, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(0, &info, DIB_RGB_COLORS, &bits, 0, 0);
  if (bitmap == 0) return 0;
  auto* bytes = static_cast<std::uint8_t*>(bits);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bytes + static_cast<std::size_t>(height - 1 - y) * RowBytes(width);
    for (int x = 0; x < width; ++x) {
      Rgb c = Pattern(x, y);
      row[3 * x] = c.b;
      row[3 * x + 1] = c.g;
      row[3 * x + 2] = c.r;
    }
  }
  return bitmap;
}

inline platform::Ref<Picture> PictureOf(HBITMAP bitmap, HPALETTE palette = 0) {
  return OleCreatePictureIndirect(PICTDESC{sizeof(PICTDESC), PICTYPE_BITMAP, bitmap, palette},
                                  true);
}

// Every test leaves the handle table as it found it.
using DibSectionTest = testsupport::LeakCheckedTest;

}  // namespace pictoss::dibtest
