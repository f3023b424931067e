#include "imaging/jpeg_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "platform/base/row_bytes.h"
#include "platform/base/text.h"
#include "platform/jpeg/jpeg_test_picture.h"
#include "platform/runtime/errors.h"
#include "tests/support/runtime_error.h"
#include "tests/support/temp_folder.h"

namespace pictoss {
namespace {

namespace fs = std::filesystem;

using testsupport::ReadAll;
using testsupport::WriteAll;

// A DIB section holding the test picture. The stride is worked out here, not asked of the
// object: 3 bytes a pixel, rounded up to 4.
platform::Ref<cDIBSection> TestDib(int width, int height) {
  auto dib = platform::MakeRef<cDIBSection>();
  if (!dib->Create(width, height) || dib->DIBSectionBitsPtr() == 0) {
    ADD_FAILURE() << "cannot create a " << width << "x" << height << " DIB section";
    return dib;
  }
  jpegtest::PaintTestPicture(reinterpret_cast<BYTE*>(dib->DIBSectionBitsPtr()), width, height,
                             static_cast<LONG>(platform::DibRowBytes(width)));
  return dib;
}

class JpegWriter : public ::testing::Test {
 protected:
  std::set<std::string> Entries() const { return testsupport::Entries(dir_); }
  // Runs WriteJpegFile, which must raise; returns the error.
  platform::RuntimeError WriteFails(const DIBSectionBase& dib, const std::u16string& path,
                                    LONG quality) {
    return testsupport::RaisedError([&] { WriteJpegFile(dib, path, quality); })
        .value_or(platform::RuntimeError(0, u"", u""));
  }

