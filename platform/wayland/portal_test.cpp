// The portal client against a fake portal on a private session bus.
#include "platform/wayland/portal.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string_view>

#include "tests/support/fake_portal.h"

namespace {

namespace fs = std::filesystem;
using platform::wayland::Outcome;
using namespace std::chrono_literals;

TEST(Portal, AnswersBecomePicturesOrClearErrors) {
  testsupport::FakePortalBus bus;
  struct Case {
    const char* mode;
    Outcome outcome;
    const char* error;
  } cases[] = {
      {"ok", Outcome::kOk, ""},
      {"old", Outcome::kOk, ""},  // answers on a path of its own before the call returns
      {"cancel", Outcome::kCancelled, "cancelled"},
      {"deny", Outcome::kDenied, "denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    bus.StartPortal(c.mode);
    int waits = 0;
    auto wait = [&](int fd, std::chrono::milliseconds most) {
      ++waits;
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, static_cast<int>(most.count()));
    };
    platform::wayland::Screenshot shot = platform::wayland::TakeScreenshot(10s, wait);
    EXPECT_EQ(shot.outcome, c.outcome) << shot.error;
    EXPECT_NE(shot.error.find(c.error), std::string::npos) << shot.error;
    // An older portal's answer may come in with the call's reply: nothing is left to wait for.
    if (std::string_view(c.mode) != "old") {
      EXPECT_GT(waits, 0) << "the caller's wait (which dispatches messages) is not used";
    }
    EXPECT_NE(bus.Log().find("parent='' interactive=False modal=False"), std::string::npos)
        << bus.Log();
    EXPECT_TRUE(bus.Pictures().empty()) << "the picture file is removed after the read";
    if (c.outcome == Outcome::kOk) {
      ASSERT_EQ(shot.image.width, 3);
      ASSERT_EQ(shot.image.height, 2);
      const std::uint32_t expected[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x102030};
      for (int i = 0; i < 6; ++i)
        EXPECT_EQ(shot.image.pixels[i] & 0xFFFFFF, expected[i]) << "pixel " << i;
    }
  }
}

TEST(Portal, UnansweredRequestIsClosedAfterTheTimeout) {
  testsupport::FakePortalBus bus;
  bus.StartPortal("silent");
  auto start = std::chrono::steady_clock::now();
  platform::wayland::Screenshot shot = platform::wayland::TakeScreenshot(400ms);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(shot.outcome, Outcome::kTimedOut);
  EXPECT_NE(shot.error.find("did not answer within 400 ms"), std::string::npos) << shot.error;
  EXPECT_NE(shot.error.find("a permission dialog"), std::string::npos) << shot.error;
  EXPECT_GE(took, 400ms);
  // The request that was closed is the one on the path predicted from handle_token.
  std::string log = bus.Log();
  std::size_t at = log.find("close /org/freedesktop/portal/desktop/request/");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_NE(log.find("/pictoss_" + std::to_string(getpid()) + "_", at), std::string::npos) << log;
}

TEST(Portal, MissingPortalIsNamed) {
  testsupport::FakePortalBus bus;
  for (const char* mode : {"", "noscreenshot"}) {
    SCOPED_TRACE(mode);
    if (*mode) bus.StartPortal(mode);
    std::string why;
    EXPECT_FALSE(platform::wayland::ScreenshotPortalAvailable(&why));
    EXPECT_NE(why.find("no screenshot portal on the session bus"), std::string::npos) << why;
    platform::wayland::Screenshot shot = platform::wayland::TakeScreenshot(2s);
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
    EXPECT_EQ(platform::wayland::PathFromFileUri(uri), path) << uri;

  fs::path junk = fs::temp_directory_path() / ("not a png " + std::to_string(getpid()));
  std::ofstream(junk) << "GIF89a";
  platform::wayland::Image image;
  std::string error;
  EXPECT_FALSE(platform::wayland::ReadPng(junk.string(), &image, &error));
  EXPECT_NE(error.find(junk.string()), std::string::npos) << error;
  EXPECT_FALSE(platform::wayland::ReadPng("/nonexistent/x.png", &image, &error));
  fs::remove(junk);
}

}  // namespace
