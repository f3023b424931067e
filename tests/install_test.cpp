// An installed Pictoss: `cmake --install` into a fresh prefix gives a host that registers the
// installed module and captures, with nothing of the build tree on its library path; and the
// chat-client plug-in installed for one user as the README says, with one link in the client's
// plug-in folder, finds its libraries from where it really lies.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/host_harness.h"
#include "tests/purple_harness.h"
#include "tests/support/xvfb.h"

namespace {

namespace fs = std::filesystem;

const auto* network = testing::AddGlobalTestEnvironment(new purpletest::Network);

// A prefix of the test's own with this build installed into it.
class Installed {
 public:
  Installed() {
    harness::Run install =
        harness::RunProgram({PICTOSS_CMAKE_COMMAND, "--install", PICTOSS_BUILD_DIR, "--prefix",
                             prefix_.path().string()},
                            {}, std::chrono::seconds(300));
    if (install.status != 0) throw std::runtime_error("cmake --install failed: " + install.err);
  }
  fs::path prefix() const { return prefix_.path(); }
  // libpurple's plug-in folder of the prefix: where pkg-config says it lies below libpurple's
  // prefix. The package's own library folder lies beside it.
  fs::path purpleFolder() const {
    auto variable = [](const char* name) {
      std::string out =
          harness::RunProgram({"/usr/bin/pkg-config", std::string("--variable=") + name, "purple"})
              .out;
      return fs::path(out.substr(0, out.find('\n')));
    };
    return prefix() / variable("plugindir").lexically_relative(variable("prefix"));
  }
  fs::path libraryFolder() const { return purpleFolder().parent_path() / "pictoss"; }

 private:
  harness::TempDir prefix_;
};

TEST(InstallTest, InstalledHostSetsUpAndCaptures) {
  Installed installed;
  const fs::path host = installed.prefix() / "bin" / "pictoss";
  const fs::path module = installed.libraryFolder() / "PT.so";
  ASSERT_TRUE(fs::exists(module));
  for (const fs::path& file :
       {host, module, module.parent_path() / "libpictoss_platform.so",
        module.parent_path() / "pictoss_ui.so", module.parent_path() / "pictoss_wayland.so",
        module.parent_path() / "pictoss_png.so", module.parent_path() / "pictoss_purple.so",
        installed.purpleFolder() / "pictoss-purple.so"}) {
    harness::Run dynamic = harness::RunProgram({"/usr/bin/readelf", "-d", file.string()}, {});
    ASSERT_EQ(dynamic.status, 0) << dynamic.err;
    EXPECT_EQ(dynamic.out.find(PICTOSS_BUILD_DIR), std::string::npos) << file << dynamic.out;
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

// The user install: one link in ~/.purple/plugins to the installed plug-in. The client loads
// the link; the plug-in finds the rest of Pictoss beside the file that the link names.
class UserInstallTest : public purpletest::PurpleTest {
 protected:
  UserInstallTest() { fs::create_symlink(installed_.purpleFolder() / "pictoss-purple.so", link_); }
  fs::path PluginPath() const override { return link_; }

  Installed installed_;
  harness::TempDir plugins_;
  const fs::path link_ = plugins_.path() / "pictoss-purple.so";
};

TEST_F(UserInstallTest, OneLinkIsEnough) {
  EXPECT_EQ(RegisteredModule(), (installed_.libraryFolder() / "PT.so").string()) << said_;
  EXPECT_TRUE(SendTheScreen());
}

}  // namespace