  testsupport::TempFolder folder_{"jpeg"};
  const fs::path& dir_ = folder_.path();
  const fs::path path_ = dir_ / "capture.jpg";
};

// The picture checks are explained at ExpectTestPicture. Widths 1 to 5 give every count of
// filler bytes (1, 2, 3, 0, 1).
TEST_F(JpegWriter, WritesThePictureUprightWithItsColours) {
  struct Size {
    int width, height;
  };
  for (const Size size :
       {Size{47, 33}, Size{1, 1}, Size{1, 9}, Size{2, 9}, Size{3, 9}, Size{4, 9}, Size{5, 9}}) {
    SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
    const auto dib = TestDib(size.width, size.height);
    ASSERT_TRUE(WriteJpegFile(*dib, platform::FromAnsi(path_.string()), 90));
    jpegtest::ExpectTestPicture(jpegtest::Decode(ReadAll(path_)), size.width, size.height);
  }
}

TEST_F(JpegWriter, ReplacedFileKeepsPermissionsAndTimes) {
  WriteAll(path_, "old");
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  const timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  ASSERT_TRUE(WriteJpegFile(*TestDib(8, 8), platform::FromAnsi(path_.string()), 90));
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
  EXPECT_EQ(st.st_atim.tv_nsec, times[0].tv_nsec);
  EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec);
  EXPECT_FALSE(jpegtest::Decode(ReadAll(path_)).bgr.empty());
}

// The test program holds the writer, so its own name stands where PT.so gives "PT".
TEST_F(JpegWriter, FailuresRaiseTheirErrorAndLeaveTheOldFile) {
  const std::u16string moduleSource =
      platform::FromAnsi(program_invocation_short_name) + u".mIntelJPEGLibrary";
  const auto picture = TestDib(5, 3);
  const auto empty = platform::MakeRef<cDIBSection>();
  const std::u16string path = platform::FromAnsi(path_.string());
  const std::u16string inMissingFolder =
      platform::FromAnsi((dir_ / "missing" / "capture.jpg").string());
  struct Case {
    const char* what;
    const DIBSectionBase& dib;
    std::u16string path;
    LONG quality;
    mode_t mode;
    std::int32_t number;
    std::u16string source, description;
  };
  const Case cases[] = {
      {"no pixels", *empty, path, 90, 0644, 26001, moduleSource, u"Failed to save to JPG -3"},
      {"quality 0", *picture, path, 0, 0644, 26001, moduleSource, u"Failed to save to JPG -5"},
      {"quality 101", *picture, path, 101, 0644, 26001, moduleSource, u"Failed to save to JPG -5"},
      {"missing folder", *picture, inMissingFolder, 90, 0644, 26001, moduleSource,
       u"Failed to save to JPG: No such file or directory (" + inMissingFolder + u")"},
      {"file as folder", *picture, path + u"/capture.jpg", 90, 0644, 26001, moduleSource,
       u"Failed to save to JPG: Not a directory (" + path + u"/capture.jpg)"},
      {"zero in the name", *picture, path + u'\0' + u"x", 90, 0644, 26001, moduleSource,
       u"Failed to save to JPG " + platform::FromAnsi(std::to_string(-EINVAL))},
      {"read-only file", *picture, path, 90, 0444, 75, u"Vorlick", u"Path/File access error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(path_);
    WriteAll(path_, "old bytes");
    ASSERT_EQ(chmod(path_.c_str(), c.mode), 0);
    const platform::RuntimeError error = WriteFails(c.dib, c.path, c.quality);
    EXPECT_EQ(error.number(), c.number);
    EXPECT_EQ(error.source(), c.source);
    EXPECT_EQ(error.description(), c.description);
    EXPECT_EQ(ReadAll(path_), "old bytes");
    EXPECT_EQ(Entries(), std::set<std::string>{"capture.jpg"});
  }
}

TEST(ModuleBaseName, DropsFolderAndExtension) {
  struct Case {
    const char* path;
    const char* name;
  };
  for (const Case c :
       {Case{"/usr/lib/pictoss/PT.so", "PT"}, Case{"PT.so", "PT"}, Case{"/opt/v1.2/PT", "PT"},
        Case{"/x/.hidden", ".hidden"}, Case{"libfoo.so.1", "libfoo.so"}, Case{"", ""}}) {
    EXPECT_EQ(ModuleBaseName(c.path), c.name) << c.path;
  }
}

// A writer that keeps replacing the file, alternating two qualities, is killed at a random
// moment, 200 times; whatever it was doing, the path holds one of the two complete files. A
// kill between the temp file's creation and the rename leaves that temp file behind; the count
// is printed. It is small: on ext4 the rename over an existing file waits while the new data
// is sent to the disk, and a kill cannot cut a system call short, so most kills land in the
// encoding or in the rename.
TEST_F(JpegWriter, KilledWriterLeavesTheOldOrTheNewFileWhole) {
  const auto dib = TestDib(160, 120);
  const std::u16string path = platform::FromAnsi(path_.string());
  std::string files[2];
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(WriteJpegFile(*dib, path, i % 2 == 0 ? 90 : 40));
    files[i % 2] = ReadAll(path_);
  }
  // Kills spread over about ten writes, so that most land after the child's start-up.
  const auto cycle = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - start) /
                     10;
  ASSERT_FALSE(jpegtest::Decode(files[0]).bgr.empty());
  ASSERT_FALSE(jpegtest::Decode(files[1]).bgr.empty());
  ASSERT_NE(files[0], files[1]);
  std::mt19937 random(12345);
  int interrupted = 0;
  for (int round = 0; round < 200; ++round) {
    WriteAll(path_, files[round % 2]);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (unsigned n = 0;; ++n) WriteJpegFile(*dib, path, n % 2 == 0 ? 90 : 40);
    }
    usleep(std::uniform_int_distribution<useconds_t>(0, 1000 + 10 * cycle.count())(random));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string now = ReadAll(path_);
    ASSERT_TRUE(now == files[0] || now == files[1]) << "round " << round << ": " << now.size();
    for (const std::string& name : Entries()) {
      if (name == "capture.jpg") continue;
      ++interrupted;
      fs::remove(dir_ / name);
    }
  }
  std::cout << interrupted << " of 200 kills left a temp file behind\n";
}

}  // namespace
}  // namespace pictoss
