// The drawing objects without a display: memory DCs, bitmaps of every format, DIB sections,
// palettes and handle misuse.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/gdi/bitblt.h"
#include "platform/gdi/bitmap.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/gdi_test_support.h"
#include "platform/gdi/handles.h"
#include "platform/gdi/palette.h"

namespace {

using namespace gditest;

TEST_F(NoDisplay, NewMemoryDcHoldsOneByOneMonochromeBitmap) {
  HDC dc = CreateCompatibleDC(0);
  ASSERT_NE(dc, 0u);
  HBITMAP mine = CreateCompatibleBitmap(dc, 9, 3);  // the DC's format: monochrome
  HGDIOBJ stock = SelectObject(dc, mine);
  BITMAP bm{};
  ASSERT_EQ(GetObjectA(stock, sizeof bm, &bm), static_cast<int>(sizeof bm));
  EXPECT_EQ(bm.bmWidth, 1);
  EXPECT_EQ(bm.bmHeight, 1);
  EXPECT_EQ(bm.bmBitsPixel, 1);
  ASSERT_EQ(GetObjectA(mine, sizeof bm, &bm), static_cast<int>(sizeof bm));
  EXPECT_EQ(bm.bmWidth, 9);
  EXPECT_EQ(bm.bmBitsPixel, 1);
  EXPECT_EQ(bm.bmWidthBytes, 2);  // 9 bits, rows padded to 2 bytes
  EXPECT_EQ(bm.bmBits, nullptr);  // only DIB sections expose their memory
  EXPECT_EQ(SelectObject(dc, stock), mine);
  EXPECT_TRUE(DeleteObject(mine));
  EXPECT_TRUE(DeleteDC(dc));
}

TEST_F(NoDisplay, ScreenCompatibleBitmapWithoutDisplayIsTrueColour) {
  HDC screen = GetDC(0);
  ASSERT_NE(screen, 0u);
  HBITMAP b = CreateCompatibleBitmap(screen, 4, 2);
  BITMAP bm{};
  GetObjectA(b, sizeof bm, &bm);
  EXPECT_EQ(bm.bmBitsPixel, 32);
  HBITMAP empty = CreateCompatibleBitmap(screen, 0, 0);
  ASSERT_NE(empty, 0u);
  GetObjectA(empty, sizeof bm, &bm);
  EXPECT_EQ(bm.bmWidth, 0);
  EXPECT_EQ(bm.bmHeight, 0);
  EXPECT_EQ(CreateCompatibleBitmap(screen, -1, 5), 0u);
  EXPECT_EQ(GetDeviceCaps(screen, HORZRES), 0);
  EXPECT_EQ(GetDeviceCaps(screen, RASTERCAPS) & RC_PALETTE, 0);
  DeleteObject(b);
  DeleteObject(empty);
  EXPECT_EQ(ReleaseDC(0, screen), 1);
}

TEST_F(NoDisplay, DibSectionSizes) {
  struct Case {
    LONG w, h;
    bool made;
    LONG stride;
  } cases[] = {{1, 1, true, 4},
               {2, 1, true, 8},
               {3, 1, true, 12},
               {4, 1, true, 12},
               {5, 2, true, 16},
               {47, 3, true, 144},
               {640, 1, true, 1920},
               {0, 5, false, 0},
               {5, 0, false, 0},
               {-5, 5, false, 0},
               {5, -5, false, 0},
               // 3 × 715827882 = 2147483646 bytes a row; 2 rows do not fit 32 bits.
               {715827882, 2, false, 0},
               {715827883, 1, false, 0}};
  for (const Case& c : cases) {
    BITMAPINFO info = Info24(c.w, c.h);
    void* bits = reinterpret_cast<void*>(1);
    HBITMAP b = CreateDIBSection(0, &info, DIB_RGB_COLORS, &bits, 0, 0);
    EXPECT_EQ(b != 0, c.made) << c.w << "x" << c.h;
    if (!b) {
      EXPECT_EQ(bits, nullptr);
      continue;
    }
    BITMAP bm{};
    EXPECT_EQ(GetObjectA(b, sizeof bm, &bm), static_cast<int>(sizeof bm));
    EXPECT_EQ(bm.bmWidth, c.w);
    EXPECT_EQ(bm.bmHeight, c.h);
    EXPECT_EQ(bm.bmWidthBytes, c.stride);
    EXPECT_EQ(bm.bmPlanes, 1);
    EXPECT_EQ(bm.bmBitsPixel, 24);
    EXPECT_EQ(bm.bmBits, bits);
    // Zero-filled and all writable.
    auto* p = static_cast<std::uint8_t*>(bits);
    EXPECT_EQ(p[c.stride * c.h - 1], 0);
    std::memset(p, 0x5A, static_cast<std::size_t>(c.stride) * c.h);
    EXPECT_TRUE(DeleteObject(b));
  }
  BITMAPINFO wrong = Info24(4, 4);
  wrong.bmiHeader.biBitCount = 32;
  EXPECT_EQ(CreateDIBSection(0, &wrong, DIB_RGB_COLORS, nullptr, 0, 0), 0u);
  wrong = Info24(4, 4);
  EXPECT_EQ(CreateDIBSection(0, &wrong, 1 /* DIB_PAL_COLORS */, nullptr, 0, 0), 0u);
  EXPECT_EQ(CreateDIBSection(0, nullptr, DIB_RGB_COLORS, nullptr, 0, 0), 0u);
}

// A frame's memory starts on a 2 MiB boundary and is mapped in whole huge pages, so that huge
// pages back all of it: a 1920 x 1080 frame (5.93 MiB) takes three, a 3840 x 2160 one
// (23.73 MiB) twelve; where the last part would fill little of one, it takes small pages.
TEST_F(NoDisplay, FramesAreMappedInWholeHugePages) {
  constexpr std::size_t kHuge = 2u << 20, kPage = 4096;
  struct Case {
    int w, h;
    std::size_t mapped;
  };
  for (const Case& c : {Case{1920, 1080, 3 * kHuge}, Case{3840, 2160, 12 * kHuge},
                        Case{1024, 1366, 2 * kHuge + kPage}, Case{640, 480, 225 * kPage}}) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    const std::size_t bytes = static_cast<std::size_t>(c.w) * 3 * c.h;
    EXPECT_EQ(platform::MappedLength(bytes), c.mapped);
    BITMAPINFO info = Info24(c.w, c.h);
    void* bits = nullptr;
    HBITMAP b = CreateDIBSection(0, &info, DIB_RGB_COLORS, &bits, 0, 0);
    ASSERT_NE(b, 0u);
    if (bytes >= kHuge) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bits) % kHuge, 0u);
    }
    DeleteObject(b);
  }
}

