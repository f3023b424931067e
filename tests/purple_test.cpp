// The plug-in inside a libpurple client, end to end: a headless client (support/purple_client)
// loads pictoss-purple.so by its path and signs alice and bob in to a private IRC server; alice
// types the plug-in's commands, bob accepts the files. The screen is a private X server whose
// pixels the test has painted; the settings store and the temp folder are the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/host_harness.h"
#include "tests/support/ircd.h"
#include "tests/support/ui_test_driver.h"
#include "tests/support/xvfb.h"

namespace {

using namespace std::chrono_literals;
using harness::Block;
using harness::Color;
namespace fs = std::filesystem;

constexpr int kScreenWidth = 640;
constexpr int kScreenHeight = 480;
constexpr char kAboutTitle[] = "About Pictoss Saver";

// Blocks on the JPEG's 16-pixel grid, red at the top left and blue at the bottom right, so that a
// flipped picture or swapped channels fail; see pipeline_test for the tolerance's reasoning.
const Color kBackground{40, 40, 40};
const std::vector<Block> kScreenBlocks = {
    {32, 32, 160, 96, {220, 30, 30}},
    {448, 352, 160, 96, {30, 30, 220}},
    {240, 176, 160, 128, {250, 250, 250}},
};
constexpr int kTolerance = 6;
constexpr int kMargin = 16;

// A window in front for "/xptactive".
constexpr int kActiveWidth = 208, kActiveHeight = 144;

class Network : public testing::Environment {
 public:
  void SetUp() override {
    std::string why = testsupport::IsolateNetwork();
    if (!why.empty())
      std::fprintf(stderr, "purple_test: on the machine's loopback (%s)\n", why.c_str());
  }
};
const auto* network = testing::AddGlobalTestEnvironment(new Network);

// One line of the client's report: "MS TICKS NAME [TEXT]".
struct Event {
  long ms = 0;
  long ticks = 0;
  std::string name;
  std::string text;
};

Event Parse(const std::string& line) {
  Event e;
  std::istringstream in(line);
  in >> e.ms >> e.ticks >> e.name;
  std::getline(in >> std::ws, e.text);
  return e;
}

// libpurple and GLib have no frame pointers: the leak checker needs the slow unwinder to see the
// frames that its suppressions for libpurple name.
std::string SanitizerOptions(bool checkLeaks) {
  const char* options = std::getenv("ASAN_OPTIONS");
  return std::string("ASAN_OPTIONS=") + (options ? options : "") + ":fast_unwind_on_malloc=0" +
         (checkLeaks ? "" : ":detect_leaks=0");
}

fs::path BuildDir() {
  return fs::canonical("/proc/self/exe").parent_path().parent_path();
}

// The client with alice and bob signed in, in a world of its own: an IRC server, a settings store
// (empty until the plug-in registers itself), a temp folder, a purple user folder and bob's
// download folder.
class PurpleTest : public testing::Test {
 protected:
  void SetUp() override {
    client_ = std::make_unique<harness::Child>(
        std::vector<std::string>{(BuildDir() / "tests" / "support" / "purple_client").string(),
                                 (BuildDir() / "purple" / "pictoss-purple.so").string(),
                                 std::to_string(irc_.port()), user_.path().string(),
                                 downloads_.path().string()},
        std::vector<std::string>{"PICTOSS_PREFIX=" + store_.path().string(),
                                 "TMPDIR=" + tmp_.path().string(), "DISPLAY=" + x_->display(),
                                 SanitizerOptions(checkLeaks_)});
    ASSERT_TRUE(Expect("loaded"));
    ASSERT_TRUE(Expect("ready"));
  }

  void TearDown() override {
    if (!client_) return;
    client_->WriteLine("quit");
    EXPECT_EQ(client_->Finish(20s), 0) << client_->err();
  }

