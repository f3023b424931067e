// pictoss send / chat / commands: a conversation window's side of the plug-in. Each line that
// starts with "/" goes to ParseCommand; a True result's reply is processed like typed text, where
// "/dropfile PATH" sends that file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
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
// in a chat client. While much is queued, reading pauses and the writer waits.
class InputLines {
 public:
  InputLines() {
    flags_ = fcntl(STDIN_FILENO, F_GETFL);
    // Not blocking: a read takes what has arrived and leaves the rest for later.
    if (flags_ >= 0) fcntl(STDIN_FILENO, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~InputLines() {
    if (source_) platform::RemoveMessageSource(source_);
    if (flags_ >= 0) fcntl(STDIN_FILENO, F_SETFL, flags_);
  }
  InputLines(const InputLines&) = delete;
  InputLines& operator=(const InputLines&) = delete;

  bool Watch() {
    source_ = platform::AddMessageSource(STDIN_FILENO, [this] { OnReadable(); });
    return source_ != 0;
  }
  // The next line; nothing when none is queued. Resumes reading once the queue has emptied.
  std::optional<std::string> Next() {
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    queued_ -= line.size();
    if (lines_.empty() && !ended_ && !source_) Watch();
    return line;
  }
  // No more input will come; what is queued may still be taken.
  bool ended() const { return ended_; }

 private:
  // A line, or a queue, longer than this is not waited for.
  static constexpr std::size_t kMaxQueued = 1 << 20;

  void OnReadable() {
    char buffer[4096];
    while (queued_ < kMaxQueued) {
      const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      if (n <= 0) {
        if (!partial_.empty()) Queue(std::move(partial_));
        partial_.clear();
        ended_ = true;
        break;
      }
      partial_.append(buffer, static_cast<std::size_t>(n));
      std::size_t start = 0;
      for (std::size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = partial_.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Queue(std::move(line));
      }
      partial_.erase(0, start);
      if (partial_.size() >= kMaxQueued) Queue(std::exchange(partial_, {}));
    }
    platform::RemoveMessageSource(source_);
    source_ = 0;
  }
  void Queue(std::string line) {
    queued_ += line.size();
    lines_.push_back(std::move(line));
  }

  std::deque<std::string> lines_;
  std::size_t queued_ = 0;
  std::string partial_;
  bool ended_ = false;
  int source_ = 0;
  int flags_ = -1;
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
    if (std::optional<std::string> line = input.Next()) {
      allOk = HandleLine(c, *line) && allOk;
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
