#include "platform/kernel/temppath.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The environment and the private folder's parent are the test's own; both are put back.
class TempPath : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"TMPDIR", "XDG_RUNTIME_DIR"}) {
      const char* value = getenv(name);
      saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
      unsetenv(name);
    }
    char pattern[] = "/tmp/pictoss-temppath-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    parent_ = pattern;
    platform::SetPrivateTempParent(parent_);
    private_ = parent_ / ("pictoss-" + std::to_string(geteuid()));
  }
  void TearDown() override {
    platform::SetPrivateTempParent("");
    for (const auto& [name, value] : saved_) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
    }
    fs::remove_all(parent_);
  }
  static std::string Get() {
    char buffer[512];
    DWORD n = GetTempPathA(sizeof buffer, buffer);
    return std::string(buffer, n);
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
  fs::path parent_, private_;
};

TEST_F(TempPath, TmpdirThenRuntimeDirThenAPrivateFolder) {
  setenv("TMPDIR", "/var/tmp", 1);
  setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
  EXPECT_EQ(Get(), "/var/tmp/");
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(Get(), "/run/user/7/");
  unsetenv("TMPDIR");
  setenv("XDG_RUNTIME_DIR", "", 1);
  const mode_t mask = umask(0);  // a lax umask does not make the folder open to others
  EXPECT_EQ(Get(), private_.string() + "/");
  umask(mask);
  struct stat st {};
  ASSERT_EQ(lstat(private_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(Get(), private_.string() + "/");  // used again as it is
  EXPECT_EQ(platform::TempPathFault(), "");
}

// A private folder that is not ours alone is refused, on every use, with the reason.
TEST_F(TempPath, PrivateFolderThatOthersCouldReachIsRefused) {
  const fs::path elsewhere = parent_ / "elsewhere";
  fs::create_directory(elsewhere);
  chmod(elsewhere.c_str(), 0700);
  struct Case {
    std::function<void()> plant;
    std::string reason;
  } cases[] = {
      {[&] { fs::create_directory_symlink(elsewhere, private_); }, "it is a symbolic link"},
      {[&] { std::ofstream(private_.string()) << "x"; }, "it is not a folder"},
      {[&] {
         fs::create_directory(private_);
         chmod(private_.c_str(), 0755);
       },
       "its mode is 0755, not 0700"},
      {[&] {
         fs::create_directory(private_);
         chmod(private_.c_str(), 0700);
         if (geteuid() == 0) chown(private_.c_str(), 65534, 65534);
       },
       geteuid() == 0 ? "it belongs to another user (uid 65534)" : ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    fs::remove_all(private_);
    c.plant();
    if (c.reason.empty()) continue;  // giving a folder away needs root
    char buffer[512] = "untouched";
    for (int use = 0; use < 2; ++use) {
      EXPECT_EQ(GetTempPathA(sizeof buffer, buffer), 0u);
      EXPECT_STREQ(buffer, "untouched");
      EXPECT_EQ(platform::TempPathFault(),
                "The temporary folder " + private_.string() + " cannot be used: " + c.reason);
    }
  }
}

}  // namespace
