// pictoss send / chat / commands: a conversation window's side of the plug-in. Each line that
// starts with "/" goes to ParseCommand; a True result's reply is processed like typed text, where
// "/dropfile PATH" sends that file.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/command.h"
#include "host/plugin_host.h"
#include "platform/base/text.h"
#include "platform/user/messageloop.h"

namespace host {
namespace {

namespace fs = std::filesystem;

struct Conversation {
  platform::Ref<platform::Dispatch> plugin;
  std::string outbox;  // where the contact's copies of sent files go; empty for none
};

// Written whole, NUL bytes included.
void Say(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
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
  if (std::optional<std::string> file = hosting::DroppedFile(text)) return SendFile(c, *file);
  Say("sent: " + text);
  return true;
}

// One line of the conversation. Returns false when a call failed.
bool HandleLine(const Conversation& c, const std::string& line) {
  if (!line.starts_with("/")) return Deliver(c, line);
  std::size_t blank = line.find(' ');
  std::string word = line.substr(0, blank);
  std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
  CallError error;
  std::optional<hosting::CommandOutcome> outcome =
      hosting::ParseCommand(*c.plugin, word, argument, &error);
  if (!outcome) {
    Say(ErrorLine(error));
    return false;
  }
  if (!outcome->handled) return Deliver(c, line);
  return outcome->reply.empty() || Deliver(c, outcome->reply);
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

// Standard input as a message source. Lines are read whenever the thread dispatches messages,
// also while the plug-in runs a message loop of its own inside a call (its delay wait, its
// dialogs), but there they are only queued: the host calls the plug-in from its own loop alone,
// so calls never nest, and each line is handled after the one before it has been answered, as
// in a chat client. Reading pauses while lines are queued, so the writer waits and a line read
// during a call was written after that call began. The descriptor's flags are left as they are
// (another program may share it, a terminal's reader after us): a read follows a poll that found
// it readable. A line longer than kMaxLine is dropped whole, never cut into pieces that would
// each count as a line.
class InputLines {
 public:
  // What Next gives: a line, or the number of a line that was dropped for its length.
  struct Line {
    std::string text;
    bool tooLong = false;
    unsigned long number = 0;
  };
  static constexpr std::size_t kMaxLine = 1 << 20;

  InputLines() = default;
  ~InputLines() {
    if (source_) platform::RemoveMessageSource(source_);
  }
  InputLines(const InputLines&) = delete;
  InputLines& operator=(const InputLines&) = delete;

  bool Watch() {
    source_ = platform::AddMessageSource(STDIN_FILENO, [this] { OnReadable(); });
    return source_ != 0;
  }
  // The next line; nothing when none is queued. Resumes reading once the queue has emptied.
  std::optional<Line> Next() {
    if (lines_.empty()) return std::nullopt;
    Line line = std::move(lines_.front());
    lines_.pop_front();
    if (lines_.empty() && !ended_ && !source_) Watch();
    return line;
  }
  // No more input will come; what is queued may still be taken.
  bool ended() const { return ended_; }

 private:
  void OnReadable() {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    while (poll(&in, 1, 0) < 0 && errno == EINTR) {
    }
    if ((in.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(STDIN_FILENO, buffer, sizeof buffer)) < 0 && errno == EINTR) {
    }
    if (n < 0 && errno == EAGAIN) return;  // a descriptor that its owner made non-blocking
    if (n <= 0) {
      if (!partial_.empty() || dropping_) End();
      ended_ = true;
    } else {
      Take(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    if (ended_ || !lines_.empty()) {
      platform::RemoveMessageSource(source_);
      source_ = 0;
    }
  }
  void Take(std::string_view bytes) {
    for (std::size_t nl; (nl = bytes.find('\n')) != std::string_view::npos;) {
      Append(bytes.substr(0, nl));
      End();
      bytes.remove_prefix(nl + 1);
    }
    Append(bytes);
  }
  void Append(std::string_view bytes) {
    if (dropping_) return;
    if (partial_.size() + bytes.size() > kMaxLine) {
      dropping_ = true;
      partial_.clear();
      partial_.shrink_to_fit();
      return;
    }
    partial_.append(bytes);
  }
  void End() {
    ++number_;
    if (dropping_) {
      lines_.push_back({"", true, number_});
    } else {
      if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
      lines_.push_back({std::exchange(partial_, {}), false, number_});
    }
    dropping_ = false;
  }

  std::deque<Line> lines_;
  std::string partial_;
  bool dropping_ = false;  // the line being read is too long: its bytes up to the newline go
  unsigned long number_ = 0;
  bool ended_ = false;
  int source_ = 0;
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
  InputLines input;
  if (!input.Watch()) {
    std::fprintf(stderr, "pictoss: cannot read standard input\n");
    return 1;
  }
  bool allOk = true;
  for (;;) {
    if (std::optional<InputLines::Line> line = input.Next()) {
      if (line->tooLong) {
        Say("error: line " + std::to_string(line->number) + " is longer than " +
            std::to_string(InputLines::kMaxLine) + " bytes: dropped, neither run nor sent");
        allOk = false;
      } else {
        allOk = HandleLine(c, line->text) && allOk;
      }
    } else if (input.ended()) {
      break;
    } else {
      platform::WaitMessage(std::chrono::milliseconds(500));
      platform::DoEvents();
    }
  }
  return allOk ? 0 : 1;
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
  CallError error;
  std::optional<hosting::PublishInfo> info = hosting::StartPlugin(*c.plugin, &error);
  if (!info) {
    std::fprintf(stderr, "%s\n", ErrorLine(error).c_str());
    return 1;
  }
  Say(info->pluginName + ": " + std::to_string(info->commands.size()) + " commands, " +
      std::to_string(info->tagCount) + " tags");
  std::vector<std::vector<std::string>> rows = {{"INDEX", "COMMAND", "NAME", "HELP"}};
  for (const auto& command : info->commands) {
    rows.push_back({std::to_string(command.index), "/" + command.word, command.name, command.help});
  }
  PrintTable(rows);
  return 0;
}

const HostCommand sendCommand("send", "send LINE [--outbox DIR]", Send);
const HostCommand chatCommand("chat", "chat [--outbox DIR]", Chat);
const HostCommand commandsCommand("commands", "commands", Commands);

}  // namespace
}  // namespace host
