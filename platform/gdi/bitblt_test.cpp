// The drawing layer without a display: memory DCs, bitmaps of every format, DIB sections,
// raster operations, clipping and handle misuse.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/bitmap.h"
#include "platform/ole/picture.h"
#include "platform/gdi/handles.h"
#include "platform/user/window.h"
#include "platform/gdi/bitblt.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/palette.h"

namespace {

using platform::BitmapObject;
using platform::PixelFormat;

constexpr std::uint32_t kBlack = 0x000000, kWhite = 0xFFFFFF, kRed = 0xFF0000, kGreen = 0x00FF00,
                        kBlue = 0x0000FF, kYellow = 0xFFFF00;

struct NoDisplay : ::testing::Test {
  void SetUp() override {
    unsetenv("DISPLAY");
    baseline = platform::LiveGdiObjectCount();
  }
  void TearDown() override { EXPECT_EQ(platform::LiveGdiObjectCount(), baseline); }
  std::size_t baseline = 0;
};

// A bitmap of any format; 8-bit ones get a table whose first entries are the test colours.
HBITMAP MakeBitmap(int w, int h, const PixelFormat& f) {
  auto b = BitmapObject::Make(w, h, f, false);
  if (!b) return 0;
  const std::uint32_t colours[] = {kBlack, kWhite, kRed, kGreen, kBlue, kYellow};
  for (int i = 0; i < 6; ++i)
    b->table()[i] = {static_cast<BYTE>(colours[i]), static_cast<BYTE>(colours[i] >> 8),
                     static_cast<BYTE>(colours[i] >> 16), 0};
  return platform::AddGdiObject(std::move(b));
}

// Writes one pixel of a colour the format can hold exactly, by the format's own rules.
void PutPixel(HBITMAP h, int x, int y, std::uint32_t rgb) {
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

std::uint32_t Pixel(HBITMAP h, int x, int y) {
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
  EXPECT_EQ(GetDesktopWindow(), 0u);
  EXPECT_EQ(GetForegroundWindow(), 0u);
  DeleteObject(b);
  DeleteObject(empty);
  EXPECT_EQ(ReleaseDC(0, screen), 1);
}

BITMAPINFO Info24(LONG w, LONG h) {
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  return info;
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

const PixelFormat kFormats[] = {PixelFormat::Mono(),   PixelFormat::Indexed8(),
                                PixelFormat::Rgb565(), PixelFormat::Bgr24(),
                                PixelFormat::Xrgb32(), {32, 0x0000FF, 0x00FF00, 0xFF0000}};

// Every pair of formats: a row of test colours lands at an odd offset in the destination.
TEST_F(NoDisplay, BlitConvertsBetweenEveryPairOfFormats) {
  const std::uint32_t colours[] = {kBlack, kWhite, kRed,   kGreen, kBlue, kYellow,
                                   kWhite, kBlack, kWhite, kWhite, kRed};
  constexpr int n = 11;
  for (const PixelFormat& from : kFormats) {
    for (const PixelFormat& to : kFormats) {
      SCOPED_TRACE(testing::Message() << from.bits << "/" << std::hex << from.red << " -> "
                                      << std::dec << to.bits << "/" << std::hex << to.red);
      HBITMAP src = MakeBitmap(n, 2, from), dst = MakeBitmap(n + 5, 3, to);
      for (int x = 0; x < n; ++x) {
        bool mono = from.bits == 1;
        PutPixel(src, x, 1, mono ? (colours[x] == kWhite ? kWhite : kBlack) : colours[x]);
      }
      for (int x = 0; x < n + 5; ++x) PutPixel(dst, x, 2, kBlue);
      {
        MemDc s(src), d(dst);
        EXPECT_TRUE(BitBlt(d.dc, 3, 2, n, 1, s.dc, 0, 1, SRCCOPY));
      }
      for (int x = 0; x < n + 5; ++x) {
        std::uint32_t want = to.bits == 1 ? kBlack : kBlue;
        if (x >= 3 && x < 3 + n) {
          want = colours[x - 3];
          // Monochrome keeps white as white and makes every other colour black.
          if (from.bits == 1 || to.bits == 1) want = want == kWhite ? kWhite : kBlack;
        }
        EXPECT_EQ(Pixel(dst, x, 2), want) << "x=" << x;
      }
      DeleteObject(src);
      DeleteObject(dst);
    }
  }
}

// Raster operations act on the destination's pixel values.
TEST_F(NoDisplay, RasterOperations) {
  constexpr std::uint32_t S = 0x00FF0F, D = 0x0F0FF0;
  struct Case {
    DWORD rop;
    std::uint32_t want;  // 24-bit result
    int mono_want[4];    // for source 0,0,1,1 over destination 0,1,0,1
  } cases[] = {
      {SRCCOPY, S, {0, 0, 1, 1}},
      {SRCPAINT, 0x0FFFFF, {0, 1, 1, 1}},
      {SRCAND, 0x000F00, {0, 0, 0, 1}},
      {SRCINVERT, 0x0FF0FF, {0, 1, 1, 0}},
      {SRCERASE, 0x00F00F, {0, 0, 1, 0}},
      {NOTSRCCOPY, 0xFF00F0, {1, 1, 0, 0}},
      {NOTSRCERASE, 0xF00000, {1, 0, 0, 0}},
      {MERGEPAINT, 0xFF0FF0, {1, 1, 0, 1}},
      {DSTINVERT, 0xF0F00F, {1, 0, 1, 0}},
      {BLACKNESS, 0x000000, {0, 0, 0, 0}},
      {WHITENESS, 0xFFFFFF, {1, 1, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.rop);
    HBITMAP src = MakeBitmap(1, 1, PixelFormat::Bgr24()),
            dst = MakeBitmap(1, 1, PixelFormat::Bgr24());
    PutPixel(src, 0, 0, S);
    PutPixel(dst, 0, 0, D);
    HBITMAP msrc = MakeBitmap(4, 1, PixelFormat::Mono()),
            mdst = MakeBitmap(4, 1, PixelFormat::Mono());
    const int s_bits[4] = {0, 0, 1, 1}, d_bits[4] = {0, 1, 0, 1};
    for (int x = 0; x < 4; ++x) {
      PutPixel(msrc, x, 0, s_bits[x] ? kWhite : kBlack);
      PutPixel(mdst, x, 0, d_bits[x] ? kWhite : kBlack);
    }
    {
      MemDc s(src), d(dst), ms(msrc), md(mdst);
      EXPECT_TRUE(BitBlt(d.dc, 0, 0, 1, 1, s.dc, 0, 0, c.rop));
      EXPECT_TRUE(BitBlt(md.dc, 0, 0, 4, 1, ms.dc, 0, 0, c.rop));
    }
    EXPECT_EQ(Pixel(dst, 0, 0), c.want);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(Pixel(mdst, x, 0), c.mono_want[x] ? kWhite : kBlack);
    for (HBITMAP b : {src, dst, msrc, mdst}) DeleteObject(b);
  }
}

TEST_F(NoDisplay, UnknownRasterOperationFailsAndChangesNothing) {
  HBITMAP src = MakeBitmap(1, 1, PixelFormat::Bgr24()),
          dst = MakeBitmap(1, 1, PixelFormat::Bgr24());
  PutPixel(src, 0, 0, kRed);
  PutPixel(dst, 0, 0, kGreen);
  {
    MemDc s(src), d(dst);
    EXPECT_FALSE(BitBlt(d.dc, 0, 0, 1, 1, s.dc, 0, 0, 0x00F00021 /* PATCOPY */));
    EXPECT_FALSE(BitBlt(d.dc, 0, 0, 1, 1, s.dc, 0, 0, 0));
    // Operations without a source need no source DC.
    EXPECT_TRUE(BitBlt(d.dc, 0, 0, 1, 1, 0, 0, 0, DSTINVERT));
    EXPECT_FALSE(BitBlt(d.dc, 0, 0, 1, 1, 0, 0, 0, SRCCOPY));
  }
  EXPECT_EQ(Pixel(dst, 0, 0), 0xFF00FFu);
  DeleteObject(src);
  DeleteObject(dst);
}

// Clipping to both bitmaps: the pixel at destination (x, y) comes from the source at
// (x - dx + sx, y - dy + sy) when that lies inside the rectangle and both bitmaps.
TEST_F(NoDisplay, BlitClipsToBothSurfaces) {
  constexpr int W = 5, H = 4;
  struct Case {
    int dx, dy, w, h, sx, sy;
  } cases[] = {{0, 0, W, H, 0, 0},
               {-2, 0, W, H, 0, 0},
               {0, -3, W, H, 0, 0},
               {3, 0, W, H, 0, 0},
               {0, 2, W, H, 0, 0},
               {0, 0, W, H, 2, 0},
               {0, 0, W, H, 0, 3},
               {0, 0, W, H, -1, -2},
               {1, 1, 1, 1, 4, 3},
               {0, 0, 0, 3, 0, 0},
               {0, 0, 3, 0, 0, 0},
               {0, 0, -3, 3, 0, 0},
               {W, 0, W, H, 0, 0},
               {0, 0, W, H, W, H},
               {INT_MAX, 0, INT_MAX, 1, 0, 0},
               {INT_MIN, INT_MIN, INT_MAX, INT_MAX, 0, 0},
               {1, 1, INT_MAX, INT_MAX, INT_MIN, 0}};
  auto source_colour = [](int x, int y) {
    return static_cast<std::uint32_t>(0x100000 * x + 0x10 * y + 1);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dx << "," << c.dy << " " << c.w << "x" << c.h << " from "
                                    << c.sx << "," << c.sy);
    HBITMAP src = MakeBitmap(W, H, PixelFormat::Bgr24()),
            dst = MakeBitmap(W, H, PixelFormat::Bgr24());
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        PutPixel(src, x, y, source_colour(x, y));
        PutPixel(dst, x, y, kWhite);
      }
    {
      MemDc s(src), d(dst);
      EXPECT_TRUE(BitBlt(d.dc, c.dx, c.dy, c.w, c.h, s.dc, c.sx, c.sy, SRCCOPY));
    }
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        long long rx = static_cast<long long>(x) - c.dx, ry = static_cast<long long>(y) - c.dy;
        long long srcx = rx + c.sx, srcy = ry + c.sy;
        bool copied = rx >= 0 && ry >= 0 && rx < c.w && ry < c.h && srcx >= 0 && srcy >= 0 &&
                      srcx < W && srcy < H;
        std::uint32_t want =
            copied ? source_colour(static_cast<int>(srcx), static_cast<int>(srcy)) : kWhite;
        EXPECT_EQ(Pixel(dst, x, y), want) << x << "," << y;
      }
    DeleteObject(src);
    DeleteObject(dst);
  }
}

// A DIB section is bottom-up: the top row of the picture is the last row in memory.
TEST_F(NoDisplay, BlitIntoDibSectionIsBottomUpBgr) {
  HBITMAP src = MakeBitmap(3, 2, PixelFormat::Xrgb32());
  PutPixel(src, 0, 0, 0x102030);  // marker in the top-left corner
  PutPixel(src, 1, 0, kRed);
  PutPixel(src, 2, 0, kGreen);
  for (int x = 0; x < 3; ++x) PutPixel(src, x, 1, kBlue);
  BITMAPINFO info = Info24(3, 2);
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(0, &info, DIB_RGB_COLORS, &bits, 0, 0);
  {
    MemDc s(src), d(dib);
    EXPECT_TRUE(BitBlt(d.dc, 0, 0, 3, 2, s.dc, 0, 0, SRCCOPY));
  }
  const std::uint8_t want[24] = {
      0xFF, 0,    0,    0xFF, 0, 0,    0xFF, 0,    0, 0, 0, 0,  // bottom row
      0x30, 0x20, 0x10, 0,    0, 0xFF, 0,    0xFF, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bits, want, 24), 0);
  DeleteObject(src);
  DeleteObject(dib);
}

