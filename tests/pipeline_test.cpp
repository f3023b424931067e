// The capture commands end to end: the host program loads the real module and sends it the
// commands, on a private X server whose pixels the test has painted, with a settings store
// and a temp folder of the test's own.
#include <gtest/gtest.h>

#include <X11/extensions/Xrandr.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "product/product.h"
#include "tests/host_harness.h"
#include "tests/support/ui_test_driver.h"
#include "tests/support/xvfb.h"

namespace {

using namespace std::chrono_literals;
using harness::Block;
using harness::Color;

constexpr int kScreenWidth = 640;
constexpr int kScreenHeight = 480;
constexpr const char* kSettingsSubKey = product::kSettingsSubKey.a;

// The screen: a dark background with blocks of clearly different colours, on the 16-pixel grid
// of the encoder's 4:2:0 blocks, so that every block's inside is flat in the JPEG. Red at the
// top left and blue at the bottom right also catch a picture that is flipped or has red and
// blue swapped.
const Color kBackground{40, 40, 40};
const std::vector<Block> kScreenBlocks = {
    {32, 32, 160, 96, {220, 30, 30}},      {448, 32, 160, 96, {30, 200, 30}},
    {32, 352, 160, 96, {240, 220, 40}},    {448, 352, 160, 96, {30, 30, 220}},
    {240, 176, 160, 128, {250, 250, 250}},
};

// The foreground window of the /xptactive test: off the screen's 16-pixel grid on purpose,
// with its own blocks on its own grid.
constexpr int kActiveX = 100, kActiveY = 60, kActiveWidth = 208, kActiveHeight = 144;
const Color kActiveBackground{200, 120, 40};
const std::vector<Block> kActiveBlocks = {
    {16, 16, 80, 48, {20, 20, 240}},
    {112, 80, 80, 48, {20, 230, 230}},
};

// Flat JPEG blocks come back within the rounding of the colour conversion (about 1 level a
// channel each way) and the quantisation of their DC term, which at quality 90 moves a flat
// block by well under one level; 16 pixels from every colour edge keeps the ringing of the
// edge blocks and the smearing of the halved chroma out. 6 leaves room for both roundings
// with a margin and still fails for any wrong colour in the pattern.
constexpr int kTolerance = 6;
constexpr int kMargin = 16;

// The realtime clock, for comparison with file times.
double RealNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The time of the file's last write on the real clock. File times come from the kernel's coarse
// clock, which lags the real one by up to a timer tick (10 ms at the slowest rate): a write just
// after a second's tick may carry a time just before it, so the tick is added.
double ModifiedAt(const harness::fs::path& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9 + 0.01;
}

harness::fs::path HostPath() {
  // The build tree keeps the host in host/ beside this program's tests/ folder.
  return harness::fs::canonical("/proc/self/exe").parent_path().parent_path() / "host" / "pictoss";
}

// One user's world: a settings store and a temp folder of its own, set up by `pictoss setup`.
class Sandbox {
 public:
  Sandbox() {
    harness::Run setup = Run({"setup"});
    if (setup.status != 0) throw std::runtime_error("pictoss setup failed: " + setup.err);
    Set("TimeDelay", "0");
    Set("FileName", "shot.jpg");
  }

  std::vector<std::string> Env(const std::string& tmp = "") const {
    return {"PICTOSS_PREFIX=" + store_.path().string(),
            "TMPDIR=" + (tmp.empty() ? tmp_.path().string() : tmp)};
  }
  harness::Run Run(std::vector<std::string> args, const std::string& tmp = "") const {
    args.insert(args.begin(), HostPath().string());
    return harness::RunProgram(args, Env(tmp));
  }
  std::unique_ptr<harness::Child> Start(std::vector<std::string> args) const {
    args.insert(args.begin(), HostPath().string());
    return std::make_unique<harness::Child>(args, Env());
  }
  // ParseCommand through the host's invoke, with sResult passed in as "keep".
  harness::Run Parse(const std::string& word, const std::string& arg,
                     const std::string& tmp = "") const {
    return Run({"invoke", "ParseCommand", "str:" + word, "str:" + arg, "nothing:", "&str:keep"},
               tmp);
  }

