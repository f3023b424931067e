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
  int files = 0;  // JPEG files written
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
    EXPECT_EQ(r.status, 0) << command << ": " << r.err;
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

constexpr int kWidth = 1024, kHeight = 768;

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
    session_->Ok("window --pattern --fullscreen");
    Result r = session_->Ok("capture '/xptfull 0'");
    ASSERT_TRUE(r.picture) << r.err;
    ExpectPattern(*r.picture, kWidth, kHeight);
  }

  static DesktopSession* session_;
};
DesktopSession* DesktopTest::session_ = nullptr;

class GnomeTest : public DesktopTest {
 protected:
  static void SetUpTestSuite() {
    Start(PICTOSS_GNOME_SESSION, {"--extension", PICTOSS_GNOME_EXTENSION}, "gnome");
  }
};

TEST_F(GnomeTest, FullScreenIsTheMonitor) {
  FullScreenPattern();
}

class KdeTest : public DesktopTest {
 protected:
  static void SetUpTestSuite() { Start(PICTOSS_KDE_SESSION, {}, "kde"); }
};

TEST_F(KdeTest, FullScreenIsTheOutput) {
  FullScreenPattern();
}

}  // namespace