// The 32- to 24-bit copy works on runs of 16 pixels: widths around those runs, at an odd
// offset on both sides, keep every pixel and leave the bytes around the copy alone.
TEST_F(NoDisplay, Blit32To24KeepsEveryPixelOfLongRows) {
  for (int w : {15, 16, 17, 37, 64}) {
    SCOPED_TRACE(w);
    HBITMAP src = MakeBitmap(w + 1, 1, PixelFormat::Xrgb32());
    for (int x = 0; x <= w; ++x) PutPixel(src, x, 0, 0x010203u * static_cast<std::uint32_t>(x + 1));
    BITMAPINFO info = Info24(w + 3, 1);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(0, &info, DIB_RGB_COLORS, &bits, 0, 0);
    auto* row = static_cast<std::uint8_t*>(bits);
    std::memset(row, 0xAB, static_cast<std::size_t>(w + 3) * 3);
    {
      MemDc s(src), d(dib);
      EXPECT_TRUE(BitBlt(d.dc, 1, 0, w, 1, s.dc, 1, 0, SRCCOPY));
    }
    for (int x = 0; x < w + 3; ++x) {
      std::uint32_t rgb = 0xABABAB;
      if (x >= 1 && x <= w) rgb = 0x010203u * static_cast<std::uint32_t>(x + 1);
      EXPECT_EQ(row[3 * x], rgb & 0xFF) << "x=" << x;
      EXPECT_EQ(row[3 * x + 1], (rgb >> 8) & 0xFF) << "x=" << x;
      EXPECT_EQ(row[3 * x + 2], rgb >> 16) << "x=" << x;
    }
    DeleteObject(src);
    DeleteObject(dib);
  }
}