  // The settings, written straight into the store.
  void Set(const char* name, const std::string& value) const {
    harness::ScopedEnv prefix("PICTOSS_PREFIX", store_.path().string());
    HKEY key = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsSubKey, 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void Delete(const char* name) const {
    harness::ScopedEnv prefix("PICTOSS_PREFIX", store_.path().string());
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsSubKey, 0, KEY_WRITE, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, name), ERROR_SUCCESS);
    RegCloseKey(key);
  }

  const harness::fs::path& tmp() const { return tmp_.path(); }
  std::string File(const std::string& name = "shot.jpg") const { return (tmp() / name).string(); }

 private:
  harness::TempDir store_;
  harness::TempDir tmp_;
};

// What `pictoss invoke ParseCommand` printed: the call's outcome, the Boolean and sResult.
struct Parsed {
  bool ok = false;
  bool result = false;
  std::string sResult;
  std::string error;  // "number (source): description" of a failed call
};

std::string JsonStringAt(const std::string& json, std::size_t at) {
  std::string out;
  for (std::size_t i = at; i < json.size() && json[i] != '"'; ++i) {
    if (json[i] == '\\' && i + 1 < json.size()) ++i;
    out += json[i];
  }
  return out;
}

std::string JsonField(const std::string& json, const std::string& prefix) {
  std::size_t at = json.find(prefix);
  return at == std::string::npos ? "<none>" : JsonStringAt(json, at + prefix.size());
}

Parsed ReadParsed(const harness::Run& run) {
  Parsed p;
  const std::string& j = run.out;
  // A clean exit too: a sanitizer's report at exit changes the status.
  p.ok = j.find("{\"ok\":true") == 0 && run.status == 0;
  p.result = j.find("\"result\":{\"type\":\"bool\",\"value\":true}") != std::string::npos;
  p.sResult = JsonField(j, "\"byref\":[{\"type\":\"str\",\"value\":\"");
  std::size_t number = j.find("\"number\":");
  if (number != std::string::npos) {
    p.error = std::to_string(std::atoi(j.c_str() + number + 9)) + " (" +
              JsonField(j, "\"source\":\"") + "): " + JsonField(j, "\"description\":\"");
  }
  return p;
}

class PipelineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xvfb_ = new testsupport::XvfbServer(kScreenWidth, kScreenHeight, 24);
    screen_ = new harness::Painter();
    screenWindow_ = screen_->Show(0, 0, kScreenWidth, kScreenHeight, kBackground, kScreenBlocks);
  }
  static void TearDownTestSuite() {
    delete screen_;
    delete xvfb_;
  }
  // The screen's own window in front, so that "/xptactive" has a window to take.
  void SetUp() override { screen_->Focus(screenWindow_); }

  // Invokes a command that shows the dialog titled `title`, checks that nothing is answered while
  // it is open, has `close` close it and reads the reply (with what the host wrote, where the
  // call failed).
  Parsed DialogReply(std::vector<std::string> invoke, const char* title,
                     const std::function<bool(unsigned long dialog)>& close) {
    auto call = box_.Start(std::move(invoke));
    unsigned long dialog = uitest::WaitForWindow(title);
    Parsed failed;
    if (!dialog) {
      failed.error = "no dialog: " + call->err();
      return failed;
    }
    EXPECT_FALSE(call->LineSoFar()) << "answered before the dialog was closed";
    if (!close(dialog)) {
      failed.error = "the dialog could not be closed";
      return failed;
    }
    harness::Run closed;
    closed.status = call->Finish();
    closed.out = call->out();
    Parsed p = ReadParsed(closed);
    if (!p.ok || !p.result) p.error += " " + closed.out + call->err();
    return p;
  }

  static testsupport::XvfbServer* xvfb_;
  static harness::Painter* screen_;
  static unsigned long screenWindow_;
  Sandbox box_;
};

