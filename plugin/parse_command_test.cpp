// The command handler in this process, with a test clock and no display: what happens before
// the capture (the delay's errors, the fields set up to the failing step, the first test of the
// wait before any dispatch). The capture itself is tested end to end in tests/; here, on a
// private X server, only the state that the one-pass capture leaves in the objects.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "capture/screen_capture.h"
#include "platform/base/text.h"
#include "platform/gdi/bitmap.h"
#include "platform/jpeg/jpeg_test_picture.h"
#include "platform/kernel/temppath.h"
#include "platform/registry/registry.h"
#include "platform/runtime/datetime.h"
#include "platform/runtime/errors.h"
#include "platform/user/messageloop.h"
#include "plugin/parse_command.h"
#include "plugin/pt.h"
#include "tests/support/fake_display.h"
#include "tests/support/private_store.h"
#include "tests/support/runtime_error.h"

#include <sys/stat.h>
#include <turbojpeg.h>

#include <fstream>
#include <iterator>

namespace pictoss {
namespace {

namespace fs = std::filesystem;

// A settings store of the test's own, no display, and the test clock removed afterwards.
class ParseCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* t = getenv("TMPDIR")) tmpdir_ = t;
    if (const char* d = getenv("DISPLAY")) display_ = d;
    setenv("TMPDIR", store_.c_str(), 1);
    unsetenv("DISPLAY");
  }
  void TearDown() override {
    platform::SetClockHook(nullptr);
    platform::SetMonotonicHook(nullptr);
    if (display_) setenv("DISPLAY", display_->c_str(), 1);
    if (tmpdir_)
      setenv("TMPDIR", tmpdir_->c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  void Store(const char* name, const std::string& value) {
    ASSERT_TRUE(settings_.CreateSettingsKey());
    ASSERT_TRUE(settings_.Set(name, value));
  }
  // Runs the command and returns the number of the error it raised (0 for none).
  int Run(PT& pt, const std::u16string& word, const std::u16string& arg, std::u16string& result) {
    auto error = testsupport::ErrorOf([&] { HandleCommand(pt, word, arg, nullptr, result); });
    if (!error) return 0;
    source_ = error->source();
    description_ = error->description();
    return error->number();
  }

  testsupport::PrivateStore settings_;
  fs::path store_ = settings_.root();  // also the temporary folder
  std::optional<std::string> display_;
  std::optional<std::string> tmpdir_;
  std::u16string source_;
  std::u16string description_;
};

std::u16string Folder(const fs::path& p) {
  std::string s = p.string() + "/";
  return std::u16string(s.begin(), s.end());
}

// The failures before the capture: each leaves sResult alone, and the fields hold what the
// steps before the failing one set, in their order; nothing after it.
TEST_F(ParseCommandTest, DelayFailuresKeepTheFieldsSetBeforeThem) {
  Store("FileName", "pic.jpg");
  struct Case {
    const char* stored;  // nullptr: none stored
    std::u16string arg;
    platform::Date clock;  // 0: the real clock
    int error;
    std::u16string delayField;
  } cases[] = {
      {nullptr, u"", 0, 13, u"Error"},
      {"soon", u"<optional time delay>", 0, 13, u"soon"},
      {"0", u"2147483649", 0, 6, u"2147483649"},
      {"0", u"-2147483648", 0, 6, u"-2147483648"},
      {"0", u"2147483648.5", 0, 6, u"2147483648.5"},  // 2147483647.5 rounds to even: too high
      // The clock on the last day of the range: 100 seconds later lies beyond it.
      {"100", u"", platform::kMaxDate - 10.0 / 86400.0, 5, u"100"},
      {"0", u"-100", platform::DateFromParts({100, 1, 1, 0, 0, 10}, u"test"), 5, u"-100"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    if (c.stored) {
      Store("TimeDelay", c.stored);
    } else {
      HKEY key = 0;
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, testsupport::kSettingsSubKey, 0, KEY_WRITE, &key);
      RegDeleteValueA(key, "TimeDelay");
      RegCloseKey(key);
    }
    platform::Date clock = c.clock;
    platform::SetClockHook(clock != 0 ? platform::ClockHook([clock] { return clock; }) : nullptr);
    auto pt = platform::MakeRef<PT>();
    std::u16string result = u"keep";
    EXPECT_EQ(Run(*pt, u"/xptfull", c.arg, result), c.error);
    EXPECT_EQ(source_, u"Vorlick.PT");
    EXPECT_EQ(result, u"keep");
    EXPECT_EQ(pt->sTimeDelay, c.delayField);
    EXPECT_EQ(pt->sFileName, u"pic.jpg");
    EXPECT_EQ(pt->sFilePath, Folder(store_));
    EXPECT_EQ(pt->dTargetTime, 0);
    EXPECT_FALSE(pt->oDib);
    EXPECT_EQ(pt->sReply, u"");
  }
}

// The wait tests the clock before it dispatches anything: with no delay a message that is
// already pending is not run; with a delay it is run while the command waits.
TEST_F(ParseCommandTest, WaitTestsTheClockBeforeTheFirstDispatch) {
  Store("FileName", "pic.jpg");
  Store("TimeDelay", "0");
  // The wall clock stands still; the monotonic clock goes on by a second at each reading.
  const platform::Date start = platform::DateFromParts({2024, 5, 6, 7, 8, 9}, u"test");
  int readings = 0;
  platform::SetClockHook([&] { return start; });
  platform::SetMonotonicHook([&] { return 50.0 + readings++; });
  struct Case {
    std::u16string arg;
    bool dispatched;
  } cases[] = {{u"0", false}, {u"-3", false}, {u"2", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.arg.begin(), c.arg.end()));
    readings = 0;
    bool ran = false;
    platform::PostThreadMessage([&ran] { ran = true; });
    auto pt = platform::MakeRef<PT>();
    std::u16string result = u"keep";
    // Without a display the capture fails after the wait; what counts here is the wait.
    Run(*pt, u"/xptfull", c.arg, result);
    EXPECT_EQ(ran, c.dispatched);
    EXPECT_EQ(result, u"keep");
    platform::DoEvents();  // leaves nothing pending for the next case
  }
}

