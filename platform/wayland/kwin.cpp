// KWin: loadScript on org.kde.KWin's /Scripting (no authorisation needed), run, wait for the
// script's call back to an object of ours on our own connection, unloadScript.
#include "platform/wayland/kwin.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/wayland/bus.h"

namespace platform::wayland {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kKWin = "org.kde.KWin";
constexpr const char* kScripting = "org.kde.kwin.Scripting";
constexpr const char* kReplyPath = "/org/brindlemoor/Pictoss/KWin";
constexpr const char* kReplyInterface = "org.brindlemoor.Pictoss.KWin";
// The script answers within milliseconds; a KWin that is busy gets this long.
constexpr auto kScriptTimeout = std::chrono::milliseconds(3000);

// KWin 6 calls the active window activeWindow, KWin 5 activeClient. The frame comes back as
// text: the numbers may have fractions, and the script cannot choose D-Bus types.
std::string KWinScript(const char* unique) {
  return std::string(
             "const w = workspace.activeWindow || workspace.activeClient;\n"
             "const g = w ? w.frameGeometry : null;\n"
             "callDBus(\"") +
         unique + "\", \"" + kReplyPath + "\", \"" + kReplyInterface +
         "\", \"Frame\", g ? [g.x, g.y, g.width, g.height].join(\" \") : \"\");\n";
}

enum class Found { kWindow, kNoWindow, kNothing };

struct ScriptAnswer {
  bool answered = false;
  std::string frame;
};

int OnScriptCall(sd_bus_message* m, void* data, sd_bus_error*) {
  if (!sd_bus_message_is_method_call(m, kReplyInterface, "Frame")) return 0;
  auto* answer = static_cast<ScriptAnswer*>(data);
  const char* text = nullptr;
  if (sd_bus_message_read(m, "s", &text) >= 0 && text) answer->frame = text;
  answer->answered = true;
  sd_bus_reply_method_return(m, "");
  return 1;
}

// The script in a file of our own that KWin can read: the runtime folder, else the temp folder.
std::filesystem::path WriteScript(const std::string& text, std::string* why) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::filesystem::path dir =
      runtime && *runtime ? runtime : std::filesystem::temp_directory_path();
  std::string name = (dir / "pictoss-kwin-XXXXXX.js").string();
  int fd = mkstemps(name.data(), 3);
  if (fd < 0) {
    *why = "cannot write KWin's script into " + dir.string() + ": " + std::strerror(errno);
    return {};
  }
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  if (!written) {
    unlink(name.c_str());
    *why = "cannot write KWin's script " + name;
    return {};
  }
  return name;
}

// Runs the loaded script: KWin 5.27 names it /Scripting/Script<id>, older ones /<id>.
bool RunScript(sd_bus* bus, int id, std::string* why) {
  BusError error;
  for (std::string path : {"/Scripting/Script" + std::to_string(id), "/" + std::to_string(id)}) {
    sd_bus_error_free(&error.e);
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, kKWin, path.c_str(), "org.kde.kwin.Script", "run", &error.e,
                               &reply, "");
    sd_bus_message_unref(reply);
    if (r >= 0) return true;
    if (!error.NoSuchMethod()) {
      *why = "KWin does not run our script: " + error.Text(r);
      return false;
    }
  }
  *why = "KWin does not run our script: " + error.Text(-ENOENT);
  return false;
}

void WaitForScript(sd_bus* bus, const ScriptAnswer& answer) {
  auto deadline = Clock::now() + kScriptTimeout;
  while (sd_bus_process(bus, nullptr) > 0) {
  }
  while (!answer.answered) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    pollfd p{sd_bus_get_fd(bus), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
    while (sd_bus_process(bus, nullptr) > 0) {
    }
  }
}

Found AskKWin(sd_bus* bus, Rect* frame, std::string* why) {
  const char* unique = nullptr;
  sd_bus_get_unique_name(bus, &unique);
  ScriptAnswer answer;
  sd_bus_slot* raw_slot = nullptr;
  if (!unique || sd_bus_add_object(bus, &raw_slot, kReplyPath, OnScriptCall, &answer) < 0) {
    *why = "cannot receive KWin's answer on the session bus";
    return Found::kNothing;
  }
  Slot slot(raw_slot);
  std::filesystem::path file = WriteScript(KWinScript(unique), why);
  if (file.empty()) return Found::kNothing;
  static unsigned count = 0;
  std::string plugin = "pictoss-" + std::to_string(getpid()) + "-" + std::to_string(++count);
  BusError error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus, kKWin, "/Scripting", kScripting, "loadScript", &error.e, &raw,
                             "ss", file.c_str(), plugin.c_str());
  Message reply(raw);
  int id = -1;
  if (r >= 0) r = sd_bus_message_read(reply.get(), "i", &id);
  Found result = Found::kNothing;
  if (r < 0 || id < 0) {
    *why = "KWin does not load our script: " + (r < 0 ? error.Text(r) : "it refused it");
  } else if (RunScript(bus, id, why)) {
    WaitForScript(bus, answer);
    if (!answer.answered)
      *why =
          "KWin's script did not answer within " + std::to_string(kScriptTimeout.count()) + " ms";
    else if (answer.frame.empty())
      result = Found::kNoWindow;
    else if (ParseFrame(answer.frame, frame))
      result = Found::kWindow;
    else
      *why = "KWin's script answered an unreadable frame: " + answer.frame;
  }
  sd_bus_message* unloaded = nullptr;
  sd_bus_call_method(bus, kKWin, "/Scripting", kScripting, "unloadScript", nullptr, &unloaded, "s",
                     plugin.c_str());
  sd_bus_message_unref(unloaded);
  unlink(file.c_str());
  return result;
}

}  // namespace

bool ParseFrame(std::string_view text, Rect* frame) {
  std::string s(text);
  double v[4];
  const char* p = s.c_str();
  for (double& value : v) {
    char* end = nullptr;
    value = std::strtod(p, &end);
    if (end == p || !std::isfinite(value) || std::fabs(value) > 1e6) return false;
    p = end;
  }
  while (*p == ' ') ++p;
  if (*p || v[2] <= 0 || v[3] <= 0) return false;
  int left = static_cast<int>(std::floor(v[0])), top = static_cast<int>(std::floor(v[1]));
  int right = static_cast<int>(std::ceil(v[0] + v[2]));
  int bottom = static_cast<int>(std::ceil(v[1] + v[3]));
  *frame = {left, top, right - left, bottom - top};
  return true;
}

bool KWinSession() {
  std::string why;
  Bus bus = OpenSessionBus(&why);
  return bus && HasOwner(bus.get(), kKWin);
}

bool ReadKWinTree(WindowTree* tree, std::string* error) {
  Bus bus = OpenSessionBus(error);
  if (!bus) {
    *error = "no session bus to reach KWin: " + *error;
    return false;
  }
  *tree = {};
  DesktopWindow w;
  switch (AskKWin(bus.get(), &w.frame, error)) {
    case Found::kWindow:
      w.id = kKWinActiveWindow;
      w.client = w.frame;  // KWin's script tells the frame only
      tree->windows.push_back(w);
      tree->focused = w.id;
      return true;
    case Found::kNoWindow:
      return true;
    case Found::kNothing:
      return false;
  }
  return false;
}

}  // namespace platform::wayland
