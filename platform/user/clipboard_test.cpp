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
#include "tests/support/clipboard_testing.h"
#include "tests/support/gdi_leak_check.h"
#include "tests/support/xvfb.h"

namespace {

// The tests without a server of their own run without a display, whatever the environment has.
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

class ClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override { leaks_.Reset(); }
  void TearDown() override { leaks_.Check(); }
  testsupport::GdiLeakCheck leaks_;
};

TEST_F(ClipboardTest, CallsNeedTheClipboardOpen) {
  HBITMAP bitmap = MakeBitmap(2, 2);
  EXPECT_FALSE(EmptyClipboard());
  EXPECT_EQ(SetClipboardData(CF_BITMAP, bitmap), 0u);
  EXPECT_FALSE(CloseClipboard());
  EXPECT_TRUE(DeleteObject(bitmap));  // still the caller's
}

TEST_F(ClipboardTest, OneOpenerAtATime) {
  std::atomic<int> step{0};
  std::thread other([&] {
    EXPECT_TRUE(OpenClipboard(0));
    step = 1;
    while (step != 2) std::this_thread::yield();
    EXPECT_TRUE(CloseClipboard());
    step = 3;
  });
  while (step != 1) std::this_thread::yield();
  EXPECT_FALSE(OpenClipboard(0));
  EXPECT_FALSE(EmptyClipboard());
  EXPECT_FALSE(CloseClipboard());  // not ours to close
  step = 2;
  while (step != 3) std::this_thread::yield();
  other.join();
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

// ---- Other programs reading the clipboard ---------------------------------------------------

platform::testing::CommandResult Paste(const std::string& target) {
  return platform::testing::RunWhilePumping("xclip -selection clipboard -t " + target + " -o");
}

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

TEST_F(ClipboardTest, OffersPngAndBmp) {
  testsupport::XvfbServer server(320, 200, 24);
  Put(MakeBitmap(5, 3));
  auto targets = Paste("TARGETS");
  ASSERT_TRUE(targets.finished);
  std::istringstream lines(targets.output);
  std::vector<std::string> names;
  for (std::string line; std::getline(lines, line);) names.push_back(line);
  for (const char* expected : {"TARGETS", "TIMESTAMP", "image/png", "image/bmp"})
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
  auto png = Paste("image/png");
  ASSERT_TRUE(png.finished);
  EXPECT_EQ(png.status, 0);
  EXPECT_EQ(png.output.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  auto text = Paste("UTF8_STRING");
  ASSERT_TRUE(text.finished);
  EXPECT_NE(text.status, 0);  // refused
  Empty();
}

// 700 x 500 at 3 bytes a pixel is far more than one request: the answer goes in INCR chunks.
TEST_F(ClipboardTest, LargeBmpArrivesWholeThroughIncr) {
  testsupport::XvfbServer server(320, 200, 24);
  const int width = 701, height = 500;
  std::uint8_t* bits = nullptr;
  HBITMAP bitmap = MakeBitmap(width, height, &bits);
  const std::size_t stride = platform::DibRowBytes(width);
  // The rows as they are, with the filler after each row's last pixel zero.
  std::string expectedRows(reinterpret_cast<const char*>(bits), stride * height);
  for (int y = 0; y < height; ++y) expectedRows[y * stride + width * 3] = 0;
  Put(bitmap);
  auto bmp = Paste("image/bmp");
  ASSERT_TRUE(bmp.finished);
  ASSERT_EQ(bmp.status, 0);
  ASSERT_EQ(bmp.output.size(), 54 + expectedRows.size());
  EXPECT_EQ(bmp.output.substr(0, 2), "BM");
  EXPECT_EQ(Le32(bmp.output, 2), 54 + expectedRows.size());
  EXPECT_EQ(Le32(bmp.output, 10), 54u);
  EXPECT_EQ(Le32(bmp.output, 14), 40u);
  EXPECT_EQ(Le32(bmp.output, 18), static_cast<std::uint32_t>(width));
  EXPECT_EQ(Le32(bmp.output, 22), static_cast<std::uint32_t>(height));  // bottom-up
  EXPECT_EQ(Le32(bmp.output, 26), 1u | (24u << 16));
  EXPECT_EQ(Le32(bmp.output, 34), expectedRows.size());
  EXPECT_TRUE(bmp.output.compare(54, std::string::npos, expectedRows) == 0);
  Empty();
}

TEST_F(ClipboardTest, AnotherProgramTakingTheSelectionFreesTheBitmap) {
  testsupport::XvfbServer server(320, 200, 24);
  HBITMAP bitmap = MakeBitmap(4, 4);
  Put(bitmap);
  ASSERT_EQ(std::system("printf theirs | xclip -selection clipboard -i"), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Alive(bitmap) && std::chrono::steady_clock::now() < deadline)
    platform::testing::PumpFor(std::chrono::milliseconds(20));
  EXPECT_FALSE(Alive(bitmap));
  auto text = Paste("UTF8_STRING");
  EXPECT_EQ(text.output, "theirs");
}

TEST_F(ClipboardTest, EmptiedClipboardOffersNothing) {
  testsupport::XvfbServer server(320, 200, 24);
  Put(MakeBitmap(4, 4));
  Empty();
  auto png = Paste("image/png");
  ASSERT_TRUE(png.finished);
  EXPECT_NE(png.status, 0);
}

// The server going away while we own the selection ends nothing but the offer; the next server
// gets the next offer.
TEST_F(ClipboardTest, SurvivesTheServerGoingAway) {
  {
    testsupport::XvfbServer first(320, 200, 24);
    Put(MakeBitmap(4, 4));
  }
  platform::testing::PumpFor(std::chrono::milliseconds(100));
  testsupport::XvfbServer second(320, 200, 24);
  Put(MakeBitmap(6, 2));
  auto bmp = Paste("image/bmp");
  ASSERT_TRUE(bmp.finished);
  EXPECT_EQ(bmp.status, 0);
  EXPECT_EQ(Le32(bmp.output, 18), 6u);
  Empty();
}

// The old server's last events may still wait unread on the old connection when the server
// goes; the next server (on the same display number) must still get a connection of its own.
TEST_F(ClipboardTest, ServerGoneWithUnreadEventsIsNoticed) {
  {
    testsupport::XvfbServer first(320, 200, 24);
    Put(MakeBitmap(4, 4));
    // Another program takes the selection; the notice of it is left unread.
    ASSERT_EQ(std::system("echo x | xclip -selection clipboard -i"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  testsupport::XvfbServer second(320, 200, 24);
  Put(MakeBitmap(6, 2));
  auto bmp = platform::testing::RunWhilePumping("xclip -selection clipboard -t image/bmp -o",
                                                std::chrono::seconds(10));
  ASSERT_TRUE(bmp.finished);
  EXPECT_EQ(bmp.status, 0);
  EXPECT_EQ(Le32(bmp.output, 18), 6u);
  Empty();
}

}  // namespace
