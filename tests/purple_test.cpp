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
#include "tests/purple_harness.h"
#include "tests/support/ircd.h"
#include "tests/support/ui_test_driver.h"
#include "tests/support/xvfb.h"

namespace {

using namespace purpletest;

const auto* network = testing::AddGlobalTestEnvironment(new Network);

TEST_F(PurpleTest, RegistersItselfAndSendsTheScreen) {
  // The module built with the plug-in, whatever else may be installed on the machine.
  EXPECT_EQ(RegisteredModule(), (BuildDir() / "plugin" / "PT.so").string()) << said_;
  auto screen = SendTheScreen();
  ASSERT_TRUE(screen);
  const auto& [typed, file] = *screen;
  std::printf("figure: typed \"/xptfull 0\" to the file at bob: %ld ms\n", file.ms - typed.ms);
  RecordProperty("typed_to_received_ms", std::to_string(file.ms - typed.ms));
  // alice's copy goes once its transfer is complete; the plug-in's own file stays.
  auto sent = Seen("alice-sent-file");
  Sync();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_FALSE(fs::exists(sent[0].text)) << sent[0].text;
  EXPECT_TRUE(fs::exists(PluginFile()));
}

// A second file of Pictoss, a link to the plug-in under another name or a copy of it, is refused
// with a log line that says why; the client keeps one Pictoss, the one it loaded.
TEST_F(PurpleTest, ASecondCopyIsRefused) {
  harness::TempDir folder;
  const fs::path link = folder.path() / "pictoss-again.so";
  const fs::path copy = folder.path() / "pictoss-copy.so";
  fs::create_symlink(PluginPath(), link);
  fs::copy_file(PluginPath(), copy);
  for (const fs::path& second : {link, copy}) {
    Do("probe " + second.string());
    ASSERT_TRUE(Expect("probe-refused", second.string())) << second;
    const std::string why =
        second.string() + " not loaded: Pictoss is already listed from " + PluginPath().string();
    EXPECT_TRUE(Seen("log").back().text.starts_with(why)) << Seen("log").back().text;
  }
  Do("probe " + PluginPath().string());
  EXPECT_TRUE(Expect("probed", "Pictoss 2 (the plug-in)"));
}

// The loader without the rest of the plug-in beside it (or where the package puts it) is listed
// with what is missing, and says so in the log.
TEST(PurpleLoaderTest, AloneItSaysWhatIsMissing) {
  harness::TempDir folder, store, user, downloads;
  const fs::path loader = folder.path() / "pictoss-purple.so";
  fs::copy_file(BuildDir() / "purple" / "pictoss-purple.so", loader);
  testsupport::IrcServer irc;
  harness::Child client(
      {(BuildDir() / "tests" / "support" / "purple_client").string(), loader.string(),
       std::to_string(irc.port()), user.path().string(), downloads.path().string()},
      {"PICTOSS_PREFIX=" + store.path().string(), SanitizerOptions()});
  std::string said;
  for (;;) {
    std::optional<std::string> line = client.ReadLine(15s);
    ASSERT_TRUE(line) << said << client.err();
    said += *line + "\n";
    Event e = Parse(*line);
    if (e.name == "loaded") FAIL() << said;
    if (e.name != "load-failed") continue;
    EXPECT_TRUE(e.text.starts_with(
        "cannot load " + (folder.path().parent_path() / "pictoss" / "pictoss_purple.so").string()))
        << e.text;
    EXPECT_NE(e.text.find("(reinstall Pictoss)"), std::string::npos) << e.text;
    EXPECT_NE(said.find(" log " + e.text), std::string::npos) << said;
    break;
  }
  client.WriteLine("quit");
  EXPECT_EQ(client.Finish(20s), 0) << client.err();
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