// A change of the wall clock during the wait, an hour back (the end of daylight-saving time) or
// forward (its start), neither stretches nor cuts the delay: the wait ends when the monotonic
// clock has run the delay from the start.
TEST_F(ParseCommandTest, WaitFollowsTheMonotonicClockThroughAChangeOfTheWallClock) {
  Store("FileName", "pic.jpg");
  Store("TimeDelay", "0");
  const platform::Date start = platform::DateFromParts({2024, 10, 27, 2, 59, 58}, u"test");
  for (const int jump : {-3600, 3600}) {
    SCOPED_TRACE(jump);
    int wallReadings = 0;
    bool stretched = false;
    platform::SetClockHook([&] {
      ++wallReadings;
      // A wait that kept reading the wall clock is let go after a while, and marked.
      if (wallReadings > 2000) stretched = true;
      if (stretched) return start + 1;
      return wallReadings == 1 ? start : start + jump / 86400.0;
    });
    double monotonic = 1000;
    platform::SetMonotonicHook([&] { return monotonic += 0.25; });
    auto pt = platform::MakeRef<PT>();
    std::u16string result = u"keep";
    Run(*pt, u"/xptfull", u"3", result);  // no display: the capture fails after the wait
    EXPECT_FALSE(stretched);
    EXPECT_GE(monotonic - 1000.25, 3.0);  // the first reading is the start
    EXPECT_LT(monotonic - 1000.25, 3.5);
    EXPECT_EQ(pt->dTargetTime, start + 2 / 86400.0);
  }
}

