// The host program `pictoss` run as a user runs it, with the real module, in a private store.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/registry/registry.h"
#include "product/product.h"
#include "product/version.h"
#include "tests/host_harness.h"
#include "tests/support/ui_test_driver.h"
#include "tests/support/xvfb.h"

namespace {

constexpr const char* kSettingsSubKey = product::kSettingsSubKey.a;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

class HostTest : public ::testing::Test {
 protected:
  harness::Run Run(std::vector<std::string> args) const {
    args.insert(args.begin(), PICTOSS_HOST_PATH);
    return harness::RunProgram(
        args, {"PICTOSS_PREFIX=" + store_.path().string(), "TMPDIR=" + tmp_.path().string()});
  }
  // The host, run with args, succeeds and writes these lines.
  void ExpectWrites(std::vector<std::string> args, const std::vector<std::string>& lines) const {
    harness::Run r = Run(std::move(args));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), lines);
  }
  // Runs the host with the loader reporting every file it loads; returns the run and the
  // names of the files.
  std::pair<harness::Run, std::string> RunLoading(std::vector<std::string> args,
                                                  const std::string& display) const {
    args.insert(args.begin(), PICTOSS_HOST_PATH);
    harness::Run r = harness::RunProgram(
        args, {"PICTOSS_PREFIX=" + store_.path().string(), "TMPDIR=" + tmp_.path().string(),
               "DISPLAY=" + display, "LD_DEBUG=files"});
    std::string files;
    for (const std::string& line : Lines(r.err)) {
      const auto at = line.find("file=");
      if (at != std::string::npos) files += line.substr(at + 5, line.find(' ', at) - at - 5) + " ";
    }
    return {r, files};
  }
  harness::Run Setup() const {
    harness::Run r = Run({"setup"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
  }
  // A string value of the store, or "(missing)".
  std::string Read(HKEY root, const std::string& path, const char* name) const {
    harness::ScopedEnv prefix("PICTOSS_PREFIX", store_.path().string());
    HKEY key = 0;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "(missing)";
    char data[512] = {};
    DWORD size = sizeof data - 1;
    LONG status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(data) : "(missing)";
  }
  void Write(HKEY root, const std::string& path, const char* name, const std::string& text) {
    harness::ScopedEnv prefix("PICTOSS_PREFIX", store_.path().string());
    HKEY key = 0;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
  }

  harness::TempDir store_;
  harness::TempDir tmp_;
};

// The first command on an empty store sets up, as `pictoss setup` would, and says so once.
TEST_F(HostTest, FirstCommandSetsUpThenCommandsListsTheFourCommands) {
  harness::Run first = Run({"commands"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, std::string("pictoss: first use: registered ") + PICTOSS_MODULE_PATH +
                           " and created the settings\n");
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, kSettingsSubKey, "FileName"), "My_Screenshot.jpg");
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, kSettingsSubKey, "TimeDelay"), "0");

  harness::Run r = Run({"commands"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, first.out);
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                              "Pictoss 2: 4 commands, 0 tags",
                              "INDEX  COMMAND      NAME           HELP",
                              "1      /xptfull     Full Screen    optional time delay",
                              "2      /xptactive   Active Window  optional time delay",
                              "3      /xptoptions  Options",
                              "4      /xptabout    About",
                          }));
}

TEST_F(HostTest, HelpAndVersion) {
  for (const char* help : {"--help", "help"}) {
    harness::Run r = Run({help});
    EXPECT_EQ(r.status, 0) << help;
    EXPECT_EQ(r.err, "") << help;
    EXPECT_TRUE(r.out.starts_with("usage: pictoss COMMAND [ARG...]\n")) << r.out;
    for (const char* command : {"setup", "send LINE", "chat", "reg query", "register", "unregister",
                                "invoke METHOD", "version PATH", "pictoss(1)"}) {
      EXPECT_NE(r.out.find(command), std::string::npos) << command;
    }
  }
  harness::Run version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("pictoss ") + PICTOSS_VERSION_TEXT + "\n");
  EXPECT_EQ(version.err, "");
  // Without a command, or with an unknown one, the same text goes to standard error.
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{}, {"--versions"}}) {
    harness::Run r = Run(wrong);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("usage: pictoss COMMAND [ARG...]\n"), std::string::npos) << r.err;
  }
}

