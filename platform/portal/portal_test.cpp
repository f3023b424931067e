// The portal client against a fake portal (fake_portal.py) on a private session bus.
#include "platform/portal/portal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using platform::portal::Outcome;
using namespace std::chrono_literals;

pid_t Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ), 0) << argv[0];
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

bool WaitFor(const fs::path& path) {
  for (int i = 0; i < 200 && !fs::exists(path); ++i) std::this_thread::sleep_for(25ms);
  return fs::exists(path);
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A session bus of the test's own that starts nothing by itself, with the fake portal on it
// when a mode is given. The fake's folder has a blank in its name, so the picture's URI needs
// "%20".
class PortalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("portal-test-" + std::to_string(getpid()));
    shots_ = dir_ / "fake portal";
    fs::remove_all(dir_);
    fs::create_directories(shots_);
    std::ofstream(dir_ / "bus.conf")
        << "<busconfig><type>session</type><listen>unix:path=" << (dir_ / "bus").string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
           "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
           "own=\"*\"/></policy></busconfig>";
    bus_ = Spawn({"dbus-daemon", "--nofork", "--nopidfile",
                  "--config-file=" + (dir_ / "bus.conf").string()});
    ASSERT_TRUE(WaitFor(dir_ / "bus"));
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir_ / "bus").string()).c_str(), 1);
  }
  void TearDown() override {
    Stop(portal_);
    Stop(bus_);
    fs::remove_all(dir_);
  }
  void StartPortal(const std::string& mode) {
    portal_ = Spawn({"/usr/bin/python3", PICTOSS_FAKE_PORTAL, mode, shots_.string()});
    ASSERT_TRUE(WaitFor(shots_ / "ready")) << mode;
  }
  std::string Log() const { return Slurp(shots_ / "log"); }
  std::vector<fs::path> Pictures() const {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(shots_))
      if (e.path().extension() == ".png") found.push_back(e.path());
    return found;
  }

  fs::path dir_, shots_;
  pid_t bus_ = 0, portal_ = 0;
};

TEST_F(PortalTest, AnswersBecomePicturesOrClearErrors) {
  struct Case {
    const char* mode;
    Outcome outcome;
    const char* error;
  } cases[] = {
      {"ok", Outcome::kOk, ""},
      {"old", Outcome::kOk, ""},
      {"cancel", Outcome::kCancelled, "cancelled"},
      {"deny", Outcome::kDenied, "denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    StartPortal(c.mode);
    int waits = 0;
    auto wait = [&](int fd, std::chrono::milliseconds most) {
      ++waits;
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, static_cast<int>(most.count()));
    };
    platform::portal::Screenshot shot = platform::portal::TakeScreenshot(10s, wait);
    EXPECT_EQ(shot.outcome, c.outcome) << shot.error;
    EXPECT_NE(shot.error.find(c.error), std::string::npos) << shot.error;
    EXPECT_GT(waits, 0) << "the caller's wait (which dispatches messages) is not used";
    EXPECT_NE(Log().find("parent='' interactive=False modal=False"), std::string::npos) << Log();
    EXPECT_TRUE(Pictures().empty()) << "the picture file is removed after the read";
    if (c.outcome == Outcome::kOk) {
      ASSERT_EQ(shot.image.width, 3);
      ASSERT_EQ(shot.image.height, 2);
      const std::uint32_t expected[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x102030};
      for (int i = 0; i < 6; ++i)
        EXPECT_EQ(shot.image.pixels[i] & 0xFFFFFF, expected[i]) << "pixel " << i;
    }
    Stop(std::exchange(portal_, 0));
    fs::remove(shots_ / "ready");
    fs::remove(shots_ / "log");
  }
}

TEST_F(PortalTest, UnansweredRequestIsClosedAfterTheTimeout) {
  StartPortal("silent");
  auto start = std::chrono::steady_clock::now();
  platform::portal::Screenshot shot = platform::portal::TakeScreenshot(400ms);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(shot.outcome, Outcome::kTimedOut);
  EXPECT_NE(shot.error.find("did not answer within 400 ms"), std::string::npos) << shot.error;
  EXPECT_GE(took, 400ms);
  // The request that was closed is the one on the path predicted from handle_token.
  std::string log = Log();
  std::size_t at = log.find("close /org/freedesktop/portal/desktop/request/");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_NE(log.find("/pictoss_" + std::to_string(getpid()) + "_", at), std::string::npos) << log;
}

TEST_F(PortalTest, MissingPortalIsNamed) {
  for (const char* mode : {"", "noscreenshot"}) {
    SCOPED_TRACE(mode);
    if (*mode) StartPortal(mode);
    std::string why;
    EXPECT_FALSE(platform::portal::ScreenshotPortalAvailable(&why));
    EXPECT_NE(why.find("no screenshot portal on the session bus"), std::string::npos) << why;
    platform::portal::Screenshot shot = platform::portal::TakeScreenshot(2s);
    EXPECT_EQ(shot.outcome, Outcome::kNoPortal);
    EXPECT_EQ(shot.error, why);
  }
}

TEST(PortalFiles, FileUrisAndPictures) {
  const std::pair<const char*, const char*> uris[] = {
      {"file:///tmp/out.png", "/tmp/out.png"},
      {"file:///home/a/Pictures/Screenshot%20from%202024.png",
       "/home/a/Pictures/Screenshot from 2024.png"},
      {"file://localhost/tmp/%C3%A9t%c3%a9.png", "/tmp/\xC3\xA9t\xC3\xA9.png"},
      {"file:///tmp/bad%2", ""},
      {"file:///tmp/bad%zz.png", ""},
      {"file:///tmp/nul%00.png", ""},
      {"file://otherhost/tmp/out.png", ""},
      {"https://example.invalid/out.png", ""},
  };
  for (const auto& [uri, path] : uris)
    EXPECT_EQ(platform::portal::PathFromFileUri(uri), path) << uri;

  fs::path junk = fs::temp_directory_path() / ("not a png " + std::to_string(getpid()));
  std::ofstream(junk) << "GIF89a";
  platform::portal::Image image;
  std::string error;
  EXPECT_FALSE(platform::portal::ReadPng(junk.string(), &image, &error));
  EXPECT_NE(error.find(junk.string()), std::string::npos) << error;
  EXPECT_FALSE(platform::portal::ReadPng("/nonexistent/x.png", &image, &error));
  fs::remove(junk);
}

}  // namespace