  // Reads the client's report up to the next event of this name; nothing when the timeout passes
  // or the client ends first (the test then fails, showing everything the client said).
  std::optional<Event> Expect(const std::string& name, std::chrono::milliseconds timeout = 15s) {
    return Expect(name, "", timeout);
  }
  // The next event of this name with exactly this text (any text when it is empty).
  std::optional<Event> Expect(const std::string& name, const std::string& text,
                              std::chrono::milliseconds timeout = 15s) {
    const auto deadline = harness::Clock::now() + timeout;
    for (;;) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - harness::Clock::now());
      std::optional<std::string> line = client_->ReadLine(std::max(left, 0ms));
      if (!line) {
        ADD_FAILURE() << "no \"" << name << " " << text << "\" from the client; it said:\n"
                      << said_ << client_->out() << "\nstderr:\n"
                      << client_->err();
        return std::nullopt;
      }
      said_ += *line + "\n";
      Event e = Parse(*line);
      events_.push_back(e);
      if (e.name == name && (text.empty() || e.text == text)) return e;
    }
  }

  // Every event so far of this name.
  std::vector<Event> Seen(const std::string& name) const {
    std::vector<Event> found;
    for (const Event& e : events_) {
      if (e.name == name) found.push_back(e);
    }
    return found;
  }

  void Do(const std::string& order) { client_->WriteLine(order); }

  // Waits until the client has handled everything ordered before.
  void Sync() {
    Do("ping");
    Expect("pong");
  }

  void PaintScreen() {
    painter_ = std::make_unique<harness::Painter>();
    painter_->Show(0, 0, kScreenWidth, kScreenHeight, kBackground, kScreenBlocks);
  }

  std::optional<harness::Rgb> Received(const Event& file) {
    return harness::DecodeJpeg(harness::ReadFile(file.text).value_or(""));
  }

  fs::path PluginFile() const { return tmp_.path() / "My_Screenshot.jpg"; }

  // The X server goes away under the client: the painter's connection is dropped unclosed, as
  // closing it on a dead server would end this process.
  void KillXServer() {
    painter_.release();
    x_->Crash();
  }

  // The folders that the plug-in keeps its copies of sent files in.
  std::vector<fs::path> CopyFolders() const {
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(tmp_.path())) {
      if (entry.path().filename().string().starts_with("pictoss-purple.")) {
        folders.push_back(entry.path());
      }
    }
    return folders;
  }

  // A client that quits as Pidgin does leaves libpurple's own objects unfreed, which the leak
  // checker cannot tell from the plug-in's.
  bool checkLeaks_ = true;
  testsupport::IrcServer irc_;
  std::unique_ptr<testsupport::XvfbServer> x_ =
      std::make_unique<testsupport::XvfbServer>(kScreenWidth, kScreenHeight);
  harness::TempDir store_, tmp_, user_, downloads_;
  std::unique_ptr<harness::Painter> painter_;
  std::unique_ptr<harness::Child> client_;
  std::vector<Event> events_;
  std::string said_;
};

TEST_F(PurpleTest, RegistersItselfAndSendsTheScreen) {
  EXPECT_EQ(Seen("log").size() >= 1 &&
                Seen("log")[0].text.find("not registered; registering") != std::string::npos,
            true)
      << said_;
  PaintScreen();
  Do("type /xptfull 0");
  auto typed = Expect("typed");
  auto file = Expect("bob-file");
  ASSERT_TRUE(typed && file);
  std::printf("figure: typed \"/xptfull 0\" to the file at bob: %ld ms\n", file->ms - typed->ms);
  RecordProperty("typed_to_received_ms", std::to_string(file->ms - typed->ms));

  EXPECT_EQ(harness::ReadFile(file->text), harness::ReadFile(PluginFile()));
  auto picture = Received(*file);
  ASSERT_TRUE(picture);
  ASSERT_EQ(picture->width, kScreenWidth);
  ASSERT_EQ(picture->height, kScreenHeight);
  for (const Block& b : kScreenBlocks) {
    EXPECT_LE(harness::MaxChannelError(*picture, 0, 0, b, kMargin), kTolerance)
        << b.x << "," << b.y;
  }
  // alice's copy goes once its transfer is complete; the plug-in's own file stays.
  auto sent = Seen("alice-sent-file");
  Sync();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_FALSE(fs::exists(sent[0].text)) << sent[0].text;
  EXPECT_TRUE(fs::exists(PluginFile()));
}

