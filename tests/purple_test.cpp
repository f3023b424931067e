// The plug-in inside a libpurple client, end to end: a headless client (support/purple_client)
// loads pictoss-purple.so by its path and signs alice and bob in to a private IRC server; alice
// types the plug-in's commands, bob accepts the files. The screen is a private X server whose
// pixels the test has painted; the settings store and the temp folder are the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/host_harness.h"
#include "tests/purple_harness.h"
#include "tests/support/chat_servers.h"
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
  EXPECT_EQ(CopyFolders().size(), 1u);
  EXPECT_TRUE(Copies().empty()) << Copies()[0];
}

// alice and bob on XMPP, where the client knows when a contact is offline.
class PurpleXmppTest : public PurpleTest {
 protected:
  std::vector<std::string> Server() const override {
    return {std::to_string(xmpp_.port()), "xmpp"};
  }

  testsupport::XmppServer xmpp_;
};

// A capture for a contact who is offline is refused before it is taken, and says why; once the
// contact is back, the screen is sent.
TEST_F(PurpleXmppTest, CaptureForAnOfflineContactIsRefusedBeforeTheCapture) {
  const std::string bob = std::string("bob@") + testsupport::XmppServer::kDomain;
  // alice has seen bob online, so that she sees him go.
  if (Seen("alice-sees-on").empty()) {
    ASSERT_TRUE(Expect("alice-sees-on", bob));
  }
  Do("bob-off");
  ASSERT_TRUE(Expect("alice-sees-off", bob));
  Do("type /xptfull 0");
  auto error = Expect("alice-error");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->text, "/xptfull: " + bob +
                             " cannot receive files now (offline, or their client takes none); "
                             "nothing was captured");
  Sync();
  EXPECT_FALSE(fs::exists(PluginFile()));
  EXPECT_TRUE(Copies().empty()) << Copies()[0];
  Do("bob-on");
  ASSERT_TRUE(Expect("alice-sees-on", bob));
  EXPECT_TRUE(SendTheScreen());
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

// Pidgin itself, driven as a user would: Ctrl+Q in the buddy list while a command of the plug-in
// runs. alice is Pidgin's IRC account; bob, a bare IRC client, says hello, which opens her
// conversation with him. Pidgin says in its debug log (--debug, on its standard output) when it
// has signed on and what the plug-in does.
class PidginQuitTest : public testing::Test {
 protected:
  void SetUp() override {
    WriteAccountAndPrefs();
    std::vector<std::string> env = {"PICTOSS_PREFIX=" + store_.path().string(),
                                    "TMPDIR=" + tmp_.path().string(),
                                    "DISPLAY=" + x_.display(),
                                    "HOME=" + home_.path().string(),
                                    "NO_AT_BRIDGE=1",
                                    "DBUS_SESSION_BUS_ADDRESS=disabled:"};
    if (std::string runtime = AddressSanitizerRuntime(); !runtime.empty()) {
      // Without the leak checker, which would list GTK's and libpurple's own leaks at the exit.
      const char* options = std::getenv("ASAN_OPTIONS");
      env.push_back("LD_PRELOAD=" + runtime);
      env.push_back(std::string("ASAN_OPTIONS=") + (options ? options : "") + ":detect_leaks=0");
    }
    pidgin_ = std::make_unique<harness::Child>(
        std::vector<std::string>{"/usr/bin/pidgin", "-c", config_.path().string(), "--debug"}, env);
    ASSERT_TRUE(WaitForLog("pictoss: Pictoss 2 started with"));
    ASSERT_TRUE(WaitForLog("connection: Activating keepalive."));  // alice is signed on
    bob_ = SayHelloAsBob();
    ASSERT_GE(bob_, 0) << std::strerror(errno);
    conversation_ = WindowNamed("bob");
    ASSERT_NE(conversation_, 0u) << log_;
  }

  void TearDown() override {
    if (bob_ >= 0) close(bob_);
  }

  // alice types a line into her conversation with bob.
  void Type(const std::string& line) {
    ASSERT_TRUE(uitest::Type(conversation_, line));
    ASSERT_TRUE(uitest::Keys(conversation_, "Return"));
  }

  void QuitAndExpectACleanEnd() {
    const unsigned long buddyList = WindowNamed("Buddy List");
    ASSERT_NE(buddyList, 0u);
    ASSERT_TRUE(uitest::Keys(buddyList, "ctrl+q"));
    // The quit came while the command ran.
    EXPECT_TRUE(WaitForLog("pictoss: the client quits: the running command ends"));
    const int status = pidgin_->Finish(20s);
    const std::string said = log_ + pidgin_->out() + "\nstderr:\n" + pidgin_->err();
    EXPECT_EQ(status, 0) << said;
    EXPECT_EQ(said.find("segfaulted"), std::string::npos) << said;
    for (const auto& entry : fs::directory_iterator(tmp_.path())) {
      EXPECT_FALSE(entry.path().filename().string().starts_with("pictoss")) << entry.path();
    }
  }

