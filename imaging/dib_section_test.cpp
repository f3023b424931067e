#include "imaging/dib_section.h"

#include <gtest/gtest.h>
#include <png.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "imaging/dib_section_test_support.h"
#include "platform/base/row_bytes.h"
#include "platform/gdi/bitmap.h"
#include "platform/gdi/handles.h"
#include "platform/runtime/errors.h"
#include "platform/user/clipboard.h"
#include "platform/user/messagebox.h"
#include "tests/support/fake_display.h"
#include "tests/support/gdi_leak_check.h"
#include "tests/support/loop_testing.h"
#include "tests/support/runtime_error.h"

namespace pictoss {
namespace {

using namespace dibtest;

TEST_F(DibSectionTest, NewObjectIsEmptyWithAZeroHeader) {
  auto dib = platform::MakeRef<cDIBSection>();
  auto dib2 = platform::MakeRef<cDIBSection2>();
  for (const DIBSectionBase* d :
       {static_cast<DIBSectionBase*>(dib.get()), static_cast<DIBSectionBase*>(dib2.get())}) {
    EXPECT_EQ(d->Width(), 0);
    EXPECT_EQ(d->Height(), 0);
    EXPECT_EQ(d->BytesPerScanLine(), 0);
    EXPECT_EQ(d->hdc(), 0u);
    EXPECT_EQ(d->hDib(), 0u);
    EXPECT_EQ(d->DIBSectionBitsPtr(), 0);
    BITMAPINFO zero{};
    EXPECT_EQ(std::memcmp(&d->bitmapInfo(), &zero, sizeof zero), 0);
  }
}

TEST(DibStrideTest, ThreeBytesAPixelRoundedUpToFour) {
  const struct {
    LONG width, stride;
  } cases[] = {{0, 0},    {1, 4},      {2, 8},
               {3, 12},   {4, 12},     {5, 16},
               {47, 144}, {640, 1920}, {715827881, 2147483644}};  // the widest that fits
  for (const auto& c : cases) EXPECT_EQ(DibStride(c.width, u"Vorlick.cDIBSection"), c.stride);
}

TEST(DibStrideTest, OverflowRaisesSixWithTheCallersSource) {
  // 3 x 715827882 still fits; adding 3 does not. 3 x INT_MAX does not fit at all.
  for (LONG width : {715827882, INT_MAX}) {
    SCOPED_TRACE(width);
    if (auto e = testsupport::RaisedError([&] { DibStride(width, u"Vorlick.cDIBSection2"); })) {
      EXPECT_EQ(e->number(), 6);
      EXPECT_EQ(e->source(), u"Vorlick.cDIBSection2");
      EXPECT_EQ(e->description(), u"Overflow");
    }
  }
}

TEST_F(DibSectionTest, CreateFillsTheHeaderAndSelectsTheDib) {
  const struct {
    LONG width, height, stride;
  } cases[] = {{5, 2, 16}, {1, 1, 4}, {640, 3, 1920}, {47, 9, 144}};
  auto dib = platform::MakeRef<cDIBSection>();
  for (const auto& c : cases) {
    ASSERT_TRUE(dib->Create(c.width, c.height));
    const BITMAPINFOHEADER& h = dib->bitmapInfo().bmiHeader;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, c.width);
    EXPECT_EQ(h.biHeight, c.height);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, BI_RGB);
    EXPECT_EQ(h.biSizeImage, static_cast<DWORD>(c.stride * c.height));
    EXPECT_EQ(h.biXPelsPerMeter | h.biYPelsPerMeter, 0);
    EXPECT_EQ(h.biClrUsed | h.biClrImportant, 0u);
    EXPECT_EQ(dib->BytesPerScanLine(), c.stride);
    EXPECT_NE(dib->hdc(), 0u);
    BITMAP record{};
    ASSERT_NE(GetObjectA(dib->hDib(), sizeof record, &record), 0);
    EXPECT_EQ(record.bmWidth, c.width);
    EXPECT_EQ(record.bmHeight, c.height);
    EXPECT_EQ(record.bmBitsPixel, 24);
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(record.bmBits), dib->DIBSectionBitsPtr());
    // Selected into the object's DC: the platform refuses to delete it.
    EXPECT_FALSE(DeleteObject(dib->hDib()));
  }
  EXPECT_EQ(dib->bitmapInfo().bmiHeader.biSizeImage, 144u * 9);
}

