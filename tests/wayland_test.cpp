// Captures through the host in private headless sway sessions (tests/support/sway_session.sh),
// read through the desktop portal: the output of 800 x 600 device pixels shows #3060a0 around a
// gap of 20 logical pixels, and two windows side by side, red on the left and green on the
// right, which has the focus and so sway's focused title bar colour (#285577).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/host_harness.h"
#include "tests/picture_checks.h"

namespace {

namespace fs = std::filesystem;

struct Capture {
  int status = -1;
  std::string err;
  std::optional<harness::Rgb> picture;
  int files = 0;  // JPEG files written
};

// Runs `pictoss send LINE` for each line in a fresh session with these options.
std::vector<Capture> InSession(const std::vector<std::string>& options,
                               const std::vector<std::string>& lines) {
  static int sessions = 0;
  fs::path work = fs::path(PICTOSS_TESTS_BINARY_DIR) /
                  ("wayland-" + std::to_string(getpid()) + "-" + std::to_string(++sessions));
  fs::remove_all(work);
  fs::create_directories(work);
  std::ofstream(work / "captures.sh")
      << "export PICTOSS_PREFIX=\"$1/store\"; host=\"$2\"; shift 2\n"
         "\"$host\" setup >/dev/null || exit 9\n"
         "i=0\n"
         "for line in \"$@\"; do\n"
         "  out=$PICTOSS_PREFIX/../out$i; mkdir -p \"$out\"\n"
         "  TMPDIR=$out \"$host\" send \"$line\" >\"$out/stdout\" 2>\"$out/stderr\"\n"
         "  echo $? >\"$out/status\"; i=$((i + 1))\n"
         "done\n";
  std::vector<std::string> argv = {PICTOSS_SWAY_SESSION};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), {work.string(), "--", "bash", (work / "captures.sh").string(),
                           work.string(), PICTOSS_HOST_PATH});
  argv.insert(argv.end(), lines.begin(), lines.end());
  harness::Run run = harness::RunProgram(argv, {}, std::chrono::seconds(120));
  EXPECT_EQ(run.status, 0) << run.err << harness::ReadFile(work / "session.log").value_or("");
  std::vector<Capture> captures(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    fs::path out = work / ("out" + std::to_string(i));
    captures[i].status = std::atoi(harness::ReadFile(out / "status").value_or("-1").c_str());
    captures[i].err = harness::ReadFile(out / "stderr").value_or("");
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(out, ec)) {
      if (e.path().extension() != ".jpg") continue;
      ++captures[i].files;
      captures[i].picture = harness::DecodeJpeg(harness::ReadFile(e.path()).value_or(""));
    }
  }
  if (!::testing::Test::HasFailure()) fs::remove_all(work);
  return captures;
}

class WaylandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the sway session needs root to make its namespace";
  }
};

constexpr std::uint32_t kBackground = 0x3060a0, kLeft = 0xc00000, kRight = 0x00c000,
                        kFocusedTitle = 0x285577;

TEST_F(WaylandTest, FullScreenAndActiveWindowAtScalesOneAndTwo) {
  // Logical layout at scale s: gap 20, windows 760 / s / 2 wide; in device pixels the right
  // window's frame starts at x 400 and y 20 * s.
  for (int scale : {1, 2}) {
    SCOPED_TRACE("scale " + std::to_string(scale));
    std::vector<Capture> c =
        InSession({"--scale", std::to_string(scale)}, {"/xptfull 0", "/xptactive 0"});
    ASSERT_EQ(c[0].status, 0) << c[0].err;
    EXPECT_EQ(c[0].err.find("warning"), std::string::npos) << c[0].err;
    ASSERT_TRUE(c[0].picture);
    const harness::Rgb& full = *c[0].picture;
    EXPECT_EQ(full.width, 800);
    EXPECT_EQ(full.height, 600);
    EXPECT_TRUE(harness::ColourAt(full, 5, 5, kBackground));
    EXPECT_TRUE(harness::ColourAt(full, 795, 595, kBackground));
    EXPECT_TRUE(harness::ColourAt(full, 200, 300, kLeft));
    EXPECT_TRUE(harness::ColourAt(full, 600, 300, kRight));

    ASSERT_EQ(c[1].status, 0) << c[1].err;
    ASSERT_TRUE(c[1].picture);
    const harness::Rgb& active = *c[1].picture;
    int gap = 20 * scale;
    EXPECT_EQ(active.width, 800 - 400 - gap);
    EXPECT_EQ(active.height, 600 - 2 * gap);
    // The title bar on top, then the window's own colour from its left edge to its right.
    EXPECT_TRUE(harness::ColourAt(active, active.width - 10 * scale, 8 * scale, kFocusedTitle));
    for (int x : {6 * scale, active.width / 2, active.width - 6 * scale})
      EXPECT_TRUE(harness::ColourAt(active, x, active.height / 2, kRight));
    EXPECT_TRUE(harness::ColourAt(active, active.width / 2, active.height - 6 * scale, kRight));
  }
}

// Wayland has no primary output: the screen is the one that holds the focused window, here the
// second output (640 x 480, right of the first), to which the green window moved.
TEST_F(WaylandTest, TheFocusedWindowsOutputIsTheScreen) {
  std::vector<Capture> c = InSession({"--second-output"}, {"/xptfull 0", "/xptactive 0"});
  ASSERT_EQ(c[0].status, 0) << c[0].err;
  ASSERT_TRUE(c[0].picture);
  const harness::Rgb& full = *c[0].picture;
  EXPECT_EQ(full.width, 640);
  EXPECT_EQ(full.height, 480);
  EXPECT_TRUE(harness::ColourAt(full, 5, 5, kBackground));
  for (int x : {40, 320, 600}) EXPECT_TRUE(harness::ColourAt(full, x, 240, kRight));

  ASSERT_EQ(c[1].status, 0) << c[1].err;
  ASSERT_TRUE(c[1].picture);
  EXPECT_EQ(c[1].picture->width, 640 - 2 * 20);
  EXPECT_EQ(c[1].picture->height, 480 - 2 * 20);
  EXPECT_TRUE(harness::ColourAt(*c[1].picture, 300, 220, kRight));
}

TEST_F(WaylandTest, NoPortalIsAClearErrorAndNoFile) {
  std::vector<Capture> c = InSession({"--no-portal"}, {"/xptfull 0", "/xptactive 0"});
  for (const Capture& capture : c) {
    EXPECT_NE(capture.status, 0);
    EXPECT_NE(capture.err.find("no screenshot portal on the session bus"), std::string::npos)
        << capture.err;
    EXPECT_EQ(capture.files, 0);
  }
}

}  // namespace
