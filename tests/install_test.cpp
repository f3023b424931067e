// An installed Pictoss: `cmake --install` into a fresh prefix gives a host that registers the
// installed module and captures, with nothing of the build tree on its library path.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/host_harness.h"
#include "tests/support/xvfb.h"

namespace {

namespace fs = std::filesystem;

TEST(InstallTest, InstalledHostSetsUpAndCaptures) {
  harness::TempDir prefix;
  harness::Run install = harness::RunProgram(
      {PICTOSS_CMAKE_COMMAND, "--install", PICTOSS_BUILD_DIR, "--prefix", prefix.path().string()},
      {}, std::chrono::seconds(300));
  ASSERT_EQ(install.status, 0) << install.out << install.err;

  const fs::path host = prefix.path() / "bin" / "pictoss";
  const fs::path module = prefix.path() / "lib" / "pictoss" / "PT.so";
  ASSERT_TRUE(fs::exists(module));
  for (const fs::path& file :
       {host, module, module.parent_path() / "libpictoss_platform.so",
        module.parent_path() / "pictoss_ui.so", module.parent_path() / "pictoss_wayland.so",
        module.parent_path() / "pictoss_png.so"}) {
    harness::Run dynamic = harness::RunProgram({"/usr/bin/readelf", "-d", file.string()}, {});
    ASSERT_EQ(dynamic.status, 0) << dynamic.err;
    EXPECT_EQ(dynamic.out.find(PICTOSS_BUILD_DIR), std::string::npos) << file << dynamic.out;
  }

  // The chat-client plug-in: in libpurple's folder of the prefix, and linked into a user's
  // plug-in folder with the package's library folder as the README says, it finds the libraries.
  const fs::path purple = prefix.path() / "lib" / "purple-2" / "pictoss-purple.so";
  ASSERT_TRUE(fs::exists(purple));
  harness::TempDir plugins;
  fs::create_symlink(purple, plugins.path() / "pictoss-purple.so");
  fs::create_symlink(module.parent_path(), plugins.path() / "pictoss");
  for (const fs::path& file : {purple, plugins.path() / "pictoss-purple.so"}) {
    harness::Run ldd = harness::RunProgram({"/usr/bin/ldd", file.string()}, {});
    EXPECT_EQ(ldd.out.find("not found"), std::string::npos) << file << ldd.out;
    EXPECT_EQ(ldd.out.find(PICTOSS_BUILD_DIR), std::string::npos) << file << ldd.out;
  }

  harness::TempDir store;
  harness::TempDir tmp;
  testsupport::XvfbServer server(640, 480);
  const std::vector<std::string> env = {"PICTOSS_PREFIX=" + store.path().string(),
                                        "TMPDIR=" + tmp.path().string(),
                                        "DISPLAY=" + server.display()};
  harness::Run setup = harness::RunProgram({host.string(), "setup"}, env);
  ASSERT_EQ(setup.status, 0) << setup.err;
  EXPECT_NE(setup.out.find("registered " + module.string()), std::string::npos) << setup.out;

  harness::Run send = harness::RunProgram({host.string(), "send", "/xptfull 0"}, env);
  ASSERT_EQ(send.status, 0) << send.err;
  const fs::path picture = tmp.path() / "My_Screenshot.jpg";
  auto decoded = harness::DecodeJpeg(harness::ReadFile(picture).value_or(""));
  ASSERT_TRUE(decoded.has_value()) << send.out << send.err;
  EXPECT_EQ(decoded->width, 640);
  EXPECT_EQ(decoded->height, 480);

  // The Wayland display is the module beside the platform library: without it, a capture that
  // needs it says so, and an X11 capture does not miss it.
  fs::remove(module.parent_path() / "pictoss_wayland.so");
  std::vector<std::string> portal = env;
  portal.push_back("PICTOSS_CAPTURE=portal");
  harness::Run missing = harness::RunProgram({host.string(), "send", "/xptfull 0"}, portal);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("the Wayland display cannot be loaded"), std::string::npos)
      << missing.out;
  EXPECT_NE(missing.out.find("pictoss_wayland.so"), std::string::npos) << missing.out;
  harness::Run x11 = harness::RunProgram({host.string(), "send", "/xptfull 0"}, env);
  EXPECT_EQ(x11.status, 0) << x11.out << x11.err;
}

}  // namespace
