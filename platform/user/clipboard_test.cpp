// The clipboard, the platform's way: one opener at a time, a bitmap that belongs to it once
// handed over, and what it offers other programs (PNG and BMP), seen through a fake display.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/base/row_bytes.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/handles.h"
#include "platform/user/clipboard.h"
#include "tests/support/fake_display.h"
#include "tests/support/gdi_leak_check.h"
#include "tests/support/loop_testing.h"

namespace {

// Without a fake display of their own the tests run without a display, whatever the
// environment has.
const int kNoDisplay = unsetenv("DISPLAY");

constexpr UINT kCfText = 1;

// A 24-bit DIB section whose bytes are a function of their offset; its bits are returned too.
HBITMAP MakeBitmap(int width, int height, std::uint8_t** bits = nullptr) {
  BITMAPINFO info{};
  info.bmiHeader = {40, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* memory = nullptr;
  HBITMAP bitmap = CreateDIBSection(0, &info, DIB_RGB_COLORS, &memory, 0, 0);
  if (bitmap == 0) return 0;
  std::size_t size = platform::DibRowBytes(width) * height;
  auto* bytes = static_cast<std::uint8_t*>(memory);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  if (bits) *bits = bytes;
  return bitmap;
}

bool Alive(HBITMAP bitmap) {
  return GetObjectA(bitmap, sizeof(BITMAP), nullptr) != 0;
}

void Empty() {
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_TRUE(EmptyClipboard());
  EXPECT_TRUE(CloseClipboard());
}

using ClipboardTest = testsupport::LeakCheckedTest;

TEST_F(ClipboardTest, CallsNeedTheClipboardOpen) {
  HBITMAP bitmap = MakeBitmap(2, 2);
  EXPECT_FALSE(EmptyClipboard());
  EXPECT_EQ(SetClipboardData(CF_BITMAP, bitmap), 0u);
  EXPECT_FALSE(CloseClipboard());
  EXPECT_TRUE(DeleteObject(bitmap));  // still the caller's
}

TEST_F(ClipboardTest, OneOpenerAtATime) {
  platform::testing::OtherOpener other;
  EXPECT_FALSE(OpenClipboard(0));
  EXPECT_FALSE(EmptyClipboard());
  EXPECT_FALSE(CloseClipboard());  // not ours to close
  EXPECT_TRUE(other.Release());
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_TRUE(OpenClipboard(0));      // the same opener again
  EXPECT_FALSE(OpenClipboard(1234));  // another window of this thread
  EXPECT_TRUE(CloseClipboard());
  EXPECT_FALSE(CloseClipboard());
}

TEST_F(ClipboardTest, HandedOverBitmapBelongsToTheClipboardUntilEmptied) {
  HBITMAP first = MakeBitmap(3, 2);
  HBITMAP second = MakeBitmap(1, 1);
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_TRUE(EmptyClipboard());
  EXPECT_EQ(SetClipboardData(CF_BITMAP, first), first);
  EXPECT_EQ(SetClipboardData(CF_BITMAP, first), first);  // the same one again keeps it
  EXPECT_TRUE(Alive(first));
  EXPECT_EQ(SetClipboardData(CF_BITMAP, second), second);  // replaces and frees the first
  EXPECT_FALSE(Alive(first));
  EXPECT_TRUE(CloseClipboard());
  EXPECT_TRUE(Alive(second));
  EXPECT_EQ(platform::LiveGdiObjectCount(), leaks_.baseline() + 1);
  // Opening alone changes nothing; emptying frees what was there.
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_TRUE(CloseClipboard());
  EXPECT_TRUE(Alive(second));
  Empty();
  EXPECT_FALSE(Alive(second));
}

TEST_F(ClipboardTest, RefusedHandOversLeaveTheBitmapWithTheCaller) {
  HBITMAP bitmap = MakeBitmap(2, 2);
  HBITMAP stale = MakeBitmap(1, 1);
  ASSERT_TRUE(DeleteObject(stale));
  HDC dc = CreateCompatibleDC(0);
  HBITMAP selected = MakeBitmap(2, 2);
  HGDIOBJ kept = SelectObject(dc, selected);
  LOGPALETTE palette{0x300, 1, {{1, 2, 3, 0}}};
  HPALETTE hpal = CreatePalette(&palette);
  ASSERT_TRUE(OpenClipboard(0));
  const struct {
    const char* name;
    UINT format;
    HANDLE32 data;
  } cases[] = {{"text format", kCfText, bitmap},     {"no handle", CF_BITMAP, 0},
               {"deleted bitmap", CF_BITMAP, stale}, {"selected into a DC", CF_BITMAP, selected},
               {"a palette", CF_BITMAP, hpal},       {"a DC", CF_BITMAP, dc}};
  for (const auto& c : cases) EXPECT_EQ(SetClipboardData(c.format, c.data), 0u) << c.name;
  EXPECT_TRUE(CloseClipboard());
  SelectObject(dc, kept);
  EXPECT_TRUE(DeleteObject(selected));
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_TRUE(DeleteObject(hpal));
}

// ---- What the clipboard offers other programs (through the display) ---------------------------

void Put(HBITMAP bitmap) {
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_TRUE(EmptyClipboard());
  EXPECT_EQ(SetClipboardData(CF_BITMAP, bitmap), bitmap);
  EXPECT_TRUE(CloseClipboard());
}

std::uint32_t Le32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

// What another program pasting the target gets; empty for a refusal.
std::string Paste(const testsupport::FakeDisplay& screen, const std::string& target) {
  platform::ClipboardBytes bytes = screen.offered.render ? screen.offered.render(target) : nullptr;
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

TEST_F(ClipboardTest, OffersPngAndBmp) {
  testsupport::FakeDisplay screen(320, 200);
  Put(MakeBitmap(5, 3));
  EXPECT_EQ(screen.offered.targets, (std::vector<std::string>{"image/png", "image/bmp"}));
  EXPECT_EQ(Paste(screen, "image/png").substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(Paste(screen, "image/bmp").substr(0, 2), "BM");
  Empty();
}

// A BMP file of the DIB section's rows as they are, bottom-up, with the filler after each row's
// last pixel zero.
TEST_F(ClipboardTest, BmpIsTheRowsWithAFileHeader) {
  testsupport::FakeDisplay screen(320, 200);
  const int width = 701, height = 500;
  std::uint8_t* bits = nullptr;
  HBITMAP bitmap = MakeBitmap(width, height, &bits);
  const std::size_t stride = platform::DibRowBytes(width);
  std::string expectedRows(reinterpret_cast<const char*>(bits), stride * height);
  for (int y = 0; y < height; ++y) expectedRows[y * stride + width * 3] = 0;
  Put(bitmap);
  const std::string bmp = Paste(screen, "image/bmp");
  ASSERT_EQ(bmp.size(), 54 + expectedRows.size());
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  EXPECT_EQ(Le32(bmp, 2), 54 + expectedRows.size());
  EXPECT_EQ(Le32(bmp, 10), 54u);
  EXPECT_EQ(Le32(bmp, 14), 40u);
  EXPECT_EQ(Le32(bmp, 18), static_cast<std::uint32_t>(width));
  EXPECT_EQ(Le32(bmp, 22), static_cast<std::uint32_t>(height));  // bottom-up
  EXPECT_EQ(Le32(bmp, 26), 1u | (24u << 16));
  EXPECT_EQ(Le32(bmp, 34), expectedRows.size());
  EXPECT_TRUE(bmp.compare(54, std::string::npos, expectedRows) == 0);
  Empty();
}

TEST_F(ClipboardTest, AnotherProgramTakingTheClipboardFreesTheBitmap) {
  testsupport::FakeDisplay screen(320, 200);
  HBITMAP bitmap = MakeBitmap(4, 4);
  Put(bitmap);
  ASSERT_TRUE(screen.offered.lost);
  screen.offered.lost();
  EXPECT_FALSE(Alive(bitmap));
  EXPECT_EQ(Paste(screen, "image/png"), "") << "nothing left to give";
}

TEST_F(ClipboardTest, EmptiedClipboardOffersNothing) {
  testsupport::FakeDisplay screen(320, 200);
  Put(MakeBitmap(4, 4));
  const int offers = screen.offers;
  Empty();
  EXPECT_EQ(screen.offers, offers + 1);
  EXPECT_TRUE(screen.offered.targets.empty());
  EXPECT_EQ(Paste(screen, "image/png"), "");
}

}  // namespace
