// The blitter without a display: conversion between every pair of formats, raster operations,
// clipping, DIB sections and indexed bitmaps.
#include <gtest/gtest.h>

#include <climits>
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

// A large frame filled once (the one-pass capture's) is written around the cache, on 16-byte
// boundaries: rows at every alignment, short and long, keep every pixel and leave the bytes
// around the copy alone; so does a frame too small for that.
TEST_F(NoDisplay, Copy32To24IntoAFrameFilledOnceKeepsEveryPixel) {
  for (const int height : {720, 40}) {  // 8.2 MiB and 0.5 MiB of 24-bit pixels
    SCOPED_TRACE(height);
    constexpr int kW = 4000;
    const std::size_t stride = std::size_t{kW} * 3;
    std::vector<std::uint8_t> frame(stride * height);
    std::vector<std::uint32_t> line(kW);
    for (int x = 0; x < kW; ++x) line[x] = 0x9E3779B9u * static_cast<std::uint32_t>(x + 1);
    platform::Surface dest{frame.data() + stride * (height - 1),
                           -static_cast<std::ptrdiff_t>(stride),
                           kW,
                           height,
                           PixelFormat::Bgr24(),
                           nullptr};
    dest.fill_once = true;
    const platform::Surface src{reinterpret_cast<std::uint8_t*>(line.data()),
                                4 * kW,
                                kW,
                                1,
                                PixelFormat::Xrgb32(),
                                nullptr};
    struct Case {
      int x, w, row;  // row counted from the top
    };
    for (const Case& c : {Case{0, kW, 0}, Case{1, 15, 3}, Case{2, 16, 4}, Case{5, 17, 5},
                          Case{7, 100, 30}, Case{13, kW - 13, height - 1}, Case{1, kW - 2, 20}}) {
      SCOPED_TRACE(std::to_string(c.x) + " " + std::to_string(c.w) + " " + std::to_string(c.row));
      std::uint8_t* row = dest.Row(c.row);
      std::memset(row, 0xAB, stride);
      ASSERT_TRUE(platform::BlitSurfaces(dest, c.x, c.row, c.w, 1, &src, c.x, 0, SRCCOPY));
      int wrong = 0;
      for (int x = 0; x < kW; ++x) {
        const std::uint32_t want = x >= c.x && x < c.x + c.w ? line[x] & 0xFFFFFF : 0xABABAB;
        const std::uint32_t got =
            row[3 * x] | (row[3 * x + 1] << 8) | (std::uint32_t{row[3 * x + 2]} << 16);
        if (got != want && wrong++ < 3) ADD_FAILURE() << "x=" << x << std::hex << " " << got;
      }
      EXPECT_EQ(wrong, 0);
    }
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

}  // namespace

namespace {

using namespace gditest;

// A bitmap copied onto itself, the two rectangles overlapping: the result is the picture moved,
// each row and pixel read before it is overwritten.
TEST_F(NoDisplay, OverlappingCopyWithinOneBitmapMovesThePicture) {
  const std::uint32_t colours[] = {kRed, kGreen, kBlue, kYellow, kWhite};
  struct Case {
    int dx, dy;
  } cases[] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}, {1, 1}, {-1, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dx << "," << c.dy);
    HBITMAP b = MakeBitmap(5, 5, PixelFormat::Bgr24());
    auto colour = [&](int x, int y) { return colours[(x + 2 * y) % 5]; };
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 5; ++x) PutPixel(b, x, y, colour(x, y));
    {
      MemDc d(b);
      EXPECT_TRUE(BitBlt(d.dc, 1 + c.dx, 1 + c.dy, 3, 3, d.dc, 1, 1, SRCCOPY));
    }
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 3; ++x)
        EXPECT_EQ(Pixel(b, 1 + c.dx + x, 1 + c.dy + y), colour(1 + x, 1 + y)) << x << "," << y;
    DeleteObject(b);
  }
}

}  // namespace
