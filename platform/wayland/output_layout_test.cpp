#include "platform/wayland/output_layout.h"

#include <gtest/gtest.h>

namespace {

using platform::wayland::FitPicture;
using platform::wayland::Layout;
using platform::wayland::MakeLayout;
using platform::wayland::Output;
using platform::wayland::PrimaryOutput;
using platform::wayland::Rect;

TEST(Layout, OutputsInPicturePixels) {
  struct Case {
    const char* what;
    std::vector<Output> outputs;
    int picture_width, picture_height;  // 0: before the picture
    std::string focused;
    Rect screen;
  } cases[] = {
      {"one output", {{"A", {0, 0, 800, 600}, 1}}, 0, 0, "", {0, 0, 800, 600}},
      {"scale 2: logical 400 x 300", {{"A", {0, 0, 400, 300}, 2}}, 0, 0, "", {0, 0, 800, 600}},
      {"the picture confirms scale 2",
       {{"A", {0, 0, 400, 300}, 2}},
       800,
       600,
       "A",
       {0, 0, 800, 600}},
      {"the picture says 2 where the scale said 1",
       {{"A", {0, 0, 400, 300}, 1}},
       800,
       600,
       "",
       {0, 0, 800, 600}},
      {"focused second output, left of the first",
       {{"A", {0, 0, 1920, 1080}, 1}, {"B", {-1280, 0, 1280, 1024}, 1}},
       3200,
       1080,
       "B",
       {0, 0, 1280, 1024}},
      {"unfocused outputs: the first",
       {{"A", {0, 0, 1920, 1080}, 1}, {"B", {1920, 0, 1280, 1024}, 1}},
       0,
       0,
       "gone",
       {0, 0, 1920, 1080}},
      {"mixed scales: drawn at the largest",
       {{"A", {0, 0, 1920, 1080}, 1}, {"B", {1920, 0, 640, 512}, 2}},
       0,
       0,
       "B",
       {3840, 0, 1280, 1024}},
      {"no outputs known: the whole picture", {}, 1366, 768, "", {0, 0, 1366, 768}},
  };
  for (const Case& c : cases) {
    Layout layout = MakeLayout(c.outputs);
    if (c.picture_width) FitPicture(&layout, c.picture_width, c.picture_height);
    int screen = PrimaryOutput(layout, c.focused);
    ASSERT_GE(screen, 0) << c.what;
    EXPECT_EQ(layout.ToDevice(layout.outputs[static_cast<std::size_t>(screen)].logical), c.screen)
        << c.what;
  }
  EXPECT_EQ(PrimaryOutput(MakeLayout({}), "A"), -1);
}

TEST(Layout, WindowsOnAScaledOutputKeepWholePixels) {
  Layout layout = MakeLayout({{"A", {100, 50, 683, 384}, 2}});
  FitPicture(&layout, 1366, 768);
  // Logical (100, 50) is the picture's corner; edges land on whole device pixels.
  EXPECT_EQ(layout.ToDevice({100, 50, 683, 384}), (Rect{0, 0, 1366, 768}));
  EXPECT_EQ(layout.ToDevice({441, 50, 342, 384}), (Rect{682, 0, 684, 768}));
}

}  // namespace