TEST_F(PurpleTest, ClientRunsDuringTheDelay) {
  Do("type /xptfull 3");
  auto typed = Expect("typed");
  std::this_thread::sleep_for(500ms);
  Do("bob-says during the wait");
  auto message = Expect("alice-got");
  auto offer = Expect("bob-offer");
  ASSERT_TRUE(typed && message && offer);
  EXPECT_EQ(message->text, "bob: during the wait");
  // The delay of 3 s ends 2 to 3 s after the command; the offer comes within about 1.5 s more.
  EXPECT_GE(offer->ms - typed->ms, 2000);
  const long elapsed = offer->ms - typed->ms;
  const long ticks = offer->ticks - typed->ticks;
  std::printf(
      "figure: %ld ticks of the 100-ms timer in %ld ms from \"/xptfull 3\" to the offer "
      "(%ld expected)\n",
      ticks, elapsed, elapsed / 100);
  RecordProperty("ticks", std::to_string(ticks));
  RecordProperty("ticks_expected", std::to_string(elapsed / 100));
  EXPECT_GE(ticks * 10, elapsed / 100 * 8) << "the client's timer stopped during the wait";
}

TEST_F(PurpleTest, CommandsTypedBackToBackArriveInOrder) {
  PaintScreen();
  Window front = painter_->Show(100, 60, kActiveWidth, kActiveHeight, {200, 120, 40}, {});
  painter_->Focus(front);
  Do("type /xptfull 2");
  Do("type /xptactive 0");
  auto first = Expect("bob-file");
  auto second = Expect("bob-file");
  ASSERT_TRUE(first && second);
  auto whole = Received(*first);
  auto window = Received(*second);
  ASSERT_TRUE(whole && window);
  EXPECT_EQ(whole->width, kScreenWidth);
  EXPECT_EQ(window->width, kActiveWidth);
  EXPECT_EQ(window->height, kActiveHeight);
}

TEST_F(PurpleTest, CaptureTypedWhileTheAboutDialogIsOpenIsSent) {
  Do("type /xptabout");
  unsigned long about = uitest::WaitForWindow(kAboutTitle);
  ASSERT_NE(about, 0u);
  Do("bob-says while the dialog is open");
  ASSERT_TRUE(Expect("alice-got"));
  Do("type /xptfull 0");
  ASSERT_TRUE(Expect("typed"));
  Sync();
  EXPECT_TRUE(Seen("bob-offer").empty()) << "the capture ran inside the dialog's call";
  ASSERT_TRUE(uitest::Keys(about, "Escape"));
  auto file = Expect("bob-file");
  ASSERT_TRUE(file);
  auto picture = Received(*file);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, kScreenWidth);
}

TEST_F(PurpleTest, LosingTheXServerDuringACaptureIsReported) {
  // The dialog opens the user interface's own display connection, which must not end the client
  // either.
  Do("type /xptabout");
  unsigned long about = uitest::WaitForWindow(kAboutTitle);
  ASSERT_NE(about, 0u);
  ASSERT_TRUE(uitest::Keys(about, "Escape"));
  ASSERT_TRUE(uitest::WaitUntilGone(kAboutTitle));
  // The server goes while the capture waits out its delay of 4 to 5 s.
  Do("type /xptfull 5");
  ASSERT_TRUE(Expect("log", "running /xptfull"));
  KillXServer();
  auto error = Expect("alice-error");
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->text.starts_with("error 26002 ")) << error->text;
  EXPECT_NE(error->text.find("No display is available to capture the screen from"),
            std::string::npos)
      << error->text;
  Sync();
  EXPECT_TRUE(Seen("bob-offer").empty());
}