TEST_F(HostTest, SetupCreatesMissingSettingsAndKeepsExistingOnes) {
  Write(HKEY_LOCAL_MACHINE, kSettingsSubKey, "TimeDelay", "5");
  Setup();
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, kSettingsSubKey, "TimeDelay"), "5");
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, kSettingsSubKey, "FileName"), "My_Screenshot.jpg");
  // A value asked for in another case is shown under its stored name.
  harness::Run query =
      Run({"reg", "query", std::string("HKLM\\") + kSettingsSubKey, "/v", "FILENAME"});
  ASSERT_EQ(query.status, 0) << query.err;
  EXPECT_EQ(Lines(query.out).back(), "    FileName    REG_SZ    My_Screenshot.jpg");

  harness::TempDir fresh;
  harness::Run r = harness::RunProgram({PICTOSS_HOST_PATH, "setup"},
                                       {"PICTOSS_PREFIX=" + fresh.path().string()});
  ASSERT_EQ(r.status, 0) << r.err;
  harness::ScopedEnv prefix("PICTOSS_PREFIX", fresh.path().string());
  HKEY key = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsSubKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  char data[64] = {};
  DWORD size = sizeof data;
  EXPECT_EQ(
      RegQueryValueExA(key, "TimeDelay", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::string(data, size), std::string("0", 2));  // the text and its NUL
  RegCloseKey(key);
}