TEST_F(DibSectionTest, RefusedSizeLeavesNoHandlesButReportsTheSize) {
  const struct { LONG width, height; } cases[] = {{0, 5}, {5, 0}, {0, 0}, {-3, 4}, {4, -2}};
  auto dib = platform::MakeRef<cDIBSection>();
  for (const auto& c : cases) {
    ASSERT_TRUE(dib->Create(3, 3));
    EXPECT_FALSE(dib->Create(c.width, c.height));
    EXPECT_EQ(dib->hdc(), 0u);
    EXPECT_EQ(dib->hDib(), 0u);
    EXPECT_EQ(dib->DIBSectionBitsPtr(), 0);
    EXPECT_EQ(dib->Width(), c.width);
    EXPECT_EQ(dib->Height(), c.height);
    leaks_.Check();
  }
}

TEST_F(DibSectionTest, ClearUpEmptiesButKeepsTheSize) {
  auto dib = platform::MakeRef<cDIBSection2>();
  ASSERT_TRUE(dib->Create(7, 3));
  HDC dc = dib->hdc();
  HBITMAP bitmap = dib->hDib();
  dib->ClearUp();
  EXPECT_EQ(dib->hdc(), 0u);
  EXPECT_EQ(dib->hDib(), 0u);
  EXPECT_EQ(dib->DIBSectionBitsPtr(), 0);
  EXPECT_EQ(dib->Width(), 7);
  EXPECT_EQ(dib->Height(), 3);
  EXPECT_EQ(dib->BytesPerScanLine(), 24);
  EXPECT_EQ(GetObjectA(bitmap, sizeof(BITMAP), nullptr), 0);  // freed
  EXPECT_FALSE(DeleteDC(dc));
  dib->ClearUp();  // twice is harmless
  EXPECT_EQ(dib->Width(), 7);
}

TEST_F(DibSectionTest, CreateTwiceFreesTheFirstDcAndDib) {
  auto dib = platform::MakeRef<cDIBSection>();
  ASSERT_TRUE(dib->Create(4, 4));
  EXPECT_EQ(platform::LiveGdiObjectCount(), leaks_.baseline() + 2);
  HDC firstDC = dib->hdc();
  HBITMAP firstDib = dib->hDib();
  ASSERT_TRUE(dib->Create(8, 2));
  EXPECT_EQ(platform::LiveGdiObjectCount(), leaks_.baseline() + 2);
  EXPECT_NE(dib->hdc(), firstDC);
  EXPECT_EQ(GetObjectA(firstDib, sizeof(BITMAP), nullptr), 0);
  EXPECT_FALSE(DeleteDC(firstDC));
  EXPECT_EQ(dib->Width(), 8);
}

TEST_F(DibSectionTest, DestructionFreesDcAndDib) {
  {
    auto dib = platform::MakeRef<cDIBSection>();
    ASSERT_TRUE(dib->Create(4, 4));
  }
  leaks_.Check();
}

TEST_F(DibSectionTest, OverflowInCreateRaisesSixAndKeepsTheDcForClearUp) {
  const struct {
    LONG width, height;
  } cases[] = {
      {715827882, 1},    // the stride
      {100000, 100000},  // biSizeImage: 300000 x 100000
  };
  for (const auto& c : cases) {
    auto dib = platform::MakeRef<cDIBSection>();
    EXPECT_RUNTIME_ERROR(dib->Create(c.width, c.height), 6, u"Vorlick.cDIBSection");
    EXPECT_NE(dib->hdc(), 0u);
    EXPECT_EQ(dib->hDib(), 0u);
    EXPECT_EQ(dib->DIBSectionBitsPtr(), 0);
    EXPECT_EQ(platform::LiveGdiObjectCount(), leaks_.baseline() + 1);
    dib->ClearUp();
    EXPECT_EQ(dib->hdc(), 0u);
    leaks_.Check();
  }
  auto dib2 = platform::MakeRef<cDIBSection2>();
  if (auto e = testsupport::RaisedError([&] { dib2->Create(715827882, 1); })) {
    EXPECT_EQ(e->source(), u"Vorlick.cDIBSection2");
  }
  // Destruction deletes the DC that the overflow left.
}

TEST_F(DibSectionTest, CreateFromPictureOfADibSection) {
  for (auto [width, height] : {std::pair{5, 3}, {1, 1}, {47, 9}, {2, 13}}) {
    HBITMAP bitmap = PatternDib(width, height);
    ASSERT_NE(bitmap, 0u);
    auto picture = PictureOf(bitmap);
    auto dib = platform::MakeRef<cDIBSection>();
    dib->CreateFromPicture(picture.get());
    ExpectPattern(*dib, width, height);
    // The picture keeps its bitmap, free to be selected elsewhere.
    BITMAP record{};
    EXPECT_NE(GetObjectA(bitmap, sizeof record, &record), 0);
    HDC dc = CreateCompatibleDC(0);
    EXPECT_NE(SelectObject(dc, bitmap), 0u);
    DeleteDC(dc);
  }
}