TEST_F(PurpleTest, UnloadWaitsForTheCallAndLoadsAgain) {
  Do("type /xptfull 2");
  ASSERT_TRUE(Expect("log", "running /xptfull"));
  Do("unload");
  ASSERT_TRUE(Expect("unload-refused"));
  ASSERT_TRUE(Expect("bob-file"));
  Do("unload");
  ASSERT_TRUE(Expect("unloaded"));
  Do("type /xptfull 0");
  auto unknown = Expect("typed");
  ASSERT_TRUE(unknown);
  EXPECT_NE(unknown->text.find("(status"), std::string::npos) << "the command outlived the unload";
  Do("load");
  ASSERT_TRUE(Expect("loaded"));
  Do("type /xptfull 0");
  ASSERT_TRUE(Expect("bob-file"));
}

// A capture typed where no file can go (an IRC channel) says so in the conversation and captures
// nothing; the dialogs still open there.
TEST_F(PurpleTest, CaptureInAChatThatTakesNoFilesIsRefusedBeforeTheCapture) {
  Do("join #pictoss");
  ASSERT_TRUE(Expect("alice-joined", "#pictoss"));
  Do("type-in #pictoss /xptfull 0");
  auto error = Expect("alice-error");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->text, "/xptfull: this chat cannot receive files; nothing was captured");
  Do("type-in #pictoss /xptabout");
  unsigned long about = uitest::WaitForWindow(kAboutTitle);
  ASSERT_NE(about, 0u);
  ASSERT_TRUE(uitest::Keys(about, "Escape"));
  ASSERT_TRUE(uitest::WaitUntilGone(kAboutTitle));
  Sync();
  EXPECT_FALSE(fs::exists(PluginFile()));
  ASSERT_EQ(CopyFolders().size(), 1u);
  for (const auto& entry : fs::directory_iterator(CopyFolders()[0])) {
    EXPECT_EQ(entry.path().filename(), ".owner") << "a copy was made";
  }
}

// The client quits (purple_core_quit, as Pidgin's Ctrl+Q does) while a call into the plug-in
// runs: the call ends at once, the client ends normally, nothing is captured or sent, and the
// copy folder goes.
class PurpleQuitTest : public PurpleTest {
 protected:
  PurpleQuitTest() { checkLeaks_ = false; }

  void QuitAndExpectACleanEnd() {
    ASSERT_EQ(CopyFolders().size(), 1u);
    Do("core-quit");
    // A call that went on would keep the client past the timeout: the delays are longer.
    const int status = client_->Finish(20s);
    std::unique_ptr<harness::Child> ended = std::move(client_);
    EXPECT_EQ(status, 0) << said_ << ended->out() << "\nstderr:\n" << ended->err();
    EXPECT_EQ(ended->out().find("bob-offer"), std::string::npos) << ended->out();
    EXPECT_TRUE(CopyFolders().empty());
    EXPECT_FALSE(fs::exists(PluginFile()));
  }
};

TEST_F(PurpleQuitTest, DuringTheDelay) {
  PaintScreen();
  Do("type /xptfull 30");
  ASSERT_TRUE(Expect("log", "running /xptfull"));
  QuitAndExpectACleanEnd();
}

TEST_F(PurpleQuitTest, WithTheAboutDialogOpen) {
  Do("type /xptabout");
  ASSERT_NE(uitest::WaitForWindow(kAboutTitle), 0u);
  QuitAndExpectACleanEnd();
}

TEST_F(PurpleQuitTest, WithTheOptionsDialogOpen) {
  Do("type /xptoptions");
  ASSERT_NE(uitest::WaitForWindow("Pictoss Options"), 0u);
  QuitAndExpectACleanEnd();
}

}  // namespace
