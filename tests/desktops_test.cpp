// Captures through the host in private headless GNOME Shell and KDE Plasma (KWin) sessions
// under Wayland (tests/support/gnome_session.sh, kde_session.sh), read through each desktop's
// own portal. Each fixture starts its desktop once and runs its cases in it, one shell command at
// a time (tests/support/session_runner.sh); the windows are GTK 3 windows of known colours,
// through Xwayland (GDK_BACKEND=x11) or native (GDK_BACKEND=wayland).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "tests/host_harness.h"
#include "tests/picture_checks.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out, err;
  std::optional<harness::Rgb> picture;
  int files = 0;                                  // JPEG files written
  std::string said() const { return out + err; }  // the host prints a failed call's error
};

// A desktop session serving one fixture: Run sends a command to the runner inside it.
class DesktopSession {
 public:
  DesktopSession(const std::string& script, const std::vector<std::string>& options,
                 const std::string& name)
      : work_(fs::path(PICTOSS_TESTS_BINARY_DIR) / (name + "-" + std::to_string(getpid()))),
        dir_(work_ / "runner") {
    fs::remove_all(work_);
    fs::create_directories(work_);
    std::vector<std::string> argv = {script};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(),
                {work_.string(), "--", PICTOSS_SESSION_RUNNER, dir_.string(), PICTOSS_HOST_PATH});
    child_ = std::make_unique<harness::Child>(argv);
    ready_ = child_->ReadLine(std::chrono::seconds(180)) == "ready";
  }
  ~DesktopSession() {
    int status = child_->Finish(std::chrono::seconds(60));
    EXPECT_EQ(status, 0) << child_->err();
    if (::testing::UnitTest::GetInstance()->failed_test_count() == 0) fs::remove_all(work_);
  }

  // Why the session is not ready, or empty.
  std::string NotReady() const {
    if (ready_) return {};
    return child_->err() + harness::ReadFile(work_ / "session.log").value_or("");
  }

  Result Run(const std::string& command) {
    Result r;
    child_->WriteLine(command);
    std::optional<std::string> done = child_->ReadLine(std::chrono::seconds(120));
    if (!done || done->rfind("done ", 0) != 0) {
      ADD_FAILURE() << "no answer to: " << command << "\n" << child_->err();
      return r;
    }
    r.status = std::atoi(done->c_str() + 5);
    r.out = harness::ReadFile(dir_ / "stdout").value_or("");
    r.err = harness::ReadFile(dir_ / "stderr").value_or("");
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_ / "out", ec)) {
      if (e.path().extension() != ".jpg") continue;
      ++r.files;
      r.picture = harness::DecodeJpeg(harness::ReadFile(e.path()).value_or(""));
    }
    return r;
  }

  // Runs the command and expects it to succeed.
  Result Ok(const std::string& command) {
    Result r = Run(command);
    EXPECT_EQ(r.status, 0) << command << ": " << r.said();
    return r;
  }

 private:
  fs::path work_, dir_;
  std::unique_ptr<harness::Child> child_;
  bool ready_ = false;
};

// The block in column i and row j of test_window.py's pattern.
std::uint32_t PatternColour(int i, int j) {
  std::uint32_t blue = (i + j) % 2 ? 200 : 40;
  return (std::uint32_t(40 + 30 * i) << 16) | (std::uint32_t(40 + 40 * j) << 8) | blue;
}

void ExpectPattern(const harness::Rgb& p, int width, int height) {
  ASSERT_EQ(p.width, width);
  ASSERT_EQ(p.height, height);
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 6; ++j)
      EXPECT_TRUE(harness::ColourAt(p, width * (2 * i + 1) / 16, height * (2 * j + 1) / 12,
                                    PatternColour(i, j)))
          << "block " << i << ", " << j;
}

// A window of content width x height in `colour` under a title bar that the desktop or the
// toolkit draws: the content fills the picture's width and its bottom, the title bar is on top.
void ExpectWindowWithTitleBar(const harness::Rgb& p, int width, int height, std::uint32_t colour) {
  EXPECT_EQ(p.width, width);
  int title = p.height - height;
  EXPECT_GE(title, 20) << "a title bar on top";
  EXPECT_LE(title, 80) << "nothing but the title bar on top";
  if (title < 20 || p.width != width) return;
  for (int x : {3, width / 2, width - 4}) {
    EXPECT_TRUE(harness::ColourAt(p, x, title + 3, colour)) << "top of the content";
    EXPECT_TRUE(harness::ColourAt(p, x, p.height - 4, colour)) << "bottom of the content";
  }
  EXPECT_FALSE(harness::ColourAt(p, width / 2, title / 2, colour)) << "the title bar";
}

constexpr int kWidth = 1024, kHeight = 768;
constexpr std::uint32_t kGreen = 0x00c000, kBlue = 0x0000c0;
const std::string kStoreNo =
    "dbus-send --session --print-reply --dest=org.freedesktop.impl.portal.PermissionStore "
    "/org/freedesktop/impl/portal/PermissionStore "
    "org.freedesktop.impl.portal.PermissionStore.SetPermission string:screenshot boolean:true "
    "string:screenshot string: array:string:no";

