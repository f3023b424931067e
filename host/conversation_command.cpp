// pictoss send / chat / commands: a conversation window's side of the plug-in. Each line that
// starts with "/" goes to ParseCommand; a True result's reply is processed like typed text, where
// "/dropfile PATH" sends that file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "host/command.h"
#include "host/plugin_host.h"
#include "platform/base/text.h"
#include "platform/user/messageloop.h"
#include "product/product.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using platform::Argument;
using platform::Variant;

struct Conversation {
  platform::Ref<platform::Dispatch> plugin;
  std::string outbox;  // where the contact's copies of sent files go; empty for none
};

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// Sends a file to the contact: reports it and puts the contact's copy into the outbox.
bool SendFile(const Conversation& c, const std::string& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  if (ec) {
    Say("error: cannot send file " + path + ": " + ec.message());
    return false;
  }
  if (!c.outbox.empty()) {
    fs::path copy = fs::path(c.outbox) / fs::path(path).filename();
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      Say("error: cannot copy " + path + " to " + c.outbox + ": " + ec.message());
      return false;
    }
  }
  Say("sent file " + path + " (" + std::to_string(size) + " bytes)");
  return true;
}

// What the host does with text that is to be sent: a "/dropfile" command sends the file.
bool Deliver(const Conversation& c, const std::string& text) {
  if (text.starts_with(product::kDropFile.narrow()))
    return SendFile(c, text.substr(product::kDropFile.narrow().size()));
  Say("sent: " + text);
  return true;
}

// One line of the conversation. Returns false when a call failed.
bool HandleLine(const Conversation& c, const std::string& line) {
  if (!line.starts_with("/")) return Deliver(c, line);
  std::size_t blank = line.find(' ');
  std::string word = line.substr(0, blank);
  std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
  Variant reply(u"");
  CallResult call =
      CallMethod(*c.plugin, u"ParseCommand",
                 {Variant(platform::FromAnsi(word)), Variant(platform::FromAnsi(argument)),
                  Variant::Nothing(), Argument::ByRef(reply)});
  if (!call.ok()) {
    Say(ErrorLine(ErrorOf(call, *c.plugin)));
    return false;
  }
  if (call.result.vt() != VT_BOOL || call.result.boolVal() == VARIANT_FALSE) {
    return Deliver(c, line);
  }
  std::string text = reply.vt() == VT_BSTR ? platform::ToAnsi(reply.bstrVal()) : "";
  return text.empty() || Deliver(c, text);
}

// Reads "LINE [--outbox DIR]" or, for chat, just the options.
bool ParseOptions(const std::vector<std::string>& args, std::vector<std::string>& words,
                  std::string& outbox) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--outbox") {
      if (i + 1 == args.size()) return false;
      outbox = args[++i];
    } else {
      words.push_back(args[i]);
    }
  }
  return true;
}

bool Open(Conversation& c, const std::string& outbox) {
  c.outbox = outbox;
  if (!outbox.empty() && !fs::is_directory(outbox)) {
    std::fprintf(stderr, "pictoss: no folder %s\n", outbox.c_str());
    return false;
  }
  c.plugin = CreatePlugin();
  return static_cast<bool>(c.plugin);
}

int Send(const std::vector<std::string>& args) {
  std::vector<std::string> words;
  Conversation c;
  std::string outbox;
  if (!ParseOptions(args, words, outbox) || words.size() != 1) {
    std::fprintf(stderr, "usage: pictoss send LINE [--outbox DIR]\n");
    return 2;
  }
  if (!Open(c, outbox)) return 1;
  return HandleLine(c, words[0]) ? 0 : 1;
}

// Standard input as a message source: each line is handled as soon as it has arrived, also while
// the plug-in runs a message loop of its own inside a call (a command typed while a capture
// waits reaches the plug-in at once, as in a chat client). Lines are taken in order.
struct InputLines {
  std::deque<std::string> lines;
  std::string partial;
  bool ended = false;
  int source = 0;
  std::function<void(const std::string&)> handle;

