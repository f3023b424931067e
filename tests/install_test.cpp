// An installed Pictoss: `cmake --install` into a fresh prefix gives a host that registers the
// installed module and captures, with nothing of the build tree on its library path; and the
// chat-client plug-in installed for one user as the README says, with one link in the client's
// plug-in folder, finds its libraries from where it really lies.
//
// The Debian package that scripts/package makes (the ctest fixture package_build runs it), read
// and run as a user has it: unpacked with dpkg-deb into a folder of the test's own, never into
// the machine's /usr. Its files, where the chat clients and the man command find them, and the
// installed tree at work: a user with an empty home sets up and captures, and the headless
// libpurple client loads the plug-in from the tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "product/version.h"
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

// The Debian package.
using purpletest::BuildDir;

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The one package in the build's deb folder.
fs::path Package() {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(BuildDir() / "deb")) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("pictoss_") && name.ends_with(".deb")) found.push_back(entry.path());
  }
  if (found.size() != 1) throw std::runtime_error("not one pictoss_*.deb in the deb folder");
  return found[0];
}

// libpurple's plug-in folder on this machine, and the package's own library folder beside it;
// both below /usr.
fs::path PurpleFolder() {
  harness::Run r = harness::RunProgram({"/usr/bin/pkg-config", "--variable=plugindir", "purple"});
  return Trimmed(r.out);
}
fs::path LibraryFolder() {
  return PurpleFolder().parent_path() / "pictoss";
}

// The package unpacked into a fresh folder that every user may read.
class Unpacked {
 public:
  Unpacked() {
    harness::Run x =
        harness::RunProgram({"/usr/bin/dpkg-deb", "-x", Package().string(), root_.path().string()});
    if (x.status != 0) throw std::runtime_error("dpkg-deb -x failed: " + x.err);
    chmod(root_.path().c_str(), 0755);
  }
  const fs::path& root() const { return root_.path(); }
  // A path of the installed system, inside the tree.
  fs::path operator/(const fs::path& installed) const { return root() / installed.relative_path(); }

 private:
  harness::TempDir root_;
};

// The value of one field of the package's control file.
std::string ControlField(const char* field) {
  return Trimmed(harness::RunProgram({"/usr/bin/dpkg-deb", "-f", Package().string(), field}).out);
}

// The RUNPATH and RPATH entries of an ELF file, and whether it is one.
struct SearchPaths {
  bool elf = false;
  std::vector<std::string> runpath, rpath;
};
SearchPaths SearchPathsOf(const fs::path& file) {
  SearchPaths paths;
  harness::Run r = harness::RunProgram({"/usr/bin/readelf", "-d", file.string()});
  paths.elf = r.status == 0 && r.out.find("Dynamic section") != std::string::npos;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const bool run = line.find("(RUNPATH)") != std::string::npos;
    if (!run && line.find("(RPATH)") == std::string::npos) continue;
    std::string list = line.substr(line.find('[') + 1);
    list = list.substr(0, list.rfind(']'));
    std::istringstream entries(list);
    for (std::string entry; std::getline(entries, entry, ':');) {
      (run ? paths.runpath : paths.rpath).push_back(entry);
    }
  }
  return paths;
}

TEST(PackageTest, NameVersionAndRelations) {
  EXPECT_EQ(ControlField("Package"), "pictoss");
  EXPECT_EQ(ControlField("Version"), PICTOSS_VERSION_TEXT);
  EXPECT_EQ(Package().filename().string().rfind("pictoss_" PICTOSS_VERSION_TEXT "_", 0), 0u);
  // What dpkg-shlibdeps finds in the binaries: the C library, libpurple for the chat clients'
  // part, FLTK for the window module.
  const std::string depends = ControlField("Depends");
  for (const char* library : {"libc6", "libpurple0", "libfltk1.3", "libsqlite3-0", "libx11-6"}) {
    EXPECT_NE(depends.find(library), std::string::npos) << depends;
  }
  const std::string suggests = ControlField("Suggests");
  for (const char* suggested :
       {"xdg-desktop-portal", "xdg-desktop-portal-gnome", "xdg-desktop-portal-kde",
        "xdg-desktop-portal-wlr", "plasma-workspace", "pidgin | finch"}) {
    EXPECT_NE(suggests.find(suggested), std::string::npos) << suggests;
  }
}