// A bitmap in the screen's format, and the object behind its handle.
platform::BitmapObject* ScreenBitmap(int width, int height, HBITMAP* bitmap) {
  HDC screen = GetDC(0);
  *bitmap = CreateCompatibleBitmap(screen, width, height);
  ReleaseDC(0, screen);
  return platform::FindGdi<platform::BitmapObject>(*bitmap);
}

// A bitmap in the screen's format (32 bits on this platform without a display), written through
// its own memory: blue, green, red and a filler byte that must not matter.
TEST_F(DibSectionTest, CreateFromPictureOf32BitPixels) {
  const int width = 9, height = 4;
  HBITMAP bitmap = 0;
  auto* object = ScreenBitmap(width, height, &bitmap);
  ASSERT_NE(object, nullptr);
  ASSERT_EQ(object->format(), platform::PixelFormat::Xrgb32());
  for (int y = 0; y < height; ++y) {  // device-dependent rows are top-down
    std::uint8_t* row = object->bits() + static_cast<std::size_t>(y) * object->stride();
    for (int x = 0; x < width; ++x) {
      Rgb c = Pattern(x, y);
      std::uint8_t px[4] = {c.b, c.g, c.r, 0xA5};
      std::memcpy(row + 4 * x, px, 4);
    }
  }
  auto picture = PictureOf(bitmap);
  auto dib = platform::MakeRef<cDIBSection>();
  dib->CreateFromPicture(picture.get());
  ExpectPattern(*dib, width, height);
}

TEST_F(DibSectionTest, CreateFromPictureOfAMonochromeBitmap) {
  const int width = 11, height = 3;
  HDC memory = CreateCompatibleDC(0);
  HBITMAP bitmap = CreateCompatibleBitmap(memory, width, height);  // the DC's 1-bit format
  DeleteDC(memory);
  auto* object = platform::FindGdi<platform::BitmapObject>(bitmap);
  ASSERT_NE(object, nullptr);
  ASSERT_EQ(object->format().bits, 1);
  auto white = [](int x, int y) { return (x + 3 * y) % 4 == 0 || x == 10; };
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = object->bits() + static_cast<std::size_t>(y) * object->stride();
    std::memset(row, 0, static_cast<std::size_t>(object->stride()));
    for (int x = 0; x < width; ++x)
      if (white(x, y)) row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
  }
  auto picture = PictureOf(bitmap);
  auto dib = platform::MakeRef<cDIBSection2>();
  dib->CreateFromPicture(picture.get());
  ASSERT_EQ(dib->Width(), width);
  ASSERT_EQ(dib->Height(), height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t v = white(x, y) ? 255 : 0;
      EXPECT_EQ(DibPixel(*dib, x, y), (Rgb{v, v, v})) << x << "," << y;
    }
}

TEST_F(DibSectionTest, CreateFromPictureOfAnEightBitBitmapWithItsPalette) {
  testsupport::FakeDisplay palette_screen(320, 200, 8);
  const int width = 6, height = 5;
  HBITMAP bitmap = 0;
  auto* object = ScreenBitmap(width, height, &bitmap);
  ASSERT_NE(object, nullptr);
  ASSERT_EQ(object->format().bits, 8);
  // A colour table of our own: entry i is the pattern colour of the pixel that uses it.
  LOGPALETTE256 log{0x300, 256, {}};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      int index = 255 - (y * width + x);
      Rgb c = Pattern(x, y);
      object->table()[index] = {c.b, c.g, c.r, 0};
      log.palPalEntry[index] = {c.r, c.g, c.b, 0};
      object->bits()[static_cast<std::size_t>(y) * object->stride() + x] =
          static_cast<std::uint8_t>(index);
    }
  HPALETTE palette = CreatePalette(reinterpret_cast<const LOGPALETTE*>(&log));
  ASSERT_NE(palette, 0u);
  auto picture = PictureOf(bitmap, palette);
  auto dib = platform::MakeRef<cDIBSection>();
  dib->CreateFromPicture(picture.get());
  ExpectPattern(*dib, width, height);
}