  void OnReadable() {
    char buffer[4096];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      if (!partial.empty()) lines.push_back(std::move(partial));
      partial.clear();
      ended = true;
      platform::RemoveMessageSource(source);
    } else {
      partial.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
        std::string line = partial.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        partial.erase(0, nl + 1);
      }
    }
    // A nested call may come back here and take the next lines first; each is taken once.
    while (!lines.empty()) {
      std::string line = std::move(lines.front());
      lines.pop_front();
      handle(line);
    }
  }
};

int Chat(const std::vector<std::string>& args) {
  std::vector<std::string> words;
  Conversation c;
  std::string outbox;
  if (!ParseOptions(args, words, outbox) || !words.empty()) {
    std::fprintf(stderr, "usage: pictoss chat [--outbox DIR]\n");
    return 2;
  }
  if (!Open(c, outbox)) return 1;
  bool allOk = true;
  InputLines input;
  input.handle = [&](const std::string& line) { allOk = HandleLine(c, line) && allOk; };
  // Not blocking: a nested message loop may already have taken what the outer one saw waiting.
  const int inputFlags = fcntl(STDIN_FILENO, F_GETFL);
  if (inputFlags >= 0) fcntl(STDIN_FILENO, F_SETFL, inputFlags | O_NONBLOCK);
  input.source = platform::AddMessageSource(STDIN_FILENO, [&input] { input.OnReadable(); });
  if (input.source == 0) {
    if (inputFlags >= 0) fcntl(STDIN_FILENO, F_SETFL, inputFlags);
    std::fprintf(stderr, "pictoss: cannot read standard input\n");
    return 1;
  }
  while (!input.ended) {
    platform::WaitMessage(std::chrono::milliseconds(500));
    platform::DoEvents();
  }
  if (inputFlags >= 0) fcntl(STDIN_FILENO, F_SETFL, inputFlags);
  return allOk ? 0 : 1;
}

// GetPublishCommandInfo of one index: name, command word, help; empty where not written.
bool CommandInfo(const Conversation& c, std::int32_t index, std::vector<std::string>& row) {
  Variant name(u""), value(u""), help(u"");
  CallResult call = CallMethod(
      *c.plugin, u"GetPublishCommandInfo",
      {Variant(index), Argument::ByRef(name), Argument::ByRef(value), Argument::ByRef(help)});
  if (!call.ok()) {
    std::fprintf(stderr, "%s\n", ErrorLine(ErrorOf(call, *c.plugin)).c_str());
    return false;
  }
  auto text = [](const Variant& v) {
    Variant s;
    return SUCCEEDED(VariantChangeType(s, v, VT_BSTR)) ? platform::ToAnsi(s.bstrVal()) : "";
  };
  row = {std::to_string(index), "/" + text(value), text(name), text(help)};
  return true;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    Say(line);
  }
}

int Commands(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: pictoss commands\n");
    return 2;
  }
  Conversation c;
  if (!Open(c, "")) return 1;
  CallResult init = CallMethod(*c.plugin, u"Initialize",
                               {Variant(std::int32_t{1}), Variant(u""), Variant::Nothing()});
  Variant pluginName(u""), commandCount(std::int32_t{0}), tagCount(std::int32_t{0});
  CallResult info = init.ok()
                        ? CallMethod(*c.plugin, u"GetPublishInfo",
                                     {Argument::ByRef(pluginName), Argument::ByRef(commandCount),
                                      Argument::ByRef(tagCount)})
                        : init;
  if (!info.ok()) {
    std::fprintf(stderr, "%s\n", ErrorLine(ErrorOf(info, *c.plugin)).c_str());
    return 1;
  }
  Say(platform::ToAnsi(pluginName.bstrVal()) + ": " + std::to_string(commandCount.lVal()) +
      " commands, " + std::to_string(tagCount.lVal()) + " tags");
  std::vector<std::vector<std::string>> rows = {{"INDEX", "COMMAND", "NAME", "HELP"}};
  for (std::int32_t i = 1; i <= commandCount.lVal(); ++i) {
    rows.emplace_back();
    if (!CommandInfo(c, i, rows.back())) return 1;
  }
  PrintTable(rows);
  return 0;
}

const HostCommand sendCommand("send", "send LINE [--outbox DIR]", Send);
const HostCommand chatCommand("chat", "chat [--outbox DIR]", Chat);
const HostCommand commandsCommand("commands", "commands", Commands);

}  // namespace
}  // namespace host
