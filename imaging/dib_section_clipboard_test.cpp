// The DIB section and the clipboard: a bitmap copy that another program pastes (from what the
// clipboard offers through the fake display), the message instead of a DIB copy, and a
// clipboard held by another opener.
#include "imaging/dib_section.h"

#include <gtest/gtest.h>
#include <png.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/base/row_bytes.h"
#include "platform/gdi/bitmap.h"
#include "platform/gdi/handles.h"
#include "platform/runtime/errors.h"
#include "platform/user/clipboard.h"
#include "platform/user/messagebox.h"
#include "tests/support/fake_display.h"
#include "tests/support/gdi_leak_check.h"
#include "tests/support/loop_testing.h"

#include "imaging/dib_section_test_support.h"

namespace pictoss {
namespace {

using namespace dibtest;

struct MessageBoxes {
  MessageBoxes() {
    platform::SetMessageBoxHook([this](std::u16string_view text, std::u16string_view caption) {
      shown.emplace_back(text, caption);
    });
  }
  ~MessageBoxes() { platform::SetMessageBoxHook(nullptr); }
  std::vector<std::pair<std::u16string, std::u16string>> shown;
};

// Empties the clipboard, which frees the bitmap it owns.
void EmptyTheClipboard() {
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_TRUE(EmptyClipboard());
  EXPECT_TRUE(CloseClipboard());
}

struct DecodedPng {
  bool ok = false;
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;  // top row first
};

DecodedPng DecodePng(const std::string& bytes) {
  DecodedPng out;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return out;
  image.format = PNG_FORMAT_RGB;
  out.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) return out;
  out.ok = true;
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  return out;
}

TEST_F(DibSectionTest, CopyToClipboardAsBitmapIsPastedByAnotherProgramAsPng) {
  testsupport::FakeDisplay screen(640, 480);
  const int width = 23, height = 7;
  auto dib = platform::MakeRef<cDIBSection>();
  {
    auto picture = PictureOf(PatternDib(width, height));
    dib->CreateFromPicture(picture.get());
  }
  MessageBoxes boxes;
  ASSERT_TRUE(dib->CopyToClipboard(false));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(platform::LiveGdiObjectCount(),
            leaks_.baseline() + 2 + 1);  // the object's two, the clipboard's

  ASSERT_EQ(screen.offers, 1);
  EXPECT_EQ(screen.offered.targets, (std::vector<std::string>{"image/png", "image/bmp"}));
  platform::ClipboardBytes bytes = screen.offered.render("image/png");
  ASSERT_TRUE(bytes);
  DecodedPng png = DecodePng(std::string(bytes->begin(), bytes->end()));
  ASSERT_TRUE(png.ok);
  ASSERT_EQ(png.width, width);
  ASSERT_EQ(png.height, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* p = &png.rgb[(static_cast<std::size_t>(y) * width + x) * 3];
      ASSERT_EQ((Rgb{p[0], p[1], p[2]}), DibPixel(*dib, x, y)) << x << "," << y;
    }
  EmptyTheClipboard();
}

TEST_F(DibSectionTest, CopyToClipboardAsDibShowsTheMessageAndLeavesTheClipboard) {
  testsupport::FakeDisplay screen(640, 480);
  auto dib = platform::MakeRef<cDIBSection>();
  ASSERT_TRUE(dib->Create(4, 4));
  MessageBoxes boxes;
  EXPECT_FALSE(dib->CopyToClipboard(true));
  EXPECT_FALSE(dib->CopyToClipboard());
  ASSERT_EQ(boxes.shown.size(), 2u);
  for (const auto& [text, caption] : boxes.shown) {
    EXPECT_EQ(text, u"I don't know how to put a DIB on the clipboard! Copy as bitmap instead!!!");
    EXPECT_EQ(caption, u"Pictoss");
  }
  EXPECT_EQ(platform::LiveGdiObjectCount(), leaks_.baseline() + 2);
  EXPECT_EQ(screen.offers, 0) << "what another program holds stays on the clipboard";
}

TEST_F(DibSectionTest, CopyToClipboardFailsWhileAnotherOpenerHoldsIt) {
  auto dib = platform::MakeRef<cDIBSection>();
  ASSERT_TRUE(dib->Create(4, 4));
  platform::testing::OtherOpener other;
  EXPECT_FALSE(dib->CopyToClipboard(false));
  // The bitmap that the clipboard did not take is not left behind.
  EXPECT_EQ(platform::LiveGdiObjectCount(), leaks_.baseline() + 2);
  EXPECT_TRUE(other.Release());
}

}  // namespace
}  // namespace pictoss