testsupport::XvfbServer* PipelineTest::xvfb_ = nullptr;
harness::Painter* PipelineTest::screen_ = nullptr;
unsigned long PipelineTest::screenWindow_ = 0;

TEST_F(PipelineTest, RecognisesTheWholeWordInAnyCase) {
  struct Case {
    const char* word;
    bool recognised;
  } cases[] = {
      {"/xptfull", true},      {"/XPTFULL", true},   {"/XptActive", true}, {"xptfull", false},
      {" /xptfull", false},    {"/xptfull ", false}, {"/xptful", false},   {"/xptfulll", false},
      {"/xptactive\t", false}, {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("word '") + c.word + "'");
    std::error_code ec;
    harness::fs::remove(box_.File(), ec);
    Parsed p = ReadParsed(box_.Parse(c.word, "0"));
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.result, c.recognised);
    EXPECT_EQ(p.sResult, c.recognised ? "/dropfile " + box_.File() : "keep");
    EXPECT_EQ(harness::fs::exists(box_.File()), c.recognised);
  }
}

// Sleeps until just after the realtime clock's next whole second.
void SleepUntilJustAfterATick() {
  double now = RealNow();
  double wait = std::floor(now) + 1.02 - now;
  std::this_thread::sleep_for(std::chrono::duration<double>(wait));
}

// The delay is chosen from the argument or the setting and waited out on the whole-second
// clock: a whole delay of d >= 1 ends at the tick d seconds after the second of the call, that
// is between d - 1 and d seconds after the call, and the capture follows that tick at once (the
// mended wait blocks at most 10 ms a round). The host is started just after a tick, so that the
// call falls into the same second as the start whatever the host's start-up costs (under 0.9 s).
// The cases run in their own sandboxes, a few at a time.
TEST_F(PipelineTest, ChoosesAndWaitsOutTheDelay) {
  struct Case {
    const char* stored;  // nullptr: no TimeDelay stored
    const char* arg;
    int seconds;  // the whole delay in effect; 0 or less: no wait
  } cases[] = {
      {"0", "5", 5},
      {nullptr, "5", 5},
      {"3", "<optional time delay>", 3},
      {"2", "abc", 2},
      {"2", "", 2},
      {"2", "<Optional time delay>", 2},  // the placeholder is compared case-sensitively
      {"5", "0", 0},
      {"5", "-2", 0},
  };
  struct Running {
    const Case* c;
    std::unique_ptr<Sandbox> box;
    std::unique_ptr<harness::Child> child;
    double started;
  };
  constexpr std::size_t kWave = 3;
  for (std::size_t first = 0; first < std::size(cases); first += kWave) {
    std::vector<Running> running;
    for (std::size_t i = first; i < std::min(first + kWave, std::size(cases)); ++i) {
      auto box = std::make_unique<Sandbox>();
      if (cases[i].stored)
        box->Set("TimeDelay", cases[i].stored);
      else
        box->Delete("TimeDelay");
      running.push_back({&cases[i], std::move(box), nullptr, 0});
    }
    SleepUntilJustAfterATick();
    for (Running& r : running) {
      r.started = RealNow();
      r.child = r.box->Start({"invoke", "ParseCommand", "str:/xptfull",
                              std::string("str:") + r.c->arg, "nothing:", "&str:keep"});
    }
    for (Running& r : running) {
      SCOPED_TRACE(std::string("stored ") + (r.c->stored ? r.c->stored : "none") + ", argument '" +
                   r.c->arg + "'");
      harness::Run run;
      run.status = r.child->Finish();
      run.out = r.child->out();
      Parsed p = ReadParsed(run);
      ASSERT_TRUE(p.ok && p.result) << run.out << r.child->err();
      EXPECT_EQ(p.sResult, "/dropfile " + r.box->File());
      // The file's time is that of the write, a few milliseconds after the capture.
      double written = ModifiedAt(r.box->File());
      if (r.c->seconds >= 1) {
        EXPECT_EQ(std::floor(written), std::floor(r.started) + r.c->seconds)
            << "written " << written - r.started << " s after the start";
        EXPECT_LT(written - std::floor(written), 0.2);
      } else {
        EXPECT_LT(written - r.started, 0.9);
      }
    }
  }
}

