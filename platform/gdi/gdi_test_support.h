// For the drawing layer's tests without a display: a fixture that checks for leaked objects,
// bitmaps of any format painted pixel by pixel, and memory DCs that hold them.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/handles.h"
#include "tests/support/gdi_leak_check.h"

namespace gditest {

using platform::BitmapObject;
using platform::PixelFormat;

inline constexpr std::uint32_t kBlack = 0x000000, kWhite = 0xFFFFFF, kRed = 0xFF0000,
                               kGreen = 0x00FF00, kBlue = 0x0000FF, kYellow = 0xFFFF00;

struct NoDisplay : ::testing::Test {
  void SetUp() override {
    unsetenv("DISPLAY");
    leaks.Reset();
  }
  void TearDown() override { leaks.Check(); }
  testsupport::GdiLeakCheck leaks;
};

// A bitmap of any format; 8-bit ones get a table whose first entries are the test colours.
inline HBITMAP MakeBitmap(int w, int h, const PixelFormat& f) {
  auto b = BitmapObject::Make(w, h, f, false);
  if (!b) return 0;
  const std::uint32_t colours[] = {kBlack, kWhite, kRed, kGreen, kBlue, kYellow};
  for (int i = 0; i < 6; ++i)
    b->table()[i] = {static_cast<BYTE>(colours[i]), static_cast<BYTE>(colours[i] >> 8),
                     static_cast<BYTE>(colours[i] >> 16), 0};
  return platform::AddGdiObject(std::move(b));
}

// Writes one pixel of a colour the format can hold exactly, by the format's own rules.
inline void PutPixel(HBITMAP h, int x, int y, std::uint32_t rgb) {
  auto* b = platform::FindGdi<BitmapObject>(h);
  std::uint8_t* row = b->View().Row(y);
  std::uint32_t r = rgb >> 16, g = (rgb >> 8) & 0xFF, bl = rgb & 0xFF;
  switch (b->format().bits) {
    case 1:
      if (rgb == kWhite)
        row[x / 8] |= 0x80 >> (x % 8);
      else
        row[x / 8] &= ~(0x80 >> (x % 8));
      break;
    case 8:
      for (int i = 0; i < 256; ++i) {
        const RGBQUAD& q = b->table()[i];
        if (q.rgbRed == r && q.rgbGreen == g && q.rgbBlue == bl) {
          row[x] = static_cast<std::uint8_t>(i);
          break;
        }
      }
      break;
    case 16: {
      std::uint16_t v = static_cast<std::uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (bl >> 3));
      std::memcpy(row + 2 * x, &v, 2);
      break;
    }
    case 24:
      row[3 * x] = static_cast<std::uint8_t>(bl);
      row[3 * x + 1] = static_cast<std::uint8_t>(g);
      row[3 * x + 2] = static_cast<std::uint8_t>(r);
      break;
    default: {
      // The unused byte must not matter.
      std::uint32_t v = 0xAB000000u | (r << std::countr_zero(b->format().red)) |
                        (g << std::countr_zero(b->format().green)) |
                        (bl << std::countr_zero(b->format().blue));
      std::memcpy(row + 4 * x, &v, 4);
    }
  }
}

inline std::uint32_t Pixel(HBITMAP h, int x, int y) {
  std::uint32_t v = 0xDEADBEEF;
  EXPECT_TRUE(platform::GetBitmapPixel(h, x, y, &v)) << x << "," << y;
  return v;
}

// A memory DC holding the bitmap; the DC is deleted (the bitmap kept) at the end of scope.
struct MemDc {
  explicit MemDc(HBITMAP b) : dc(CreateCompatibleDC(0)) { old = SelectObject(dc, b); }
  ~MemDc() {
    SelectObject(dc, old);
    DeleteDC(dc);
  }
  HDC dc;
  HGDIOBJ old;
};

inline BITMAPINFO Info24(LONG w, LONG h) {
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  return info;
}

inline const PixelFormat kFormats[] = {PixelFormat::Mono(),   PixelFormat::Indexed8(),
                                       PixelFormat::Rgb565(), PixelFormat::Bgr24(),
                                       PixelFormat::Xrgb32(), {32, 0x0000FF, 0x00FF00, 0xFF0000}};

}  // namespace gditest