TEST_F(NoDisplay, GetObjectCopiesNoMoreThanAsked) {
  BITMAPINFO info = Info24(3, 2);
  void* bits = nullptr;
  HBITMAP b = CreateDIBSection(0, &info, DIB_RGB_COLORS, &bits, 0, 0);
  EXPECT_EQ(GetObjectA(b, 0, nullptr), static_cast<int>(sizeof(BITMAP)));
  unsigned char buffer[sizeof(BITMAP) + 8];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(GetObjectA(b, 16, buffer), 16);
  EXPECT_EQ(buffer[16], 0xEE);
  LONG width;
  std::memcpy(&width, buffer + 4, 4);
  EXPECT_EQ(width, 3);
  EXPECT_EQ(GetObjectA(b, -1, buffer), 0);
  DeleteObject(b);
}

TEST_F(NoDisplay, HandleMisuseFails) {
  HDC dc = CreateCompatibleDC(0);
  HDC other = CreateCompatibleDC(0);
  HBITMAP b = MakeBitmap(2, 2, PixelFormat::Xrgb32());
  BITMAP bm{};
  // Wrong kinds and made-up values.
  EXPECT_FALSE(DeleteDC(b));
  EXPECT_FALSE(DeleteObject(dc));
  EXPECT_EQ(SelectObject(b, dc), 0u);
  EXPECT_EQ(SelectObject(dc, 0x12345678), 0u);
  EXPECT_EQ(GetObjectA(dc, sizeof bm, &bm), 0);
  EXPECT_EQ(GetObjectA(0, sizeof bm, &bm), 0);
  EXPECT_EQ(CreateCompatibleDC(0x7777), 0u);
  EXPECT_FALSE(BitBlt(b, 0, 0, 1, 1, dc, 0, 0, SRCCOPY));
  EXPECT_EQ(ReleaseDC(0, dc), 0);  // a memory DC is deleted, not released
  // One DC at a time; a selected bitmap is not deleted.
  HGDIOBJ stock = SelectObject(dc, b);
  EXPECT_NE(stock, 0u);
  EXPECT_EQ(SelectObject(dc, b), b);
  EXPECT_EQ(SelectObject(other, b), 0u);
  EXPECT_FALSE(DeleteObject(b));
  EXPECT_EQ(SelectObject(dc, stock), b);
  EXPECT_NE(SelectObject(other, b), 0u);
  // Deleting the DC lets go of its bitmap.
  EXPECT_TRUE(DeleteDC(other));
  EXPECT_TRUE(DeleteObject(b));
  // Stale handles.
  EXPECT_FALSE(DeleteObject(b));
  EXPECT_EQ(GetObjectA(b, sizeof bm, &bm), 0);
  EXPECT_EQ(SelectObject(dc, b), 0u);
  EXPECT_FALSE(DeleteDC(other));
  EXPECT_EQ(SelectObject(other, stock), 0u);
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_FALSE(DeleteDC(dc));
  EXPECT_TRUE(DeleteObject(stock));  // a stock object stays
  BITMAP sb{};
  EXPECT_NE(GetObjectA(stock, sizeof sb, &sb), 0);
}

