#include "platform/kernel/file_replace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

using testsupport::Entries;
using testsupport::ReadAll;
using testsupport::WriteAll;

platform::Piece Bytes(const std::string& s) {
  return {reinterpret_cast<const BYTE*>(s.data()), s.size()};
}

int Replace(const fs::path& path, const std::string& content) {
  const platform::Piece whole = Bytes(content);
  return platform::ReplaceFileContents(path.c_str(), whole.data(), whole.size());
}

struct stat Lstat(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

void SetTimes(const fs::path& path, timespec atime, timespec mtime) {
  const timespec times[2] = {atime, mtime};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Times that no write of today can produce, with nanoseconds that a coarser copy would lose.
constexpr timespec kOldAccess = {1000000000, 123456789};
constexpr timespec kOldModify = {1100000000, 987654321};

class ReplaceFile : public ::testing::Test {
 protected:
  void SetUp() override { oldMask_ = umask(022); }
  void TearDown() override { umask(oldMask_); }
  testsupport::TempFolder folder_{"replace"};
  const fs::path& dir_ = folder_.path();
  const fs::path path_ = dir_ / "capture.jpg";
  mode_t oldMask_ = 0;
};

TEST_F(ReplaceFile, NewFileIsReadableByItsOwnerOnlyAndHasTimesOfNow) {
  const time_t before = time(nullptr);
  ASSERT_EQ(Replace(path_, "new content"), 0);
  EXPECT_EQ(ReadAll(path_), "new content");
  const struct stat st = Lstat(path_);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_GE(st.st_mtim.tv_sec, before - 1);
  EXPECT_GE(st.st_atim.tv_sec, before - 1);
  EXPECT_EQ(Entries(dir_), std::set<std::string>{"capture.jpg"});
}

// Pieces are written one after the other, empty ones and more than one writev takes included.
TEST_F(ReplaceFile, PiecesMakeOneFile) {
  std::string expected;
  std::vector<std::string> texts;
  for (int i = 0; i < 1500; ++i) texts.push_back(i % 7 == 3 ? "" : std::to_string(i) + ",");
  std::vector<platform::Piece> pieces;
  for (const std::string& t : texts) {
    pieces.push_back(Bytes(t));
    expected += t;
  }
  ASSERT_EQ(platform::ReplaceFileContents(path_.c_str(), pieces), 0);
  EXPECT_EQ(ReadAll(path_), expected);
}

TEST_F(ReplaceFile, ReplacingKeepsPermissionsAndTimesToTheNanosecond) {
  for (const mode_t mode : {0600u, 0640u, 0664u, 0700u, 0200u}) {
    SCOPED_TRACE(testing::Message() << std::oct << mode);
    WriteAll(path_, "old content, rather longer than the new one");
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    SetTimes(path_, kOldAccess, kOldModify);
    ASSERT_EQ(Replace(path_, "new"), 0);
    const struct stat st = Lstat(path_);  // before reading, which may set the access time
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_TRUE(SameTime(st.st_atim, kOldAccess));
    EXPECT_TRUE(SameTime(st.st_mtim, kOldModify));
    EXPECT_EQ(ReadAll(path_), "new");
    EXPECT_EQ(Entries(dir_), std::set<std::string>{"capture.jpg"});
  }
}

// The old file loses its name and nothing else: a reader that has it open, such as a transfer of
// the last capture, reads it to the end, and another name for it keeps it whole.
TEST_F(ReplaceFile, OldFileStaysWholeForItsReadersAndOtherNames) {
  const std::string old(300 * 1024, 'o');
  WriteAll(path_, old);
  const fs::path other = dir_ / "kept";
  fs::create_hard_link(path_, other);
  const int reader = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Replace(path_, "new " + std::to_string(i)), 0);
  EXPECT_EQ(ReadAll(path_), "new 2");
  EXPECT_EQ(ReadAll(other), old);
  struct stat st {};
  ASSERT_EQ(fstat(reader, &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);  // the other name only
  std::string read(old.size() + 1, '\0');
  EXPECT_EQ(pread(reader, read.data(), read.size(), 0), static_cast<ssize_t>(old.size()));
  close(reader);
  EXPECT_EQ(read.substr(0, old.size()), old);
  EXPECT_EQ(Entries(dir_), (std::set<std::string>{"capture.jpg", "kept"}));
}

// Made in steps, the new file takes the old one's place only at Commit: until then, and for
// good when the replacement is given up, the old file is as it was and no temp file stays.
TEST_F(ReplaceFile, StepsReplaceOnlyAtCommit) {
  WriteAll(path_, "old");
  const std::string part1 = "first part, ", part2 = "second part";
  {
    platform::FileReplacement file;
    EXPECT_FALSE(file.begun());
    ASSERT_EQ(file.Begin(path_.c_str()), 0);
    EXPECT_TRUE(file.begun());
    const platform::Piece first[] = {Bytes(part1)};
    ASSERT_EQ(file.Append(first), 0);
    EXPECT_EQ(ReadAll(path_), "old");
    EXPECT_EQ(Entries(dir_).size(), 2u);  // and the temp file
  }
  EXPECT_EQ(ReadAll(path_), "old");
  EXPECT_EQ(Entries(dir_), std::set<std::string>{"capture.jpg"});

  platform::FileReplacement file;
  ASSERT_EQ(file.Begin(path_.c_str()), 0);
  const platform::Piece first[] = {Bytes(part1)}, second[] = {Bytes(part2)};
  ASSERT_EQ(file.Append(first), 0);
  ASSERT_EQ(file.Append(second), 0);
  ASSERT_EQ(file.Commit(), 0);
  EXPECT_EQ(ReadAll(path_), part1 + part2);
  EXPECT_EQ(Entries(dir_), std::set<std::string>{"capture.jpg"});

  // A step that fails stays failed: nothing more is written, and Commit reports it.
  platform::FileReplacement missing;
  EXPECT_EQ(missing.Begin((dir_ / "no such folder" / "capture.jpg").c_str()), -ENOENT);
  EXPECT_EQ(missing.Append(first), -ENOENT);
  EXPECT_EQ(missing.Commit(), -ENOENT);
  EXPECT_EQ(ReadAll(path_), part1 + part2);
}

// The name is fixed and the folder may be shared: a link planted there must not redirect the
// write, and its 0777 must not become the new file's permissions.
TEST_F(ReplaceFile, LinkAtThePathIsReplacedAndItsTargetUntouched) {
  const fs::path elsewhere = dir_ / "elsewhere";
  fs::create_directory(elsewhere);
  const fs::path target = elsewhere / "precious";
  WriteAll(target, "precious bytes\n\x01\x02");
  SetTimes(target, kOldAccess, kOldModify);
  const fs::path missing = elsewhere / "missing";
  for (const fs::path& pointsTo : {target, missing}) {
    SCOPED_TRACE(pointsTo);
    fs::remove(path_);
    fs::create_symlink(pointsTo, path_);
    ASSERT_EQ(Replace(path_, "new"), 0);
    const struct stat st = Lstat(path_);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadAll(path_), "new");
    EXPECT_EQ(ReadAll(target), "precious bytes\n\x01\x02");
    EXPECT_TRUE(SameTime(Lstat(target).st_mtim, kOldModify));
    EXPECT_EQ(Entries(elsewhere), std::set<std::string>{"precious"});
  }
}

// Checked on the permission bits, not with access(): the test may run as root, which may write
// anything, and the attribute is about what the owner asked for.
TEST_F(ReplaceFile, ReadOnlyFileIsLeftAlone) {
  for (const mode_t mode : {0444u, 0400u, 0000u, 0666u & ~0200u}) {
    SCOPED_TRACE(testing::Message() << std::oct << mode);
    fs::remove(path_);
    WriteAll(path_, "old");
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    EXPECT_EQ(Replace(path_, "new"), platform::kReplaceReadOnly);
    EXPECT_EQ(ReadAll(path_), "old");
    EXPECT_EQ(Lstat(path_).st_mode & 07777, mode);
    EXPECT_EQ(Entries(dir_), std::set<std::string>{"capture.jpg"});
  }
}

TEST_F(ReplaceFile, PathsThatCannotHoldTheFileFailWithTheirErrno) {
  fs::create_directory(dir_ / "folder");
  WriteAll(dir_ / "plain", "plain");
  struct Case {
    std::string path;
    int status;
  };
  const Case cases[] = {
      {(dir_ / "no such folder" / "capture.jpg").string(), -ENOENT},
      {(dir_ / "plain" / "capture.jpg").string(), -ENOTDIR},
      {(dir_ / "folder").string(), -EISDIR},
      {(dir_ / "folder").string() + "/", -EISDIR},
      {"", -EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Replace(c.path, "new"), c.status);
    EXPECT_EQ(Entries(dir_), (std::set<std::string>{"folder", "plain"}));
    EXPECT_TRUE(Entries(dir_ / "folder").empty());
    EXPECT_EQ(ReadAll(dir_ / "plain"), "plain");
  }
  EXPECT_EQ(platform::ReplaceFileContents(nullptr, nullptr, 0), -EINVAL);
  EXPECT_EQ(platform::ReplaceFileContents(path_.c_str(), nullptr, 1), -EINVAL);
}

// Unmounts when the test ends, however it ends.
struct TmpfsMount {
  explicit TmpfsMount(const fs::path& where) : at(where) {
    fs::create_directory(at);
    mounted = mount("tmpfs", at.c_str(), "tmpfs", 0, "size=64k,mode=0700") == 0;
    error = errno;
  }
  ~TmpfsMount() {
    if (mounted) umount2(at.c_str(), MNT_DETACH);
  }
  fs::path at;
  bool mounted = false;
  int error = 0;
};

TEST_F(ReplaceFile, FullDiskLeavesTheOldFileAndNoStrayFile) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  TmpfsMount disk(dir_ / "small");
  if (!disk.mounted) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(disk.error);
  }
  const fs::path path = disk.at / "capture.jpg";
  const std::string old(16 * 1024, 'o');
  WriteAll(path, old);
  EXPECT_EQ(Replace(path, std::string(256 * 1024, 'n')), -ENOSPC);
  EXPECT_EQ(ReadAll(path), old);
  EXPECT_EQ(Entries(disk.at), std::set<std::string>{"capture.jpg"});
}

}  // namespace