TEST(PackageTest, FilesLieBelowUsrWhereTheirUsersFindThem) {
  Unpacked tree;
  std::set<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(tree.root())) {
    const fs::path installed = "/" / entry.path().lexically_relative(tree.root());
    EXPECT_EQ(*std::next(installed.begin()), "usr") << installed;
    if (!entry.is_directory()) files.insert(installed);
  }
  const std::set<fs::path> expected = {
      "/usr/bin/pictoss",
      LibraryFolder() / "PT.so",
      LibraryFolder() / "libpictoss_platform.so",
      LibraryFolder() / "pictoss_ui.so",
      LibraryFolder() / "pictoss_wayland.so",
      LibraryFolder() / "pictoss_png.so",
      LibraryFolder() / "pictoss_purple.so",
      PurpleFolder() / "pictoss-purple.so",
      "/usr/share/gnome-shell/extensions/pictoss@brindlemoor/extension.js",
      "/usr/share/gnome-shell/extensions/pictoss@brindlemoor/metadata.json",
      "/usr/share/man/man1/pictoss.1.gz",
      "/usr/share/doc/pictoss/README.md",
      "/usr/share/doc/pictoss/copyright",
      "/usr/share/doc/pictoss/changelog.gz",
  };
  for (const fs::path& file : expected) EXPECT_TRUE(files.count(file)) << file;
  // The chat clients list a file of their own folder, not a link to one elsewhere.
  EXPECT_TRUE(
      fs::is_regular_file(fs::symlink_status(tree / (PurpleFolder() / "pictoss-purple.so"))));

  // Each binary finds its libraries in the package's folder, through $ORIGIN.
  int binaries = 0;
  for (const fs::path& installed : files) {
    SearchPaths paths = SearchPathsOf(tree / installed);
    if (!paths.elf) continue;
    ++binaries;
    EXPECT_TRUE(paths.rpath.empty()) << installed;
    for (const std::string& entry : paths.runpath) {
      EXPECT_EQ(entry.find(PICTOSS_BUILD_DIR), std::string::npos) << installed << ": " << entry;
      ASSERT_EQ(entry.rfind("$ORIGIN", 0), 0u) << installed << ": " << entry;
      const fs::path resolved =
          fs::path(installed.parent_path().string() + entry.substr(7)).lexically_normal();
      EXPECT_EQ(resolved, LibraryFolder()) << installed << ": " << entry;
    }
  }
  EXPECT_EQ(binaries, 8);
}

TEST(PackageTest, ManPageRenders) {
  Unpacked tree;
  harness::Run man = harness::RunProgram(
      {"/usr/bin/man", "--warnings", "-l", (tree / "/usr/share/man/man1/pictoss.1.gz").string()},
      {"MANWIDTH=100", "MANPAGER=cat", "PAGER=cat", "LC_ALL=C.UTF-8"});
  ASSERT_EQ(man.status, 0) << man.err;
  EXPECT_EQ(man.err, "");
  EXPECT_NE(man.out.find("pictoss - send a picture of the screen"), std::string::npos) << man.out;
  for (const char* text : {"SYNOPSIS",
                           "COMMANDS",
                           "ENVIRONMENT",
                           "FILES",
                           "EXIT STATUS",
                           "setup",
                           "send line",
                           "chat [--outbox dir]",
                           "reg query key",
                           "register [module]",
                           "unregister [module]",
                           "invoke method",
                           "version path",
                           "--help",
                           "--version",
                           "PICTOSS_PREFIX",
                           "PICTOSS_CAPTURE",
                           "TMPDIR",
                           "PICTOSS_DEBUG",
                           "registry.db",
                           "pictoss-purple.so",
                           "Pictoss " PICTOSS_VERSION_TEXT}) {
    EXPECT_NE(man.out.find(text), std::string::npos) << text;
  }
}