TEST_F(NoDisplay, PalettesCountSelectionsAndRefuseBadRecords) {
  LOGPALETTE256 record{0x300, 256, {}};
  for (int i = 0; i < 256; ++i) record.palPalEntry[i] = {BYTE(i), BYTE(255 - i), 7, 0};
  HPALETTE p = CreatePalette(reinterpret_cast<LOGPALETTE*>(&record));
  ASSERT_NE(p, 0u);
  WORD entries = 0;
  EXPECT_EQ(GetObjectA(p, sizeof entries, &entries), 2);
  EXPECT_EQ(entries, 256);
  HDC dc = CreateCompatibleDC(0);
  HPALETTE old = SelectPalette(dc, p, FALSE);
  EXPECT_NE(old, 0u);
  EXPECT_EQ(RealizePalette(dc), 256u);
  EXPECT_FALSE(DeleteObject(p));  // still selected
  EXPECT_EQ(SelectPalette(dc, old, FALSE), p);
  EXPECT_EQ(GetSystemPaletteEntries(dc, 0, 256, record.palPalEntry), 0u);  // not a palette screen
  EXPECT_EQ(GetDeviceCaps(dc, SIZEPALETTE), 0);
  EXPECT_TRUE(DeleteObject(p));
  EXPECT_EQ(SelectPalette(dc, p, FALSE), 0u);
  record.palVersion = 0x200;
  EXPECT_EQ(CreatePalette(reinterpret_cast<LOGPALETTE*>(&record)), 0u);
  record = {0x300, 0, {}};
  EXPECT_EQ(CreatePalette(reinterpret_cast<LOGPALETTE*>(&record)), 0u);
  EXPECT_EQ(CreatePalette(nullptr), 0u);
  DeleteDC(dc);
}

}  // namespace

namespace {

using namespace gditest;

// The colours of a bitmap, top row first.
std::vector<std::uint32_t> Colours(HBITMAP b) {
  int w = 0, h = 0;
  std::vector<std::uint32_t> px;
  EXPECT_TRUE(platform::GetBitmapRgb(b, &w, &h, &px));
  return px;
}

// A whole DIB section copied onto a 32-bit bitmap of its size: the bitmap shows the DIB
// section's pixels as they were at the copy, whatever happens to either later.
TEST_F(NoDisplay, ACopyOfAWholeDibSectionKeepsThePixelsOfItsMoment) {
  struct Case {
    const char* what;
    void (*change)(HDC dibDc, void* bits, HDC copyDc, HBITMAP& dib);
    bool dibChanges;
  };
  const Case cases[] = {
      {"GDI draws on the DIB section",
       [](HDC dibDc, void*, HDC, HBITMAP&) { BitBlt(dibDc, 0, 0, 7, 5, 0, 0, 0, BLACKNESS); },
       true},
      {"its memory is written after GdiFlush",
       [](HDC, void* bits, HDC, HBITMAP&) {
         GdiFlush();
         std::memset(bits, 0x40, 24 * 5);
       },
       true},
      {"GDI draws on the copy",
       [](HDC, void*, HDC copyDc, HBITMAP&) { BitBlt(copyDc, 0, 0, 7, 5, 0, 0, 0, WHITENESS); },
       false},
      {"the DIB section is deleted",
       [](HDC dibDc, void*, HDC, HBITMAP& dib) {
         SelectObject(dibDc, platform::StockBitmap());
         DeleteObject(dib);
         dib = 0;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 7, 5, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC dibDc = CreateCompatibleDC(0);
    HBITMAP dib = CreateDIBSection(dibDc, &info, DIB_RGB_COLORS, &bits, 0, 0);
    for (int i = 0; i < 24 * 5; ++i) static_cast<BYTE*>(bits)[i] = static_cast<BYTE>(i * 37);
    SelectObject(dibDc, dib);
    HDC copyDc = CreateCompatibleDC(0);
    HBITMAP copy = MakeBitmap(7, 5, PixelFormat::Xrgb32());
    SelectObject(copyDc, copy);
    ASSERT_TRUE(BitBlt(copyDc, 0, 0, 7, 5, dibDc, 0, 0, SRCCOPY));
    const std::vector<std::uint32_t> before = Colours(dib);
    EXPECT_EQ(Colours(copy), before);
    // The bottom row comes first in memory: the top left pixel is the fifth row's first.
    EXPECT_EQ(before[0],
              (std::uint32_t{BYTE(98 * 37)} << 16) | (BYTE(97 * 37) << 8) | BYTE(96 * 37));
    c.change(dibDc, bits, copyDc, dib);
    if (c.dibChanges) {
      EXPECT_NE(Colours(dib), before);
      EXPECT_EQ(Colours(copy), before);
    } else if (dib) {
      EXPECT_EQ(Colours(dib), before);
      EXPECT_NE(Colours(copy), before);
    } else {
      EXPECT_EQ(Colours(copy), before);
    }
    SelectObject(copyDc, platform::StockBitmap());
    SelectObject(dibDc, platform::StockBitmap());
    DeleteObject(copy);
    if (dib) DeleteObject(dib);
    DeleteDC(copyDc);
    DeleteDC(dibDc);
  }
}

}  // namespace