TEST_F(PipelineTest, NoDelayAnywhereFailsWithTypeMismatchBeforeCapturing) {
  box_.Delete("TimeDelay");
  for (const char* arg : {"", "abc", "<optional time delay>"}) {
    SCOPED_TRACE(arg);
    harness::Run run = box_.Parse("/xptfull", arg);
    Parsed p = ReadParsed(run);
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(p.ok);
    EXPECT_FALSE(p.result);
    EXPECT_EQ(p.error, "13 (Vorlick.PT): Type mismatch");
    EXPECT_EQ(p.sResult, "keep");
    EXPECT_FALSE(harness::fs::exists(box_.File()));
  }
  // The same through the conversation window: the error is printed.
  harness::Run sent = box_.Run({"send", "/xptactive"});
  EXPECT_EQ(sent.status, 1);
  EXPECT_NE(sent.out.find("13 (Vorlick.PT): Type mismatch"), std::string::npos) << sent.out;
}

// Delays that are numbers but out of range: 6 for a count of seconds beyond 32 bits (checked
// with the seconds rounded first), 13 for text that is no number of a double's range.
TEST_F(PipelineTest, OutOfRangeDelaysFail) {
  struct Case {
    const char* arg;
    const char* error;
  } cases[] = {
      {"2147483649", "6 (Vorlick.PT): Overflow"},
      {"-2147483648", "6 (Vorlick.PT): Overflow"},
      {"1e300", "6 (Vorlick.PT): Overflow"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    Parsed p = ReadParsed(box_.Parse("/xptfull", c.arg));
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.error, c.error);
    EXPECT_EQ(p.sResult, "keep");
    EXPECT_FALSE(harness::fs::exists(box_.File()));
  }
}

TEST_F(PipelineTest, ReplyNamesTheFileInTheTempFolder) {
  box_.Set("FileName", "My_Screenshot.jpg");
  const std::string folder = box_.tmp().string();
  const std::string expected = "/dropfile " + folder + "/My_Screenshot.jpg";
  for (const std::string& tmp : {folder, folder + "/", folder}) {
    SCOPED_TRACE("TMPDIR " + tmp);
    Parsed p = ReadParsed(box_.Parse("/xptfull", "0", tmp));
    ASSERT_TRUE(p.ok && p.result) << p.error;
    EXPECT_EQ(p.sResult, expected);
    auto jpeg = harness::ReadFile(box_.File("My_Screenshot.jpg"));
    ASSERT_TRUE(jpeg);
    EXPECT_TRUE(harness::DecodeJpeg(*jpeg));
  }
  // Without a stored name the file is called after the read's failure text.
  box_.Delete("FileName");
  Parsed p = ReadParsed(box_.Parse("/xptfull", "0"));
  ASSERT_TRUE(p.ok && p.result) << p.error;
  EXPECT_EQ(p.sResult, "/dropfile " + folder + "/Error");
  EXPECT_TRUE(harness::fs::exists(box_.File("Error")));
}