// A stored file name that is not a plain file name would write outside the temporary folder:
// the command raises an error that names it before it waits, and writes nothing.
TEST_F(ParseCommandTest, FileNameThatIsNotAPlainNameIsRefused) {
  Store("TimeDelay", "0");
  fs::create_directory(store_ / "sub");
  struct Case {
    std::string name;
    std::u16string shown;  // in the message, on one line
  } cases[] = {
      {"../victim.txt", u"../victim.txt"},
      {"sub/pic.jpg", u"sub/pic.jpg"},
      {"/tmp/pic.jpg", u"/tmp/pic.jpg"},
      {".", u"."},
      {"..", u".."},
      {"", u""},
      // Control characters would forge lines where the path is shown.
      {"pic.jpg\nsent file /etc/passwd (1 bytes)", u"pic.jpg\\nsent file /etc/passwd (1 bytes)"},
      {"a\rb\tc.jpg", u"a\\rb\\tc.jpg"},
      {"\x1b[2J.jpg", u"\\x1b[2J.jpg"},
      {"del\x7f.jpg", u"del\\x7f.jpg"},
      {std::string("nul\0.jpg", 8), u"nul\\x00.jpg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Store("FileName", c.name);
    auto pt = platform::MakeRef<PT>();
    std::u16string result = u"keep";
    if (auto e = testsupport::RaisedError(
            [&] { HandleCommand(*pt, u"/xptfull", u"5", nullptr, result); })) {
      EXPECT_EQ(e->number(), platform::kBadFileName);
      EXPECT_EQ(e->source(), u"Vorlick.PT");
      EXPECT_EQ(e->description(),
                u"The file name \"" + c.shown +
                    u"\" is not a plain file name: it may not contain \"/\" or control "
                    u"characters, be empty, or be \".\" or \"..\".");
    }
    EXPECT_EQ(result, u"keep");
    EXPECT_EQ(pt->dTargetTime, 0);  // before the wait
  }
  EXPECT_FALSE(fs::exists(store_.parent_path() / "victim.txt"));
  EXPECT_TRUE(fs::is_empty(store_ / "sub"));
}

// A file name that is not UTF-8 (a Latin-1 name) is written under its own bytes, and the reply
// gives back those bytes.
TEST_F(ParseCommandTest, FileNameBytesThatAreNotUtf8AreKept) {
  Store("TimeDelay", "0");
  const std::string name = "caf\xE9.jpg";
  Store("FileName", name);
  testsupport::FakeDisplay screen(64, 48);
  auto pt = platform::MakeRef<PT>();
  std::u16string result;
  ASSERT_EQ(Run(*pt, u"/xptfull", u"0", result), 0) << platform::ToAnsi(description_);
  EXPECT_EQ(platform::ToAnsi(result), "/dropfile " + (store_ / name).string());
  EXPECT_TRUE(fs::exists(store_ / name));
}

// Without $TMPDIR and $XDG_RUNTIME_DIR the pictures go to a folder of the user's own; one that
// is not (a link planted by someone else) stops the command with the reason.
TEST_F(ParseCommandTest, UnsafeTemporaryFolderIsRefused) {
  Store("TimeDelay", "0");
  Store("FileName", "pic.jpg");
  unsetenv("TMPDIR");
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  const std::optional<std::string> savedRuntime =
      runtime ? std::optional<std::string>(runtime) : std::nullopt;
  unsetenv("XDG_RUNTIME_DIR");
  platform::SetPrivateTempParent(store_.string());
  const fs::path folder = store_ / ("pictoss-" + std::to_string(geteuid()));
  fs::create_directory_symlink(store_, folder);
  auto pt = platform::MakeRef<PT>();
  std::u16string result = u"keep";
  EXPECT_EQ(Run(*pt, u"/xptfull", u"0", result), platform::kPathFileAccessError);
  const std::string why =
      "The temporary folder " + folder.string() + " cannot be used: it is a symbolic link";
  EXPECT_EQ(description_, std::u16string(why.begin(), why.end()));
  EXPECT_EQ(pt->GetTempDir().bstrVal(), u"");
  EXPECT_EQ(pt->sFilePath, u"");
  EXPECT_EQ(result, u"keep");
  platform::SetPrivateTempParent("");
  if (savedRuntime) setenv("XDG_RUNTIME_DIR", savedRuntime->c_str(), 1);
}

// A temporary folder whose name has a control character would forge lines where the path is
// shown: the command names it on one line and writes nothing.
TEST_F(ParseCommandTest, TemporaryFolderWithAControlCharacterIsRefused) {
  Store("TimeDelay", "0");
  Store("FileName", "pic.jpg");
  const fs::path folder = store_ / "tmp\nsent file x";
  ASSERT_TRUE(fs::create_directory(folder));
  fs::permissions(folder, fs::perms::owner_all);
  setenv("TMPDIR", folder.c_str(), 1);
  auto pt = platform::MakeRef<PT>();
  std::u16string result = u"keep";
  EXPECT_EQ(Run(*pt, u"/xptfull", u"0", result), platform::kPathFileAccessError);
  const std::string description = platform::ToAnsi(description_);
  EXPECT_EQ(description.rfind("The temporary folder \"", 0), 0u) << description;
  EXPECT_NE(description.find("/tmp\\nsent file x"), std::string::npos) << description;
  EXPECT_NE(description.find("\" has a control character in its name: set TMPDIR to a folder "
                             "whose name has none"),
            std::string::npos)
      << description;
  EXPECT_EQ(description.find('\n'), std::string::npos);
  EXPECT_EQ(result, u"keep");
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(ParseCommandTest, OtherWordsAreLeftToTheHost) {
  auto pt = platform::MakeRef<PT>();
  for (const char16_t* word : {u"/xptfull ", u"xptfull", u"/xpt", u"/dropfile", u"/XPTFULLX"}) {
    std::u16string result = u"keep";
    EXPECT_FALSE(HandleCommand(*pt, word, u"0", nullptr, result));
    EXPECT_EQ(result, u"keep");
    EXPECT_EQ(pt->sTimeDelay, u"");
  }
}

// oDib's pixels as colours, top row first.
std::vector<std::uint32_t> DibColours(const cDIBSection& dib) {
  std::vector<std::uint32_t> px;
  const auto* bits = reinterpret_cast<const BYTE*>(dib.DIBSectionBitsPtr());
  for (int y = 0; y < dib.Height(); ++y) {
    const BYTE* row =
        bits + static_cast<std::size_t>(dib.Height() - 1 - y) * dib.BytesPerScanLine();
    for (int x = 0; x < dib.Width(); ++x)
      px.push_back(row[3 * x] | (row[3 * x + 1] << 8) | (std::uint32_t{row[3 * x + 2]} << 16));
  }
  return px;
}

// The capture's one pass ends where the steps one by one would: the holder keeps the picture,
// oDib holds the same pixels, and the file decodes to one encode of them; when the file cannot
// be written, the error rises and the picture and the pixels stay.
TEST_F(ParseCommandTest, OnePassLeavesThePictureThePixelsAndTheFile) {
  testsupport::FakeDisplay screen(1366, 771);
  for (int i = 0; i < 40; ++i) {
    const std::uint32_t colour = (0x10305070u * (i + 1)) & 0xFFFFFF;
    screen.Paint({31 * i, 17 * i, 200, 90}, [colour](int, int) { return colour; });
  }
  Store("TimeDelay", "0");
  Store("FileName", "shot.jpg");
  auto pt = platform::MakeRef<PT>();
  std::u16string result;
  ASSERT_EQ(Run(*pt, u"/xptfull", u"0", result), 0);
  EXPECT_GT(screen.strip_readers, 0) << "not in one pass";
  ASSERT_TRUE(pt->oDib);
  const std::vector<std::uint32_t> pixels = DibColours(*pt->oDib);
  ASSERT_EQ(pixels.size(), 1366u * 771u);
  EXPECT_EQ(pixels[0], 0x10305070u & 0xFFFFFF);
  int w = 0, h = 0;
  std::vector<std::uint32_t> held;
  ASSERT_TRUE(main().Picture1.Picture());
  ASSERT_TRUE(platform::GetBitmapRgb(main().Picture1.Picture()->Handle(), &w, &h, &held));
  EXPECT_TRUE(held == pixels) << "the holder's picture differs from oDib";

  std::ifstream file(store_ / "shot.jpg", std::ios::binary);
  const std::string jpeg{std::istreambuf_iterator<char>(file), {}};
  tjhandle tj = tjInitCompress();
  unsigned char* one = nullptr;
  unsigned long size = 0;
  ASSERT_EQ(tjCompress2(tj, reinterpret_cast<const BYTE*>(pt->oDib->DIBSectionBitsPtr()), 1366,
                        pt->oDib->BytesPerScanLine(), 771, TJPF_BGR, &one, &size, TJSAMP_420, 90,
                        TJFLAG_BOTTOMUP),
            0);
  EXPECT_TRUE(jpegtest::Decode(jpeg).bgr == jpegtest::Decode(one, size).bgr);
  tjFree(one);
  tjDestroy(tj);

  main().Picture1.SetPicture(nullptr);
  ASSERT_EQ(chmod((store_ / "shot.jpg").c_str(), 0400), 0);
  EXPECT_EQ(Run(*pt, u"/xptfull", u"0", result), platform::kPathFileAccessError);
  ASSERT_TRUE(main().Picture1.Picture());
  ASSERT_TRUE(platform::GetBitmapRgb(main().Picture1.Picture()->Handle(), &w, &h, &held));
  EXPECT_TRUE(held == pixels);
  EXPECT_TRUE(DibColours(*pt->oDib) == pixels);
  main().Picture1.SetPicture(nullptr);
}

// In a running host, a capture of the screen at the size of the last one reads into oDib's DIB
// section in place: the same handle and memory, every pixel the new screen's, the holder's new
// picture the same pixels. A picture of the last capture that someone still holds keeps its own
// pixels. At another size, oDib gets a new DIB section of that size.
TEST_F(ParseCommandTest, ACaptureAtTheLastSizeReadsIntoTheSameDibSection) {
  Store("TimeDelay", "0");
  Store("FileName", "again.jpg");
  auto pt = platform::MakeRef<PT>();
  std::u16string result;
  int w = 0, h = 0;
  std::vector<std::uint32_t> held;
  platform::Ref<Picture> first;
  std::vector<std::uint32_t> firstPixels;
  {
    testsupport::FakeDisplay screen(800, 600);
    screen.Paint([](int x, int y) { return static_cast<std::uint32_t>(x * 7 + y * 3) & 0xFFFFFF; });
    ASSERT_EQ(Run(*pt, u"/xptfull", u"0", result), 0);
    ASSERT_TRUE(pt->oDib);
    const HBITMAP dib = pt->oDib->hDib();
    const LONG_PTR bits = pt->oDib->DIBSectionBitsPtr();
    first = main().Picture1.Picture();
    ASSERT_TRUE(first);
    firstPixels = DibColours(*pt->oDib);

    screen.Paint([](int x, int y) { return 0x804020u ^ static_cast<std::uint32_t>(x * y); });
    const int readers = screen.strip_readers;
    ASSERT_EQ(Run(*pt, u"/xptfull", u"0", result), 0);
    EXPECT_GT(screen.strip_readers, readers) << "not in one pass";
    EXPECT_EQ(pt->oDib->hDib(), dib);
    EXPECT_EQ(pt->oDib->DIBSectionBitsPtr(), bits);
    const std::vector<std::uint32_t> pixels = DibColours(*pt->oDib);
    ASSERT_EQ(pixels.size(), 800u * 600u);
    EXPECT_EQ(pixels[0], 0x804020u);
    EXPECT_EQ(pixels[800 + 3], 0x804023u);  // x 3, y 1
    ASSERT_TRUE(platform::GetBitmapRgb(main().Picture1.Picture()->Handle(), &w, &h, &held));
    EXPECT_TRUE(held == pixels) << "the holder's picture differs from oDib";
    ASSERT_TRUE(platform::GetBitmapRgb(first->Handle(), &w, &h, &held));
    EXPECT_TRUE(held == firstPixels) << "the last capture's picture lost its pixels";
  }
  testsupport::FakeDisplay smaller(640, 480);
  smaller.Paint([](int, int) { return 0x123456u; });
  ASSERT_EQ(Run(*pt, u"/xptfull", u"0", result), 0);
  EXPECT_EQ(pt->oDib->Width(), 640);
  EXPECT_EQ(pt->oDib->Height(), 480);
  EXPECT_TRUE(DibColours(*pt->oDib) == std::vector<std::uint32_t>(640u * 480u, 0x123456u));
  ASSERT_TRUE(platform::GetBitmapRgb(first->Handle(), &w, &h, &held));
  EXPECT_TRUE(held == firstPixels);
  main().Picture1.SetPicture(nullptr);
}

// The screen shrinks in the middle of a capture, between strips of the one pass or at the first
// read of the steps one by one: the command fails with the reason and the remedy, answers
// nothing, writes no file and keeps no picture; the next capture has the new size.
TEST_F(ParseCommandTest, AScreenThatShrinksDuringTheCaptureFailsIt) {
  Store("TimeDelay", "0");
  Store("FileName", "shot.jpg");
  const struct {
    const char* name;
    bool strips;
    int reads;  // before the shrink
  } cases[] = {{"in one pass", true, 2}, {"step by step", false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::FakeDisplay screen(640, 400);  // read on one thread, in strips of 64 rows
    screen.Paint([](int x, int y) { return std::uint32_t(x ^ y) * 0x010101u & 0xFFFFFF; });
    screen.strips = c.strips;
    screen.ShrinkAfter(c.reads, 320, 200);
    main().Picture1.SetPicture(nullptr);
    auto pt = platform::MakeRef<PT>();
    std::u16string result = u"keep";
    EXPECT_EQ(Run(*pt, u"/xptfull", u"0", result), kNothingToCaptureError);
    EXPECT_EQ(source_, u"Vorlick");
    EXPECT_EQ(platform::ToAnsi(description_),
              "The screen changed size during the capture: capture it again at its new size");
    EXPECT_EQ(result, u"keep");
    EXPECT_FALSE(fs::exists(store_ / "shot.jpg"));
    EXPECT_FALSE(main().Picture1.Picture());
    EXPECT_EQ(screen.Screen().primary, (platform::ScreenRect{0, 0, 320, 200})) << "not shrunk";

    ASSERT_EQ(Run(*pt, u"/xptfull", u"0", result), 0) << platform::ToAnsi(description_);
    std::ifstream file(store_ / "shot.jpg", std::ios::binary);
    const jpegtest::Decoded picture =
        jpegtest::Decode(std::string{std::istreambuf_iterator<char>(file), {}});
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.height, 200);
    fs::remove(store_ / "shot.jpg");
  }
  main().Picture1.SetPicture(nullptr);
}

}  // namespace
}  // namespace pictoss