class DesktopTest : public ::testing::Test {
 protected:
  static void Start(const std::string& script, const std::vector<std::string>& options,
                    const std::string& name) {
    if (geteuid() != 0) return;
    session_ = new DesktopSession(script, options, name);
  }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the desktop session needs root to make its namespaces";
    ASSERT_EQ(session_->NotReady(), "");
  }
  void TearDown() override {
    if (session_) session_->Run("close_windows");
  }

  // "/xptfull 0" of a full-screen pattern.
  void FullScreenPattern() {
    session_->Ok("window --pattern --fullscreen --focus-untold");
    Result r = session_->Ok("capture '/xptfull 0'");
    ASSERT_TRUE(r.picture) << r.said();
    ExpectPattern(*r.picture, kWidth, kHeight);
  }

  // "/xptactive 0" of a focused window of the toolkit's backend, frame included. `focus` waits
  // for the focus where the window cannot tell it.
  void ActiveWindow(const std::string& backend, std::uint32_t colour,
                    const std::string& focus = "") {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%06x", colour);
    session_->Ok("GDK_BACKEND=" + backend + " window --color " + hex + " --size 400x300" + focus);
    Result r = session_->Ok("capture '/xptactive 0'");
    ASSERT_TRUE(r.picture) << r.said();
    ExpectWindowWithTitleBar(*r.picture, 400, 300, colour);
  }

  // With X11 forced, only an X11 window's own pixels can be read; nothing else is written as a
  // black picture.
  void ForcedX11(const std::string& native_focus = "") {
    session_->Ok("GDK_BACKEND=x11 window --color 00c000 --size 400x300");
    Result window = session_->Run("PICTOSS_CAPTURE=x11 capture '/xptactive 0'");
    ASSERT_EQ(window.status, 0) << window.said();
    ASSERT_TRUE(window.picture);
    EXPECT_TRUE(harness::ColourAt(*window.picture, window.picture->width / 2,
                                  window.picture->height - 20, kGreen));
    Result full = session_->Run("PICTOSS_CAPTURE=x11 capture '/xptfull 0'");
    EXPECT_NE(full.status, 0);
    EXPECT_EQ(full.files, 0);
    EXPECT_NE(full.said().find("PICTOSS_CAPTURE"), std::string::npos) << full.said();
    session_->Ok("close_windows");
    session_->Ok("GDK_BACKEND=wayland window --color 0000c0 --size 400x300" + native_focus);
    Result native = session_->Run("PICTOSS_CAPTURE=x11 capture '/xptactive 0'");
    EXPECT_NE(native.status, 0);
    EXPECT_EQ(native.files, 0);
  }

  static DesktopSession* session_;
};
DesktopSession* DesktopTest::session_ = nullptr;

// GNOME Shell does not tell a native window that it has the focus; its extension tells us.
const std::string kShellFocus = " --focus-untold && wait_until shell_focus 400";

class GnomeTest : public DesktopTest {
 protected:
  static void SetUpTestSuite() {
    Start(PICTOSS_GNOME_SESSION, {"--extension", PICTOSS_GNOME_EXTENSION}, "gnome");
  }
};

TEST_F(GnomeTest, FullScreenIsTheMonitor) {
  FullScreenPattern();
}
TEST_F(GnomeTest, ActiveX11WindowWithItsTitleBar) {
  ActiveWindow("x11", kGreen);
}
TEST_F(GnomeTest, ActiveNativeWindowThroughTheExtension) {
  ActiveWindow("wayland", kBlue, kShellFocus);
}
TEST_F(GnomeTest, ActiveNativeWindowWithoutTheExtensionNamesIt) {
  session_->Ok("GDK_BACKEND=wayland window --color 0000c0 --size 400x300" + kShellFocus);
  session_->Ok(
      "gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell "
      "--method org.gnome.Shell.Extensions.DisableExtension pictoss@brindlemoor");
  Result r = session_->Run("capture '/xptactive 0'");
  session_->Ok(
      "gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell "
      "--method org.gnome.Shell.Extensions.EnableExtension pictoss@brindlemoor");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.files, 0);
  EXPECT_NE(r.said().find("X11 window"), std::string::npos) << r.said();
  EXPECT_NE(r.said().find("pictoss@brindlemoor"), std::string::npos) << r.said();
}
// A stored "no" fails at once with the command that allows captures again, which then works.
TEST_F(GnomeTest, AStoredNoNamesTheRemedy) {
  session_->Ok(kStoreNo);
  Result no = session_->Run("capture '/xptfull 0'");
  EXPECT_NE(no.status, 0);
  EXPECT_EQ(no.files, 0);
  EXPECT_NE(no.said().find("pictoss allow-screenshots"), std::string::npos) << no.said();
  session_->Ok("\"$host\" allow-screenshots");
  Result yes = session_->Ok("capture '/xptfull 0'");
  EXPECT_EQ(yes.files, 1);
}
TEST_F(GnomeTest, ForcedX11NeverWritesABlackPicture) {
  ForcedX11(kShellFocus);
}

class KdeTest : public DesktopTest {
 protected:
  static void SetUpTestSuite() { Start(PICTOSS_KDE_SESSION, {}, "kde"); }
};

TEST_F(KdeTest, FullScreenIsTheOutput) {
  FullScreenPattern();
}
TEST_F(KdeTest, ActiveX11WindowWithItsTitleBar) {
  ActiveWindow("x11", kGreen);
}
TEST_F(KdeTest, ActiveNativeWindowThroughKWin) {
  ActiveWindow("wayland", kBlue);
}
TEST_F(KdeTest, ForcedX11NeverWritesABlackPicture) {
  ForcedX11();
}
TEST_F(KdeTest, AMissingPicturesFolderIsMade) {
  session_->Ok("rm -rf ~/Pictures");
  Result r = session_->Ok("capture '/xptfull 0'");
  EXPECT_EQ(r.files, 1);
  session_->Ok("test -d ~/Pictures");
}

}  // namespace
