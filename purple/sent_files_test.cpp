#include "purple/sent_files.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class SentFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "sent-files-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    temp_ = pattern;
  }
  void TearDown() override { fs::remove_all(temp_); }

  // A folder opened by another process, which then ends without closing it when `killed`, or
  // lives on until the returned descriptor is closed.
  fs::path OpenedElsewhere(bool killed, int* live) {
    int report[2], hold[2];
    if (pipe(report) != 0 || pipe(hold) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
      close(report[0]);
      close(hold[1]);  // the parent's end alone keeps this one alive, even if the test fails
      pictoss_purple::SentFiles files;
      std::string why;
      if (!files.Open(temp_, &why)) _exit(1);
      const std::string folder = files.folder().string() + "\n";
      if (write(report[1], folder.data(), folder.size()) < 0) _exit(1);
      if (!killed) {
        char c;
        while (read(hold[0], &c, 1) > 0) {
        }
      }
      _exit(0);  // no destructors: as a kill would leave it
    }
    close(report[1]);
    close(hold[0]);
    std::string folder;
    char c;
    while (read(report[0], &c, 1) == 1 && c != '\n') folder += c;
    close(report[0]);
    if (killed) {
      close(hold[1]);
      waitpid(pid, nullptr, 0);
    } else {
      *live = hold[1];
    }
    return folder;
  }

  fs::path temp_;
};

// A client killed with its folder open leaves it; the next one to open removes it, but not the
// folder of a client that still runs, one without its lock file (being made), nor other names.
TEST_F(SentFilesTest, FoldersThatNoLiveClientHoldsAreRemovedOnOpen) {
  int live = -1;
  const fs::path running = OpenedElsewhere(false, &live);
  const fs::path killed = OpenedElsewhere(true, nullptr);
  ASSERT_FALSE(killed.empty());
  ASSERT_FALSE(running.empty());
  std::ofstream(killed / "pic-1.jpg") << "left";
  const fs::path unlocked = temp_ / "pictoss-purple.new123";
  const fs::path other = temp_ / "other-folder";
  fs::create_directory(unlocked);
  fs::create_directory(other);
  ASSERT_TRUE(fs::exists(killed));

  pictoss_purple::SentFiles files;
  std::string why;
  ASSERT_TRUE(files.Open(temp_, &why)) << why;
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_TRUE(fs::exists(running));
  EXPECT_TRUE(fs::exists(unlocked));
  EXPECT_TRUE(fs::exists(other));

  // Once the other client has gone without closing, its folder goes with the next open; this
  // one's own stays.
  close(live);
  while (wait(nullptr) > 0) {
  }
  pictoss_purple::SentFiles next;
  ASSERT_TRUE(next.Open(temp_, &why)) << why;
  EXPECT_FALSE(fs::exists(running));
  const fs::path own = files.folder();
  EXPECT_TRUE(fs::exists(own));
  files.Close();
  EXPECT_FALSE(fs::exists(own));
}

}  // namespace