TEST_F(HostTest, InvokePrintsOneJsonLine) {
  Setup();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string json;
  };
  const Case cases[] = {
      {{"GetPublishInfo", "&str:", "&i4:0", "&i4:9"},
       0,
       R"({"ok":true,"result":{"type":"bool","value":true},"byref":[{"type":"str","value":"Pictoss 2"},{"type":"i4","value":4},{"type":"i4","value":0}]})"},
      {{"GetPublishCommandInfo", "i4:4", "&str:n", "str:by value", "&str:h\"q"},
       0,
       R"({"ok":true,"result":{"type":"empty","value":null},"byref":[{"type":"str","value":"About"},{"type":"str","value":"h\"q"}]})"},
      {{"isNumber", "&str: 3 "},
       0,
       R"({"ok":true,"result":{"type":"i2","value":1},"byref":[{"type":"str","value":" 3 "}]})"},
      {{"Initialize", "i4:1", "str:", "nothing:"},
       0,
       R"({"ok":true,"result":{"type":"bool","value":true},"byref":[]})"},
      {{"parsetag", "str:t", "nothing:", "&str:keep"},
       0,
       R"({"ok":true,"result":{"type":"bool","value":false},"byref":[{"type":"str","value":"keep"}]})"},
      {{"NoSuchMethod"},
       1,
       R"({"ok":false,"error":{"number":-2147352570,"source":"Vorlick.PT","description":"Unknown name"},"result":{"type":"empty","value":null},"byref":[]})"},
      {{"isNumber"},
       1,
       R"({"ok":false,"error":{"number":-2147352562,"source":"Vorlick.PT","description":"Invalid number of parameters"},"result":{"type":"empty","value":null},"byref":[]})"},
      {{"GetPublishCommandInfo", "str:x", "&str:a", "&str:b", "&str:c"},
       1,
       R"({"ok":false,"error":{"number":-2147352571,"source":"Vorlick.PT","description":"Type mismatch","argument":0},"result":{"type":"empty","value":null},"byref":[{"type":"str","value":"a"},{"type":"str","value":"b"},{"type":"str","value":"c"}]})"},
      {{"Initialize", "missing:", "str:", "nothing:"},
       1,
       R"({"ok":false,"error":{"number":-2147352561,"source":"Vorlick.PT","description":"Parameter not optional","argument":0},"result":{"type":"empty","value":null},"byref":[]})"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"invoke"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    harness::Run r = Run(args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << r.err;
    EXPECT_EQ(r.out, c.json + "\n") << c.args[0];
  }
  harness::Run bad = Run({"invoke", "isNumber", "i8:3"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(bad.out.empty());
}

TEST_F(HostTest, UnrecognisedCommandsAndTextAreSentAsTyped) {
  Setup();
  const std::pair<std::string, std::string> cases[] = {
      {"hello there", "sent: hello there\n"},
      {"/nosuch  two  blanks", "sent: /nosuch  two  blanks\n"},
      {" /xptfull", "sent:  /xptfull\n"},
  };
  for (const auto& [line, out] : cases) {
    harness::Run r = Run({"send", line});
    EXPECT_EQ(r.status, 0) << line << r.err;
    EXPECT_EQ(r.out, out) << line;
  }
}

// Under Wayland only the desktop portal reads the whole screen: where X11 is forced the host
// warns once that only X11 windows can be captured, and where there is no portal that captures
// will fail. (Where the portal serves there is no warning: see wayland_test.)
TEST_F(HostTest, WaylandSessionWithoutThePortalGetsOneWarning) {
  Setup();
  const std::string nobus = "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"WAYLAND_DISPLAY=wayland-0", "XDG_SESSION_TYPE=x11", "PICTOSS_CAPTURE=x11"},
       "Wayland session with X11 forced: \"/xptactive\" captures X11 windows only"},
      {{"WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=wayland", nobus},
       "captures will fail: this is a Wayland session"},
      {{"WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11", "PICTOSS_CAPTURE=portal"}, ""},
      {{"WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11", "PICTOSS_CAPTURE=x11"}, ""},
      {{"WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11", "PICTOSS_CAPTURE=wayland"},
       "captures will fail: PICTOSS_CAPTURE must be \"x11\" or \"portal\""},
  };
  for (const auto& [env, warning] : cases) {
    std::vector<std::string> all = env;
    all.push_back("PICTOSS_PREFIX=" + store_.path().string());
    all.push_back("TMPDIR=" + tmp_.path().string());
    harness::Child chat({PICTOSS_HOST_PATH, "chat"}, all);
    chat.WriteLine("one");
    chat.WriteLine("two");
    chat.CloseInput();
    EXPECT_EQ(chat.Finish(std::chrono::seconds(20)), 0);
    std::size_t warnings = 0, expected = 0;
    for (const std::string& line : Lines(chat.err())) {
      warnings += line.find("warning") != std::string::npos;
      expected += !warning.empty() && line.find(warning) != std::string::npos;
    }
    EXPECT_EQ(warnings, warning.empty() ? 0u : 1u) << env[0] << " " << env[2] << ": " << chat.err();
    EXPECT_EQ(expected, warnings) << chat.err();
  }
}

// The host runs in the user's locale, so a delay typed with the locale's decimal comma is a
// number.
TEST_F(HostTest, HostRunsInTheUsersLocale) {
  Setup();
  auto isNumber = [&](const std::string& locale, const std::string& text) {
    std::vector<std::string> args = {PICTOSS_HOST_PATH, "invoke", "isNumber", "&str:" + text};
    return harness::RunProgram(args,
                               {"LC_ALL=" + locale, "PICTOSS_PREFIX=" + store_.path().string()})
        .out;
  };
  EXPECT_NE(isNumber("de_DE.UTF-8", "1,5").find("\"value\":1}"), std::string::npos);
  EXPECT_NE(isNumber("C", "1,5").find("\"value\":0}"), std::string::npos);
}

TEST_F(HostTest, ChatHandlesEveryLineInOrder) {
  Setup();
  harness::Child chat({PICTOSS_HOST_PATH, "chat"}, {"PICTOSS_PREFIX=" + store_.path().string(),
                                                    "TMPDIR=" + tmp_.path().string()});
  chat.WriteLine("first");
  auto line = chat.ReadLine(std::chrono::seconds(20));
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "sent: first");  // answered before the input ends
  chat.WriteLine("/unknown arg");
  chat.WriteLine("last");
  chat.CloseInput();
  EXPECT_EQ(chat.ReadLine(std::chrono::seconds(20)), "sent: /unknown arg");
  EXPECT_EQ(chat.ReadLine(std::chrono::seconds(20)), "sent: last");
  EXPECT_EQ(chat.Finish(std::chrono::seconds(20)), 0);
}