TEST_F(NoDisplay, IndexedBlitsCopyIndicesAndMapColours) {
  HBITMAP a = MakeBitmap(4, 1, PixelFormat::Indexed8()),
          b = MakeBitmap(4, 1, PixelFormat::Indexed8());
  auto* bb = platform::FindGdi<BitmapObject>(b);
  bb->table()[7] = {1, 2, 3, 0};
  std::uint8_t* row = platform::FindGdi<BitmapObject>(a)->bits();
  row[0] = 0, row[1] = 7, row[2] = 200, row[3] = 0x0F;
  bb->bits()[3] = 0xF0;
  {
    MemDc s(a), d(b);
    EXPECT_TRUE(BitBlt(d.dc, 0, 0, 3, 1, s.dc, 0, 0, SRCCOPY));
    EXPECT_TRUE(BitBlt(d.dc, 3, 0, 1, 1, s.dc, 3, 0, SRCINVERT));
  }
  // Indices pass unchanged between 8-bit bitmaps, and raster operations work on indices.
  EXPECT_EQ(bb->bits()[1], 7);
  EXPECT_EQ(bb->bits()[2], 200);
  EXPECT_EQ(bb->bits()[3], 0xFF);
  EXPECT_EQ(Pixel(b, 1, 0), 0x030201u);
  // A colour near a table entry maps to it.
  HBITMAP rgb = MakeBitmap(1, 1, PixelFormat::Bgr24());
  PutPixel(rgb, 0, 0, 0xF01008);
  {
    MemDc s(rgb), d(b);
    EXPECT_TRUE(BitBlt(d.dc, 0, 0, 1, 1, s.dc, 0, 0, SRCCOPY));
  }
  EXPECT_EQ(bb->bits()[0], 2);  // red
  for (HBITMAP h : {a, b, rgb}) DeleteObject(h);
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

TEST_F(NoDisplay, OwningPictureFreesBitmapAndPalette) {
  LOGPALETTE256 record{0x300, 256, {}};
  for (int owned = 0; owned < 2; ++owned) {
    HBITMAP b = MakeBitmap(2, 2, PixelFormat::Bgr24());
    HPALETTE p = CreatePalette(reinterpret_cast<LOGPALETTE*>(&record));
    {
      auto picture = OleCreatePictureIndirect({20, PICTYPE_BITMAP, b, p}, owned != 0);
      ASSERT_TRUE(picture);
      EXPECT_EQ(picture->Handle(), b);
      EXPECT_EQ(picture->hPal(), p);
      platform::Ref<Picture> second = picture;  // two references
      picture = nullptr;
      BITMAP bm{};
      EXPECT_NE(GetObjectA(b, sizeof bm, &bm), 0);  // one reference left
    }
    BITMAP bm{};
    WORD n = 0;
    EXPECT_EQ(GetObjectA(b, sizeof bm, &bm) != 0, owned == 0);
    EXPECT_EQ(GetObjectA(p, sizeof n, &n) != 0, owned == 0);
    if (!owned) {
      DeleteObject(b);
      DeleteObject(p);
    }
  }
  HBITMAP b = MakeBitmap(1, 1, PixelFormat::Bgr24());
  EXPECT_FALSE(OleCreatePictureIndirect({20, 2 /* metafile */, b, 0}, true));
  EXPECT_FALSE(OleCreatePictureIndirect({20, PICTYPE_BITMAP, 0x4242, 0}, true));
  EXPECT_FALSE(OleCreatePictureIndirect({20, PICTYPE_BITMAP, b, b}, true));
  EXPECT_FALSE(OleCreatePictureIndirect({3, PICTYPE_BITMAP, b, 0}, true));
  DeleteObject(b);
}

}  // namespace
