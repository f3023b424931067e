// What the tests of the chat-client plug-in need around the headless libpurple client
// (support/purple_client): the client started with a plug-in file and signed in as alice and bob
// to a private IRC server, its report read event by event, and a private X server whose screen
// the test paints with known blocks. The settings store and the temp folder are the test's own.
// Everything here belongs to one test thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/host_harness.h"
#include "tests/support/chat_servers.h"
#include "tests/support/xvfb.h"

namespace purpletest {

using namespace std::chrono_literals;
using harness::Block;
using harness::Color;
namespace fs = std::filesystem;

constexpr int kScreenWidth = 640;
constexpr int kScreenHeight = 480;
constexpr char kAboutTitle[] = "About Pictoss Saver";

// Blocks on the JPEG's 16-pixel grid, red at the top left and blue at the bottom right, so that a
// flipped picture or swapped channels fail; see pipeline_test for the tolerance's reasoning.
inline const Color kBackground{40, 40, 40};
inline const std::vector<Block> kScreenBlocks = {
    {32, 32, 160, 96, {220, 30, 30}},
    {448, 352, 160, 96, {30, 30, 220}},
    {240, 176, 160, 128, {250, 250, 250}},
};
constexpr int kTolerance = 6;
constexpr int kMargin = 16;

// A window in front for "/xptactive".
constexpr int kActiveWidth = 208, kActiveHeight = 144;

// Registered by each test program: the IRC server and the client on a loopback of their own.
class Network : public testing::Environment {
 public:
  void SetUp() override {
    std::string why = testsupport::IsolateNetwork();
    if (!why.empty())
      std::fprintf(stderr, "purple client: on the machine's loopback (%s)\n", why.c_str());
  }
};

// One line of the client's report: "MS TICKS NAME [TEXT]".
struct Event {
  long ms = 0;
  long ticks = 0;
  std::string name;
  std::string text;
};

inline Event Parse(const std::string& line) {
  Event e;
  std::istringstream in(line);
  in >> e.ms >> e.ticks >> e.name;
  std::getline(in >> std::ws, e.text);
  return e;
}

// libpurple and GLib have no frame pointers: the leak checker needs the slow unwinder to see the
// frames that its suppressions for libpurple name. The client runs without the leak checker
// unless a test asks for it: at the client's exit, the checker's own tracer has crashed (signal
// 11, exit 134) while it stopped the client's threads. The module's leaks are checked in the
// host's and the module's tests.
inline std::string SanitizerOptions(bool checkLeaks = false) {
  const char* options = std::getenv("ASAN_OPTIONS");
  return std::string("ASAN_OPTIONS=") + (options ? options : "") + ":fast_unwind_on_malloc=0" +
         (checkLeaks ? "" : ":detect_leaks=0");
}

inline fs::path BuildDir() {
  return fs::canonical("/proc/self/exe").parent_path().parent_path();
}

// The client with alice and bob signed in, in a world of its own: an IRC server, a settings store
// (empty until the plug-in registers itself), a temp folder, a purple user folder and bob's
// download folder.
class PurpleTest : public testing::Test {
 protected:
  // The plug-in file that the client loads: the build's, unless a test says otherwise.
  virtual fs::path PluginPath() const { return BuildDir() / "purple" / "pictoss-purple.so"; }
  // Where alice and bob sign in: the server's port, then what more the client is told (the
  // protocol, unless it is IRC).
  virtual std::vector<std::string> Server() const { return {std::to_string(irc_.port())}; }

  void SetUp() override {
    const std::vector<std::string> server = Server();
    std::vector<std::string> command = {
        (BuildDir() / "tests" / "support" / "purple_client").string(), PluginPath().string(),
        server[0], user_.path().string(), downloads_.path().string()};
    command.insert(command.end(), server.begin() + 1, server.end());
    client_ = std::make_unique<harness::Child>(
        command, std::vector<std::string>{
                     "PICTOSS_PREFIX=" + store_.path().string(), "TMPDIR=" + tmp_.path().string(),
                     "DISPLAY=" + x_->display(), SanitizerOptions(checkLeaks_)});
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

  // The module that the plug-in registered when it found the class unregistered (from its log),
  // or "".
  std::string RegisteredModule() const {
    const std::string marker = "not registered; registering ";
    for (const Event& e : Seen("log")) {
      if (auto at = e.text.find(marker); at != std::string::npos) {
        return e.text.substr(at + marker.size());
      }
    }
    return "";
  }

  // alice types "/xptfull 0"; bob's file must be the painted screen, whole, and the same as the
  // plug-in's. Returns the "typed" and "bob-file" events, or nothing after recording a failure.
  std::optional<std::pair<Event, Event>> SendTheScreen() {
    PaintScreen();
    Do("type /xptfull 0");
    auto typed = Expect("typed");
    auto file = Expect("bob-file");
    if (!typed || !file) return std::nullopt;
    EXPECT_EQ(harness::ReadFile(file->text), harness::ReadFile(PluginFile()));
    auto picture = Received(*file);
    EXPECT_TRUE(picture);
    if (!picture) return std::nullopt;
    EXPECT_EQ(picture->width, kScreenWidth);
    EXPECT_EQ(picture->height, kScreenHeight);
    if (picture->width != kScreenWidth || picture->height != kScreenHeight) return std::nullopt;
    for (const Block& b : kScreenBlocks) {
      EXPECT_LE(harness::MaxChannelError(*picture, 0, 0, b, kMargin), kTolerance)
          << b.x << "," << b.y;
    }
    return std::make_pair(*typed, *file);
  }

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

  // The copies of sent files in the copy folders, besides the folders' owner marks.
  std::vector<fs::path> Copies() const {
    std::vector<fs::path> copies;
    for (const fs::path& folder : CopyFolders()) {
      for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != ".owner") copies.push_back(entry.path());
      }
    }
    return copies;
  }

  // Off, as SanitizerOptions says; a client that quits as Pidgin does also leaves libpurple's own
  // objects unfreed, which the leak checker cannot tell from the plug-in's.
  bool checkLeaks_ = false;
  testsupport::IrcServer irc_;
  std::unique_ptr<testsupport::XvfbServer> x_ =
      std::make_unique<testsupport::XvfbServer>(kScreenWidth, kScreenHeight);
  harness::TempDir store_, tmp_, user_, downloads_;
  std::unique_ptr<harness::Painter> painter_;
  std::unique_ptr<harness::Child> client_;
  std::vector<Event> events_;
  std::string said_;
};

}  // namespace purpletest