// A line over the limit is dropped whole and said so; its tail never runs as a command of its
// own. A line of exactly the limit is a line like any other.
TEST_F(HostTest, ChatDropsAnOverLongLineWhole) {
  Setup();
  harness::Child chat({PICTOSS_HOST_PATH, "chat"}, {"PICTOSS_PREFIX=" + store_.path().string(),
                                                    "TMPDIR=" + tmp_.path().string()});
  constexpr std::size_t kLimit = 1 << 20;
  const std::string longest(kLimit, 'x');
  std::string pasted(kLimit, 'y');
  pasted += "/xptfull 0";
  std::thread writer([&] {
    chat.WriteLine(longest);
    chat.WriteLine(pasted);
    chat.WriteLine("last");
    chat.CloseInput();
  });
  auto first = chat.ReadLine(std::chrono::seconds(20));
  auto second = chat.ReadLine(std::chrono::seconds(20));
  auto third = chat.ReadLine(std::chrono::seconds(20));
  writer.join();
  EXPECT_EQ(chat.Finish(std::chrono::seconds(20)), 1) << chat.err();
  ASSERT_TRUE(first && second && third) << chat.out() << chat.err();
  EXPECT_EQ(*first, "sent: " + longest);
  EXPECT_EQ(*second, "error: line 2 is longer than 1048576 bytes: dropped, neither run nor sent");
  EXPECT_EQ(*third, "sent: last");
  EXPECT_EQ(chat.out(), "");
}

// The host shares its standard input with whoever comes after it in the terminal: it never
// changes the descriptor's flags, so an interrupt leaves nothing to restore.
TEST_F(HostTest, ChatLeavesTheFlagsOfItsInputAlone) {
  Setup();
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const std::string prefix = "PICTOSS_PREFIX=" + store_.path().string();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    char* args[] = {const_cast<char*>(PICTOSS_HOST_PATH), const_cast<char*>("chat"), nullptr};
    char* env[] = {const_cast<char*>(prefix.c_str()), nullptr};
    execve(args[0], args, env);
    _exit(127);
  }
  close(out[1]);
  ASSERT_EQ(write(in[1], "hello\n", 6), 6);
  std::string said;
  char buffer[256];
  pollfd readable{out[0], POLLIN, 0};
  while (said.find('\n') == std::string::npos && poll(&readable, 1, 20000) > 0) {
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    said.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(said, "sent: hello\n");
  EXPECT_EQ(fcntl(in[0], F_GETFL) & O_NONBLOCK, 0) << "changed while it runs";
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(fcntl(in[0], F_GETFL) & O_NONBLOCK, 0) << "left changed after an interrupt";
  for (int fd : {in[0], in[1], out[0]}) close(fd);
}

// Losing the X server never ends the host, under an open dialog (the windows' own connection)
// or before a capture: each command says what went away or is missing, and later lines are
// handled in order.
TEST_F(HostTest, ChatSurvivesALostXServer) {
  Setup();
  testsupport::XvfbServer display(320, 200);
  harness::Child chat({PICTOSS_HOST_PATH, "chat"},
                      {"PICTOSS_PREFIX=" + store_.path().string(), "TMPDIR=" + tmp_.path().string(),
                       "DISPLAY=" + display.display()});
  chat.WriteLine("/xptabout");
  ASSERT_NE(uitest::WaitForWindow("About Pictoss Saver"), 0u);
  display.Crash();
  chat.WriteLine("/xptfull 0");
  chat.WriteLine("last");
  chat.CloseInput();
  const std::string expected[] = {
      "The display went away while the about dialog was open",
      "No display is available to capture the screen from",
      "sent: last",
  };
  for (const std::string& text : expected) {
    auto line = chat.ReadLine(std::chrono::seconds(20));
    ASSERT_TRUE(line) << text << "\n" << chat.err();
    EXPECT_NE(line->find(text), std::string::npos) << *line;
    if (text.starts_with("The") || text.starts_with("No")) {
      EXPECT_NE(line->find("26002"), std::string::npos) << *line;
    }
  }
  EXPECT_EQ(chat.Finish(std::chrono::seconds(20)), 1) << "ended by a signal? " << chat.err();
}