TEST_F(PipelineTest, ConversationSendsThePicture) {
  harness::Run sent = box_.Run({"send", "/xptfull 0"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(sent.out.rfind("sent file " + box_.File() + " (", 0), 0u) << sent.out;
}

// The picture in the file is width × height and shows the blocks, and the plain stretch
// (background) within its margin.
void ExpectPictureShows(const std::string& file, int width, int height,
                        const std::vector<Block>& blocks, const Block& plain, int plainMargin) {
  auto picture = harness::DecodeJpeg(harness::ReadFile(file).value_or(""));
  ASSERT_TRUE(picture);
  ASSERT_EQ(picture->width, width);
  ASSERT_EQ(picture->height, height);
  for (const Block& b : blocks) {
    EXPECT_LE(harness::MaxChannelError(*picture, 0, 0, b, kMargin), kTolerance)
        << "block at " << b.x << "," << b.y;
  }
  EXPECT_LE(harness::MaxChannelError(*picture, 0, 0, plain, plainMargin), kTolerance);
}

TEST_F(PipelineTest, FullScreenHoldsTheScreensPixels) {
  Parsed p = ReadParsed(box_.Parse("/xptfull", "0"));
  ASSERT_TRUE(p.ok && p.result) << p.error;
  // The left edge, one 16-pixel column away from the nearest block.
  ExpectPictureShows(box_.File(), kScreenWidth, kScreenHeight, kScreenBlocks,
                     {0, 0, 16, 480, kBackground}, 0);
}

TEST_F(PipelineTest, ActiveWindowIsTheForegroundWindow) {
  harness::Painter painter;
  Window w = painter.Show(kActiveX, kActiveY, kActiveWidth, kActiveHeight, kActiveBackground,
                          kActiveBlocks);
  painter.Focus(w);
  Parsed p = ReadParsed(box_.Parse("/xptactive", "0"));
  ASSERT_TRUE(p.ok && p.result) << p.error;
  ExpectPictureShows(box_.File(), kActiveWidth, kActiveHeight, kActiveBlocks,
                     {0, 0, 16, 16, kActiveBackground}, 2);
}

// "/xptoptions" answers True and the empty reply once the dialog is closed, and the next
// capture uses what the dialog saved.
TEST_F(PipelineTest, OptionsDialogSavesWhatTheNextCaptureUses) {
  Parsed p =
      DialogReply({"invoke", "ParseCommand", "str:/xptoptions", "str:", "nothing:", "&str:keep"},
                  "Pictoss Options", [](unsigned long dialog) {
                    return uitest::Keys(dialog, "ctrl+a") && uitest::Type(dialog, "2") &&
                           uitest::Keys(dialog, "Tab ctrl+a") &&
                           uitest::Type(dialog, "fromdialog") && uitest::Keys(dialog, "Return");
                  });
  ASSERT_TRUE(p.ok && p.result) << p.error;
  EXPECT_EQ(p.sResult, "");

  SleepUntilJustAfterATick();
  double started = RealNow();
  p = ReadParsed(box_.Parse("/xptfull", "<optional time delay>"));
  ASSERT_TRUE(p.ok && p.result) << p.error;
  EXPECT_EQ(p.sResult, "/dropfile " + box_.File("fromdialog.jpg"));
  EXPECT_EQ(std::floor(ModifiedAt(box_.File("fromdialog.jpg"))), std::floor(started) + 2);
}

TEST_F(PipelineTest, AboutDialogAnswersWhenClosed) {
  Parsed p =
      DialogReply({"invoke", "ParseCommand", "str:/XPTABOUT", "str:x", "nothing:", "&str:keep"},
                  "About Pictoss Saver", uitest::SendDeleteWindow);
  EXPECT_TRUE(p.ok && p.result) << p.error;
  EXPECT_EQ(p.sResult, "");
}

// A command that the host reads while a capture waits is queued: the waiting capture finishes
// first, at its own time, and the next command then runs with the settings of its own time.
TEST_F(PipelineTest, CommandDuringTheWaitRunsAfterIt) {
  box_.Set("FileName", "outer.jpg");
  auto chat = box_.Start({"chat"});
  auto started = harness::Clock::now();
  chat->WriteLine("/xptfull 3");
  ASSERT_TRUE(chat->WaitUntilInputTaken());
  // The host reads the next line only once the first command waits, its settings read.
  chat->WriteLine("/xptfull 0");
  ASSERT_TRUE(chat->WaitUntilInputTaken());
  box_.Set("FileName", "inner.jpg");
  auto first = chat->ReadLine(10s);
  auto firstAfter = harness::Clock::now() - started;
  auto second = chat->ReadLine(10s);
  EXPECT_EQ(chat->Finish(), 0) << chat->err();
  ASSERT_TRUE(first && second) << chat->out() << chat->err();
  EXPECT_EQ(first->rfind("sent file " + box_.File("outer.jpg") + " (", 0), 0u) << *first;
  EXPECT_GT(firstAfter, 1900ms);  // the delay of 3 takes 2 to 3 seconds
  EXPECT_LT(firstAfter, 3900ms);
  // The first read its settings when it began, the second when its turn came.
  EXPECT_EQ(second->rfind("sent file " + box_.File("inner.jpg") + " (", 0), 0u) << *second;
}

// Many lines that arrive faster than they are handled: each waits its turn, and the host's
// stack does not grow with them.
TEST_F(PipelineTest, AStreamOfCapturesIsHandledOneAtATime) {
  const std::string pipeline =
      "yes '/xptfull 1' | timeout -s INT 3 '" + HostPath().string() + "' chat";
  harness::Run r = harness::RunProgram({"/bin/sh", "-c", pipeline}, box_.Env());
  EXPECT_EQ(r.status, 124) << "the host did not live to the end: " << r.err;  // timeout's status
  const std::string sent = "sent file " + box_.File() + " (";
  std::size_t answers = 0;
  for (std::size_t at = 0; (at = r.out.find(sent, at)) != std::string::npos; ++at) ++answers;
  EXPECT_GE(answers, 1u) << r.out << r.err;
  EXPECT_LE(answers, 4u) << r.out;  // one a second at most: each waited its whole delay
}

// Dialog commands typed while a capture waits open one after the other, never two at once.
TEST_F(PipelineTest, DialogsTypedDuringAWaitOpenOneAtATime) {
  auto chat = box_.Start({"chat"});
  chat->WriteLine("/xptfull 3");
  ASSERT_TRUE(chat->WaitUntilInputTaken());
  // Both are read while the capture waits.
  for (int i = 0; i < 2; ++i) {
    chat->WriteLine("/xptoptions");
    ASSERT_TRUE(chat->WaitUntilInputTaken());
  }
  auto sent = chat->ReadLine(10s);
  ASSERT_TRUE(sent) << chat->err();
  EXPECT_EQ(sent->rfind("sent file ", 0), 0u) << *sent;
  auto dialogs = [] {
    std::string ids =
        uitest::Run("xdotool search --onlyvisible --name '^Pictoss Options$' 2>/dev/null");
    return std::count(ids.begin(), ids.end(), '\n');
  };
  unsigned long previous = 0;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const unsigned long dialog = uitest::WaitForWindow("Pictoss Options", previous);
    ASSERT_NE(dialog, 0u) << chat->err();
    // Both lines were read before either dialog opened: a second one would show with the first.
    EXPECT_EQ(dialogs(), 1);
    ASSERT_TRUE(uitest::SendDeleteWindow(dialog));
    previous = dialog;
  }
  EXPECT_EQ(chat->Finish(), 0) << chat->err();
}

// The wait blocks between rounds: the CPU time that a 3-second delay adds to a capture stays
// under 5% of the time it adds (spinning would add about 100%).
TEST_F(PipelineTest, WaitingCostsLittleCpu) {
  auto cpuOfChildren = [] {
    rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  auto measure = [&](const char* arg, double& cpu, double& wall) {
    double c0 = cpuOfChildren();
    auto t0 = harness::Clock::now();
    Parsed p = ReadParsed(box_.Parse("/xptfull", arg));
    ASSERT_TRUE(p.ok && p.result) << p.error;
    wall = std::chrono::duration<double>(harness::Clock::now() - t0).count();
    cpu = cpuOfChildren() - c0;
  };
  double cpu0, wall0, cpu3, wall3;
  measure("0", cpu0, wall0);
  measure("3", cpu3, wall3);
  ASSERT_GT(wall3 - wall0, 1.5);
  EXPECT_LT((cpu3 - cpu0) / (wall3 - wall0), 0.05)
      << "cpu " << cpu0 << " s / " << cpu3 << " s, wall " << wall0 << " s / " << wall3 << " s";
}

// The screen of its own server changes size under a running host, as RandR changes it: the
// shrink turns the monitor off first (the server keeps no monitor bigger than the screen), so the
// screen is then the root window alone; the growth turns the monitor on again. The capture after
// each change has the screen's new size and shows its pixels.
class ScreenSize {
 public:
  explicit ScreenSize(Display* d) : d_(d), root_(DefaultRootWindow(d)) {
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d_, root_);
    if (res && res->ncrtc > 0) {
      crtc_ = res->crtcs[0];
      if (XRRCrtcInfo* info = XRRGetCrtcInfo(d_, res, crtc_)) {
        mode_ = info->mode;
        if (info->noutput > 0) output_ = info->outputs[0];
        XRRFreeCrtcInfo(info);
      }
    }
    if (res) XRRFreeScreenResources(res);
  }
  bool HasMonitor() const { return mode_ != None && output_ != None; }

  // Returns once the server has made the change: XSync has its reply after the requests, which
  // the server handles in order.
  void Set(int width, int height, bool monitor) {
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d_, root_);
    if (!monitor)
      XRRSetCrtcConfig(d_, res, crtc_, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
    XRRSetScreenSize(d_, root_, width, height, width * 254 / 960, height * 254 / 960);
    if (monitor) {
      RROutput output = output_;
      XRRSetCrtcConfig(d_, res, crtc_, CurrentTime, 0, 0, mode_, RR_Rotate_0, &output, 1);
    }
    XRRFreeScreenResources(res);
    XSync(d_, False);
  }
  // The root window's size as the server says now.
  std::pair<unsigned, unsigned> RootSize() const {
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    XGetGeometry(d_, root_, &root, &x, &y, &width, &height, &border, &depth);
    return {width, height};
  }

 private:
  Display* d_;
  Window root_;
  RRCrtc crtc_ = None;
  RRMode mode_ = None;
  RROutput output_ = None;
};

TEST(ScreenSizeChange, TheNextCaptureHasTheNewSize) {
  testsupport::XvfbServer server(kScreenWidth, kScreenHeight, 24);
  harness::Painter painter;
  painter.Show(0, 0, kScreenWidth, kScreenHeight, kBackground, kScreenBlocks);
  ScreenSize size(painter.display());
  ASSERT_TRUE(size.HasMonitor());
  Sandbox box;
  auto chat = box.Start({"chat"});
  // Captures the screen and checks that the picture is width × height and shows the blocks that
  // lie wholly on it.
  auto capture = [&](int width, int height) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    chat->WriteLine("/xptfull 0");
    auto line = chat->ReadLine(20s);
    ASSERT_TRUE(line) << chat->err();
    ASSERT_EQ(line->rfind("sent file " + box.File() + " (", 0), 0u) << *line;
    std::vector<Block> onScreen;
    for (const Block& b : kScreenBlocks)
      if (b.x + b.width <= width && b.y + b.height <= height) onScreen.push_back(b);
    ASSERT_FALSE(onScreen.empty());
    ExpectPictureShows(box.File(), width, height, onScreen, {0, 0, 16, height, kBackground}, 0);
  };
  // The server repaints only the windows' backgrounds after a change of the screen's size: a
  // fresh window is painted over them.
  auto resize = [&](int width, int height, bool monitor) {
    size.Set(width, height, monitor);
    ASSERT_EQ(size.RootSize(), std::make_pair(unsigned(width), unsigned(height)));
    painter.Show(0, 0, kScreenWidth, kScreenHeight, kBackground, kScreenBlocks);
  };
  capture(kScreenWidth, kScreenHeight);
  // One MCU row lower first: read at the old size, the last band would stop in its middle.
  resize(kScreenWidth, kScreenHeight - 16, false);
  capture(kScreenWidth, kScreenHeight - 16);
  resize(kScreenWidth / 2, kScreenHeight / 2, false);
  capture(kScreenWidth / 2, kScreenHeight / 2);
  resize(kScreenWidth, kScreenHeight, true);
  capture(kScreenWidth, kScreenHeight);
  EXPECT_EQ(chat->Finish(), 0) << chat->out() << chat->err();
}

}  // namespace