TEST_F(DibSectionTest, PictureWithoutABitmapLeavesTheObjectEmpty) {
  LOGPALETTE256 log{0x300, 1, {}};
  HPALETTE palette = CreatePalette(reinterpret_cast<const LOGPALETTE*>(&log));
  ASSERT_NE(palette, 0u);
  auto noBitmap = platform::MakeRef<Picture>(0, 0, false);
  auto paletteOnly = platform::MakeRef<Picture>(palette, 0, false);
  for (const Picture* picture : {noBitmap.get(), paletteOnly.get()}) {
    auto dib = platform::MakeRef<cDIBSection>();
    ASSERT_TRUE(dib->Create(3, 3));
    dib->CreateFromPicture(picture);
    EXPECT_EQ(dib->hdc(), 0u);
    EXPECT_EQ(dib->hDib(), 0u);
    EXPECT_EQ(dib->DIBSectionBitsPtr(), 0);
    EXPECT_EQ(dib->Width(), 0);
    EXPECT_EQ(dib->Height(), 0);
  }
  EXPECT_TRUE(DeleteObject(palette));
}

TEST_F(DibSectionTest, NoPictureAtAllRaisesObjectNotSet) {
  auto dib = platform::MakeRef<cDIBSection>();
  EXPECT_RUNTIME_ERROR(dib->CreateFromPicture(nullptr), 91, u"Vorlick.cDIBSection");
}

// A memory DC holding a pattern DIB of the given size; frees both when done.
struct PatternDC {
  PatternDC(int width, int height) : dc(CreateCompatibleDC(0)), bitmap(PatternDib(width, height)) {
    kept = SelectObject(dc, bitmap);
  }
  ~PatternDC() {
    SelectObject(dc, kept);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  HDC dc;
  HBITMAP bitmap;
  HGDIOBJ kept;
};

TEST_F(DibSectionTest, LoadPictureBltSizesAndOffsets) {
  const Rgb black{0, 0, 0};
  const struct {
    const char* name;
    LONG left, top, width, height;
    int copiedWidth, copiedHeight;  // of the object's 4 x 3
  } cases[] = {
      {"defaults copy the whole DIB", 0, 0, -1, -1, 4, 3},
      {"zero width copies nothing", 0, 0, 0, -1, 0, 0},
      {"zero height copies nothing", 0, 0, -1, 0, 0, 0},
      {"offsets shift the source", 2, 1, -1, -1, 4, 3},
      {"part of the DIB", 1, 2, 2, 1, 2, 1},
  };
  PatternDC source(10, 8);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto dib = platform::MakeRef<cDIBSection>();
    ASSERT_TRUE(dib->Create(4, 3));
    dib->LoadPictureBlt(source.dc, c.left, c.top, c.width, c.height);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x) {
        bool copied = x < c.copiedWidth && y < c.copiedHeight;
        EXPECT_EQ(DibPixel(*dib, x, y), copied ? Pattern(x + c.left, y + c.top) : black)
            << x << "," << y;
      }
  }
  auto dib = platform::MakeRef<cDIBSection>();
  ASSERT_TRUE(dib->Create(2, 2));
  dib->LoadPictureBlt(source.dc, 0, 0, -1, -1, NOTSRCCOPY);
  Rgb p = Pattern(1, 1);
  EXPECT_EQ(DibPixel(*dib, 1, 1),
            (Rgb{std::uint8_t(~p.r), std::uint8_t(~p.g), std::uint8_t(~p.b)}));
}

TEST_F(DibSectionTest, PaintPictureSizesAndOffsets) {
  const Rgb black{0, 0, 0};
  const struct {
    const char* name;
    LONG destLeft, destTop, destWidth, destHeight, srcLeft, srcTop;
    int left, top, width, height;  // the painted rectangle of the 8 x 6 destination
  } cases[] = {
      {"defaults paint the whole DIB at the corner", 0, 0, -1, -1, 0, 0, 0, 0, 5, 4},
      {"zero sizes paint nothing", 1, 1, 0, 0, 0, 0, 0, 0, 0, 0},
      {"destination offset", 3, 2, -1, -1, 0, 0, 3, 2, 5, 4},
      {"source offset and size", 1, 1, 2, 3, 2, 1, 1, 1, 2, 3},
  };
  PatternDC source(5, 4);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto dib = platform::MakeRef<cDIBSection>();
    ASSERT_TRUE(dib->Create(5, 4));
    dib->LoadPictureBlt(source.dc);
    auto dest = platform::MakeRef<cDIBSection>();
    ASSERT_TRUE(dest->Create(8, 6));
    dib->PaintPicture(dest->hdc(), c.destLeft, c.destTop, c.destWidth, c.destHeight, c.srcLeft,
                      c.srcTop);
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 8; ++x) {
        bool painted = x >= c.left && x < c.left + c.width && y >= c.top && y < c.top + c.height;
        Rgb expected = painted ? Pattern(x - c.left + c.srcLeft, y - c.top + c.srcTop) : black;
        EXPECT_EQ(DibPixel(*dest, x, y), expected) << x << "," << y;
      }
  }
}

// ---- The clipboard, with another program reading it --------------------------------------

}  // namespace
}  // namespace pictoss