TEST_F(HostTest, DropFileReplySendsTheFileAndCopiesItToTheOutbox) {
  testsupport::XvfbServer display(64, 48);
  Setup();
  harness::TempDir outbox;
  harness::Run r = Run({"send", "/xptfull", "--outbox", outbox.path().string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string sent = (tmp_.path() / "My_Screenshot.jpg").string();
  auto bytes = harness::ReadFile(sent);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(r.out, "sent file " + sent + " (" + std::to_string(bytes->size()) + " bytes)\n");
  EXPECT_EQ(harness::ReadFile(outbox.path() / "My_Screenshot.jpg"), bytes);

  harness::Run noBox = Run({"send", "/xptfull", "--outbox", (outbox.path() / "none").string()});
  EXPECT_EQ(noBox.status, 1);
  EXPECT_NE(noBox.err.find("no folder"), std::string::npos) << noBox.err;
}

// FLTK and its font stack come with the user-interface module, which only a window loads: a
// capture maps none of them, nor does a dialog command that finds no display.
TEST_F(HostTest, CaptureAndDialogWithoutDisplayLoadNoWindowLibraries) {
  testsupport::XvfbServer display(64, 48);
  Setup();
  const char* windowLibraries[] = {"pictoss_ui.so", "libfltk", "libXft", "libfontconfig",
                                   "libfreetype"};
  auto [capture, captureFiles] = RunLoading({"send", "/xptfull 0"}, display.display());
  ASSERT_EQ(capture.status, 0) << capture.err;
  EXPECT_NE(captureFiles.find("PT.so"), std::string::npos) << captureFiles;
  auto [about, aboutFiles] = RunLoading({"send", "/xptabout"}, "");
  EXPECT_EQ(about.status, 1);
  EXPECT_NE(about.out.find("No display is available to show the about dialog on"),
            std::string::npos)
      << about.out;
  for (const char* library : windowLibraries) {
    EXPECT_EQ(captureFiles.find(library), std::string::npos) << library;
    EXPECT_EQ(aboutFiles.find(library), std::string::npos) << library;
  }
}

// What a capture under X11 loads, counted by the loader: the module, the platform library and
// the libraries that X11, the store and the encoder need; nothing of the Wayland display (sd-bus,
// the Wayland client) and no PNG writer, which are modules loaded when first needed.
TEST_F(HostTest, ACaptureUnderX11LoadsFewSharedObjects) {
  testsupport::XvfbServer display(64, 48);
  Setup();
  auto [capture, files] = RunLoading({"send", "/xptfull 0"}, display.display());
  ASSERT_EQ(capture.status, 0) << capture.err;
  std::set<std::string> objects;
  for (const std::string& line : Lines(capture.err)) {
    const auto at = line.find("file=");
    if (at == std::string::npos || line.find("generating link map") == std::string::npos) continue;
    std::string name = line.substr(at + 5, line.find(' ', at) - at - 5);
    // The sanitizers' runtimes come with the sanitized build, not with the capture.
    if (name.find("libasan") == std::string::npos && name.find("libubsan") == std::string::npos)
      objects.insert(name);
  }
  std::string names;
  for (const std::string& name : objects) names += name + " ";
  EXPECT_LE(objects.size(), 16u) << names;
  for (const char* library : {"libsystemd", "libwayland-client", "libpng", "libX11",
                              "pictoss_wayland.so", "pictoss_png.so"})
    EXPECT_EQ(names.find(library), std::string::npos) << library;
}

TEST_F(HostTest, CreationFailuresAreReported) {
  Setup();
  const std::string server = "CLSID\\{FFFB2456-8ACC-4047-AB4D-235FC58EFF56}\\InprocServer32";
  Write(HKEY_CLASSES_ROOT, server, nullptr, (store_.path() / "gone" / "PT.so").string());
  harness::Run missing = Run({"send", "/xptabout"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot create Vorlick.PT: DLL for class not found"),
            std::string::npos)
      << missing.err;

  harness::Run again = Run({"register", PICTOSS_MODULE_PATH});
  EXPECT_EQ(again.status, 0) << again.err;
  harness::Run unregistered = Run({"unregister"});
  EXPECT_EQ(unregistered.status, 0) << unregistered.err;
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, "Vorlick.PT\\CLSID", nullptr), "(missing)");
  // Unregistered, the next command sets up again.
  harness::Run setUpAgain = Run({"commands"});
  EXPECT_EQ(setUpAgain.status, 0) << setUpAgain.err;
  EXPECT_NE(setUpAgain.err.find("first use: registered"), std::string::npos) << setUpAgain.err;

  harness::Run noModule = Run({"register", (store_.path() / "none.so").string()});
  EXPECT_EQ(noModule.status, 1);
  EXPECT_NE(noModule.err.find("no module"), std::string::npos);
  harness::Run noExports = Run({"register", PICTOSS_HOST_PATH});
  EXPECT_EQ(noExports.status, 1);
}

TEST_F(HostTest, VersionIsReadWithoutLoadingTheModule) {
  ExpectWrites({"version", PICTOSS_MODULE_PATH},
               {"Translation: 040904B0", "FileVersion: 2.00.0009", "ProductVersion: 2.00.0009",
                "ProductName: Pictoss 2", "FileDescription: Pictoss Plugin for Messenger Plus!",
                "InternalName: PT", "OriginalFilename: PT.dll", "CompanyName: Brindlemoor Software",
                "OLESelfRegister:"});

  EXPECT_EQ(Run({"version", PICTOSS_HOST_PATH}).status, 1);  // a program without a record
  std::string junk = (tmp_.path() / "junk").string();
  {
    std::ofstream(junk) << "\x7f"
                           "ELF not really";
  }
  EXPECT_EQ(Run({"version", junk}).status, 1);

  // Anything that is not a regular file is refused at once, and nothing is read from it.
  const std::string fifo = (tmp_.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string none = (tmp_.path() / "none").string();
  const std::string refused[][2] = {
      {tmp_.path().string(), tmp_.path().string() + " is a folder, not a module"},
      {"/dev/zero", "/dev/zero is not a regular file"},
      {fifo, fifo + " is not a regular file"},
      {none, "cannot read " + none + ": No such file or directory"},
  };
  for (const auto& [path, why] : refused) {
    harness::Run r =
        harness::RunProgram({PICTOSS_HOST_PATH, "version", path}, {}, std::chrono::seconds(10));
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_EQ(r.err, "pictoss: " + why + "\n");
  }
}

// What the host prints reaches the user whole, or the host says that it could not.
TEST_F(HostTest, OutputIsWrittenWholeOrTheRunFails) {
  Setup();
  harness::Child chat({PICTOSS_HOST_PATH, "chat"}, {"PICTOSS_PREFIX=" + store_.path().string()});
  chat.WriteLine(std::string("a\0b", 3));
  EXPECT_EQ(chat.Finish(), 0);
  EXPECT_EQ(chat.out(), std::string("sent: a\0b\n", 10));

  const std::string toFull =
      std::string("'") + PICTOSS_HOST_PATH + "' invoke isNumber str:3 >/dev/full";
  harness::Run full =
      harness::RunProgram({"/bin/sh", "-c", toFull}, {"PICTOSS_PREFIX=" + store_.path().string()});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "pictoss: cannot write the standard output: No space left on device\n");

  harness::Run usage = Run({"register", "a", "b"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err, "usage: pictoss register [MODULE]\n");
}

// A store that cannot be used is named, with what is wrong with it, by every command, instead
// of a plug-in that is "not registered"; a store that others control is not used at all.
TEST_F(HostTest, AStoreThatCannotBeUsedIsNamed) {
  Setup();
  const std::string file = (store_.path() / "registry.db").string();
  // Registered, but at a path where no module is: loading it would say "DLL for class not found".
  Write(HKEY_CLASSES_ROOT, "CLSID\\{FFFB2456-8ACC-4047-AB4D-235FC58EFF56}\\InprocServer32", nullptr,
        (store_.path() / "gone" / "PT.so").string());
  struct Case {
    const char* what;
    std::function<void()> spoil, mend;
    std::string problem;
  };
  const Case cases[] = {
      {"writable by all", [&] { chmod(store_.path().c_str(), 0777); },
       [&] { chmod(store_.path().c_str(), 0700); },
       store_.path().string() + ": not trusted: other users may write it (mode 0777)"},
      {"unreadable", [&] { chmod(file.c_str(), 0); }, [&] { chmod(file.c_str(), 0600); },
       file + ": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.spoil();
    if (c.problem == file + ": " && access(file.c_str(), R_OK) == 0) {
      c.mend();  // root reads every file
      continue;
    }
    for (const std::vector<std::string>& command : {std::vector<std::string>{"send", "/xptabout"},
                                                    {"setup"},
                                                    {"reg", "query", "HKLM\\Software"}}) {
      harness::Run r = Run(command);
      EXPECT_NE(r.status, 0) << command[0];
      EXPECT_NE(r.err.find(c.problem), std::string::npos) << command[0] << ": " << r.err;
      EXPECT_EQ(r.err.find("not registered"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("DLL for class not found"), std::string::npos) << r.err;
    }
    c.mend();
  }
  // Garbage in place of the store.
  { std::ofstream(file + ".new", std::ios::binary) << std::string(8192, '\x5a'); }
  harness::fs::rename(file + ".new", file);
  harness::Run corrupt = Run({"send", "/xptabout"});
  EXPECT_EQ(corrupt.status, 1);
  EXPECT_EQ(corrupt.err, "pictoss: cannot look up Vorlick.PT: the registry store cannot be used: " +
                             file + ": the store is corrupt (file is not a database)\n");
}

// A write that waits for another process's lock says so once, and goes through when the lock
// is let go.
TEST_F(HostTest, AWaitForTheStoresLockIsTold) {
  Setup();
  const std::string file = (store_.path() / "registry.db").string();
  harness::Child holder({"/usr/bin/python3", "-c",
                         "import sqlite3,time; c=sqlite3.connect('" + file +
                             "', isolation_level=None); c.execute('BEGIN IMMEDIATE');"
                             " print('locked', flush=True); time.sleep(2.5)"});
  ASSERT_EQ(holder.ReadLine(std::chrono::seconds(10)), "locked") << holder.err();
  harness::Run r = Run(
      {"reg", "add", "HKLM\\Software\\Brindlemoor\\Pictoss", "/v", "TimeDelay", "/d", "4", "/f"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "pictoss: waiting for the registry store " + file +
                       ": another process holds its lock (for up to 60 s)\n");
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, kSettingsSubKey, "TimeDelay"), "4");
}

// Setting up in parallel on an empty store folder: every run succeeds.
TEST_F(HostTest, ParallelSetupsAllSucceed) {
  for (int round = 0; round < 6; ++round) {
    harness::TempDir fresh;
    std::vector<std::unique_ptr<harness::Child>> runs;
    for (int i = 0; i < 4; ++i) {
      runs.push_back(std::make_unique<harness::Child>(
          std::vector<std::string>{PICTOSS_HOST_PATH, "setup"},
          std::vector<std::string>{"PICTOSS_PREFIX=" + (fresh.path() / "store").string()}));
    }
    for (auto& run : runs) EXPECT_EQ(run->Finish(), 0) << "round " << round << ": " << run->err();
  }
}

// A key 40,000 levels deep is deleted with its whole tree.
TEST_F(HostTest, RegDeletesADeepTree) {
  std::string deep = "HKLM\\Software\\Deep";
  for (int i = 0; i < 40000; ++i) deep += "\\k";
  harness::Run add = Run({"reg", "add", deep, "/v", "leaf", "/d", "1", "/f"});
  ASSERT_EQ(add.status, 0) << add.err;
  harness::Run remove = Run({"reg", "delete", "HKLM\\Software\\Deep", "/f"});
  EXPECT_EQ(remove.status, 0) << remove.err;
  EXPECT_EQ(remove.out, "The operation completed successfully.\n");
  EXPECT_EQ(Run({"reg", "query", "HKLM\\Software\\Deep"}).status, 1);
}

}  // namespace