// Runs an installed pictoss as a user who never ran Pictoss: nothing in the environment but the
// home, the temporary folder and the display. As root, the test runs it as nobody.
class FreshUser {
 public:
  FreshUser() {
    for (const fs::path& dir : {home_.path(), tmp_.path()}) {
      if (chown(dir.c_str(), uid(), uid()) != 0) throw std::runtime_error("chown failed");
    }
  }
  static uid_t uid() { return getuid() == 0 ? 65534 : getuid(); }
  const fs::path& home() const { return home_.path(); }
  fs::path picture() const { return tmp_.path() / "My_Screenshot.jpg"; }
  harness::Run Run(const fs::path& host, const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"/usr/bin/env",
                                     "-i",
                                     "HOME=" + home_.path().string(),
                                     "TMPDIR=" + tmp_.path().string(),
                                     "DISPLAY=" + server_.display(),
                                     "PATH=/usr/bin:/bin",
                                     host.string()};
    if (getuid() == 0) {
      argv.insert(argv.begin(),
                  {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return harness::RunProgram(argv);
  }
  // "/xptfull 0": the picture must decode at the screen's size.
  void ExpectCapture(const fs::path& host) const {
    harness::Run send = Run(host, {"send", "/xptfull 0"});
    ASSERT_EQ(send.status, 0) << send.out << send.err;
    auto decoded = harness::DecodeJpeg(harness::ReadFile(picture()).value_or(""));
    ASSERT_TRUE(decoded) << send.out << send.err;
    EXPECT_EQ(decoded->width, kWidth);
    EXPECT_EQ(decoded->height, kHeight);
  }

 private:
  static constexpr int kWidth = 720, kHeight = 405;
  harness::TempDir home_, tmp_;
  testsupport::XvfbServer server_{kWidth, kHeight};
};

TEST(PackageTest, AUserWithAnEmptyHomeSetsUpAndCaptures) {
  Unpacked tree;
  FreshUser user;
  const fs::path host = tree / "/usr/bin/pictoss";
  harness::Run setup = user.Run(host, {"setup"});
  ASSERT_EQ(setup.status, 0) << setup.out << setup.err;
  EXPECT_EQ(setup.out, "registered " + (tree / (LibraryFolder() / "PT.so")).string() +
                           "\nsettings HKEY_LOCAL_MACHINE\\Software\\Brindlemoor\\Pictoss\n");
  const fs::path store = user.home() / ".local" / "share" / "pictoss" / "registry.db";
  struct stat info {};
  ASSERT_EQ(stat(store.c_str(), &info), 0) << store;
  EXPECT_EQ(info.st_uid, FreshUser::uid());
  user.ExpectCapture(host);
}

// dpkg installs, upgrades and removes the package in a root of the test's own (--root): a user's
// store set up before the upgrade still works after it, with no setup again, and the removal
// leaves no file of the package, and the user's store and picture as they were.
TEST(PackageTest, UpgradeKeepsTheStoreAndRemovalLeavesNoFileOfThePackage) {
  if (getuid() != 0) GTEST_SKIP() << "dpkg --root needs root to give the files their owners";
  harness::TempDir root;
  fs::create_directories(root.path() / "var/lib/dpkg/info");
  fs::create_directories(root.path() / "var/lib/dpkg/updates");
  std::ofstream(root.path() / "var/lib/dpkg/status").flush();
  chmod(root.path().c_str(), 0755);
  auto dpkg = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/dpkg", "--root=" + root.path().string(), "--force-depends",
                               "--force-not-root"});
    harness::Run r = harness::RunProgram(args);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  };
  dpkg({"-i", Package().string()});
  FreshUser user;
  const fs::path host = root.path() / "usr/bin/pictoss";
  ASSERT_EQ(user.Run(host, {"setup"}).status, 0);
  user.ExpectCapture(host);
  ASSERT_TRUE(fs::exists(user.home() / ".local/share/pictoss/registry.db"));

  dpkg({"-i", Package().string()});
  fs::remove(user.picture());
  harness::Run again = user.Run(host, {"send", "/xptfull 0"});
  EXPECT_EQ(again.err.find("first use"), std::string::npos) << again.err;
  user.ExpectCapture(host);

  dpkg({"-r", "pictoss"});
  for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
    EXPECT_EQ(*entry.path().lexically_relative(root.path()).begin(), "var")
        << "left behind: " << entry.path();
  }
  EXPECT_TRUE(fs::exists(user.picture()));
  EXPECT_TRUE(fs::exists(user.home() / ".local/share/pictoss/registry.db"));
}

// The headless libpurple client loads the plug-in from libpurple's folder of the tree; on its
// first load it registers the module of the tree, and sends the screen.
class InstalledPluginTest : public purpletest::PurpleTest {
 protected:
  fs::path PluginPath() const override { return tree_ / (PurpleFolder() / "pictoss-purple.so"); }
  Unpacked tree_;
};

TEST_F(InstalledPluginTest, RegistersTheInstalledModuleAndSendsTheScreen) {
  EXPECT_EQ(RegisteredModule(), (tree_ / (LibraryFolder() / "PT.so")).string()) << said_;
  EXPECT_TRUE(SendTheScreen());
}

}  // namespace