// A file that another user planted at the path gives the new picture neither its mode nor
// its readers: the new file is the writer's alone.
TEST_F(ReplaceFile, PlantedFileOfAnotherUserDoesNotLendItsMode) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  WriteAll(path_, "planted");
  ASSERT_EQ(chmod(path_.c_str(), 0666), 0);
  ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
  ASSERT_EQ(Replace(path_, "picture"), 0);
  const struct stat st = Lstat(path_);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(ReadAll(path_), "picture");
}

// Temp files that a killed write left behind go on the next write, but only the writer's own
// ones of this name that have been left for over a minute and that no write holds: a write under
// way gives its temp file the old picture's times before its rename, and keeps it locked.
TEST_F(ReplaceFile, NextWriteRemovesLeftoversOfKilledWrites) {
  const timespec old = {std::time(nullptr) - 120, 0};
  struct Case {
    std::string name;
    bool stale;
    bool held;
    bool removed;
  } cases[] = {
      {".capture.jpg.abcdefghij12", true, false, true},
      {".capture.jpg.0123456789ab", false, false, false},  // a write may be under way
      {".capture.jpg.writing00001", true, true, false},    // a write under way, old times taken
      {".capture.jpg.abcdefghij1", true, false, false},    // not a temp name of ours
      {".capture.jpg.ABCDEFGHIJ12", true, false, false},
      {".other.jpg.abcdefghij12", true, false, false},
      {"capture.jpg.abcdefghij12", true, false, false},
  };
  std::vector<int> writers;
  for (const Case& c : cases) {
    WriteAll(dir_ / c.name, "leftover");
    if (c.stale) SetTimes(dir_ / c.name, old, old);
    if (c.held) {
      writers.push_back(open((dir_ / c.name).c_str(), O_WRONLY | O_CLOEXEC));
      ASSERT_EQ(flock(writers.back(), LOCK_EX | LOCK_NB), 0);
    }
  }
  const fs::path foreign = dir_ / ".capture.jpg.zzzzzzzzzzzz";
  if (geteuid() == 0) {  // another user's file of that pattern is not ours to remove
    WriteAll(foreign, "theirs");
    SetTimes(foreign, old, old);
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(Replace(path_, "picture"), 0);
  for (const Case& c : cases) EXPECT_EQ(fs::exists(dir_ / c.name), !c.removed) << c.name;
  if (geteuid() == 0) {
    EXPECT_TRUE(fs::exists(foreign));
  }
  for (int fd : writers) close(fd);
}
