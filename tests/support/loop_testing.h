// For tests that pump the message loop while something else happens: another program run to
// its end (xclip pasting the clipboard), a while of pumping, the loop drained of what earlier
// tests left, another thread holding the clipboard. Header-only. Threading: call on the
// user-interface thread.
#pragma once

#include <sys/wait.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/user/clipboard.h"
#include "platform/user/messageloop.h"

namespace platform::testing {

struct CommandResult {
  bool finished = false;  // false when it did not end in time (it is then left to the reader)
  int status = -1;        // the exit status
  std::string output;
};

// Serves the thread's events for at most `most` (the message loop, or a test's own).
using Pump = std::function<void(std::chrono::milliseconds most)>;

inline void PumpMessages(std::chrono::milliseconds most) {
  DoEvents();
  WaitMessage(most);
}

inline CommandResult RunWhilePumping(const std::string& command,
                                     std::chrono::seconds timeout = std::chrono::seconds(20),
                                     const Pump& pump = PumpMessages) {
  auto result = std::make_shared<CommandResult>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread reader([command, result, done] {
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[65536];
      std::size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result->output.append(buffer, n);
      int status = pclose(pipe);
      result->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    *done = true;
  });
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!*done && std::chrono::steady_clock::now() < deadline) pump(std::chrono::milliseconds(5));
  if (!*done) {
    reader.detach();
    return CommandResult{};
  }
  reader.join();
  result->finished = true;
  return *result;
}

// Another thread holds the clipboard open from construction until Release (or destruction).
class OtherOpener {
 public:
  OtherOpener()
      : thread_([this] {
          opened_ = OpenClipboard(0) != FALSE;
          step_ = 1;
          while (step_ != 2) std::this_thread::yield();
          closed_ = CloseClipboard() != FALSE;
        }) {
    while (step_ != 1) std::this_thread::yield();
  }
  ~OtherOpener() { Release(); }
  // Closes the clipboard on the other thread and waits for it; whether it had opened and closed.
  bool Release() {
    if (thread_.joinable()) {
      step_ = 2;
      thread_.join();
    }
    return opened_ && closed_;
  }

 private:
  std::atomic<int> step_{0};
  bool opened_ = false, closed_ = false;
  std::thread thread_;
};

// Empties the loop of anything an earlier test left behind.
inline void DrainMessages() {
  while (DoEvents()) {
  }
}

// Pumps the message loop for a while (to let events from other programs arrive).
inline void PumpFor(std::chrono::milliseconds time, const Pump& pump = PumpMessages) {
  auto until = std::chrono::steady_clock::now() + time;
  while (std::chrono::steady_clock::now() < until) pump(std::chrono::milliseconds(5));
}

}  // namespace platform::testing