  // Reads Pidgin's debug log up to a line that holds this text; false when Pidgin ends or the
  // timeout passes first.
  bool WaitForLog(const std::string& text) {
    const auto deadline = harness::Clock::now() + 20s;
    for (;;) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - harness::Clock::now());
      std::optional<std::string> line = pidgin_->ReadLine(std::max(left, 0ms));
      if (!line) {
        ADD_FAILURE() << "no \"" << text << "\" from Pidgin; it said:\n"
                      << log_ << "\nstderr:\n"
                      << pidgin_->err();
        return false;
      }
      log_ += *line + "\n";
      if (line->find(text) != std::string::npos) return true;
    }
  }

  // The visible window of this name, once it shows (0 after 20 s without it).
  static unsigned long WindowNamed(const std::string& name) {
    return std::strtoul(
        uitest::Run("timeout 20 xdotool search --sync --onlyvisible --name '^" + name + "$'")
            .c_str(),
        nullptr, 10);
  }

 private:
  void WriteAccountAndPrefs() {
    std::ofstream(config_.path() / "accounts.xml")
        << "<?xml version='1.0' encoding='UTF-8' ?>\n<account version='1.0'>\n <account>\n"
           "  <protocol>prpl-irc</protocol>\n  <name>alice@127.0.0.1</name>\n"
           "  <settings><setting name='port' type='int'>"
        << irc_.port()
        << "</setting></settings>\n"
           "  <settings ui='gtk-gaim'><setting name='auto-login' type='bool'>1</setting>"
           "</settings>\n </account>\n</account>\n";
    std::ofstream(config_.path() / "prefs.xml")
        << "<?xml version='1.0' encoding='UTF-8' ?>\n<pref version='1' name='/'>\n"
           " <pref name='purple'>\n  <pref name='network'>\n"
           "   <pref name='auto_ip' type='bool' value='0'/>\n"
           "   <pref name='public_ip' type='string' value='127.0.0.1'/>\n"
           "   <pref name='map_ports' type='bool' value='0'/>\n  </pref>\n"
           "  <pref name='proxy'><pref name='type' type='string' value='none'/></pref>\n"
           " </pref>\n <pref name='pidgin'>\n"
           "  <pref name='docklet'><pref name='show' type='string' value='never'/></pref>\n"
           "  <pref name='plugins'>\n"
           "   <pref name='loaded' type='pathlist'>\n    <item value='"
        << (BuildDir() / "purple" / "pictoss-purple.so").string()
        << "'/>\n   </pref>\n  </pref>\n </pref>\n</pref>\n";
  }

  // Signs bob on and has him say hello to alice; his connection, or -1.
  int SayHelloAsBob() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(irc_.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string hello = "NICK bob\r\nUSER bob 0 * :Bob\r\nPRIVMSG alice :hello\r\n";
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        write(fd, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) {
      if (fd >= 0) close(fd);
      return -1;
    }
    return fd;
  }

  // The AddressSanitizer run-time that this test program runs with, "" without: it must be
  // loaded first into a program that loads a module built with it.
  static std::string AddressSanitizerRuntime() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
      const auto at = line.find('/');
      if (at != std::string::npos &&
          fs::path(line.substr(at)).filename().string().starts_with("libasan.so")) {
        return line.substr(at);
      }
    }
    return "";
  }

  testsupport::IrcServer irc_;
  testsupport::XvfbServer x_{kScreenWidth, kScreenHeight};
  harness::TempDir config_, home_, store_, tmp_;
  std::unique_ptr<harness::Child> pidgin_;
  std::string log_;
  int bob_ = -1;
  unsigned long conversation_ = 0;
};

TEST_F(PidginQuitTest, DuringTheDelay) {
  Type("/xptfull 5");
  ASSERT_TRUE(WaitForLog("pictoss: running /xptfull"));
  QuitAndExpectACleanEnd();
}

TEST_F(PidginQuitTest, WithTheAboutDialogOpen) {
  Type("/xptabout");
  ASSERT_NE(WindowNamed(kAboutTitle), 0u);
  QuitAndExpectACleanEnd();
}

TEST_F(PidginQuitTest, WithTheOptionsDialogOpen) {
  Type("/xptoptions");
  ASSERT_NE(WindowNamed("Pictoss Options"), 0u);
  QuitAndExpectACleanEnd();
}

}  // namespace
