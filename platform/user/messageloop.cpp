// The message loop polls the message sources, the wake-up pipe of the posted messages and, once
// the user-interface module is loaded, FLTK's display connection; FLTK's events and timers are
// dispatched through the module's check. Until a window is first shown, nothing of FLTK is
// loaded and the loop waits on its own descriptors alone.
#include "platform/user/messageloop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/user/ui_module.h"

namespace {

using Clock = std::chrono::steady_clock;

// Written by PostThreadMessage on any thread; everything else runs on the UI thread.
struct PostedMessages {
  std::mutex mutex;
  std::vector<std::function<void()>> queue;
  int readEnd = -1;
  int writeEnd = -1;
};

PostedMessages& Posted() {
  static PostedMessages posted;
  static std::once_flag once;
  std::call_once(once, [] {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
      posted.readEnd = ends[0];
      posted.writeEnd = ends[1];
    }
  });
  return posted;
}

struct Source {
  int fd;
  std::function<void()> onReadable;
};

std::map<int, Source>& Sources() {
  static std::map<int, Source> sources;
  return sources;
}

int nextSourceId = 1;

std::atomic<bool> quitPosted = false;

bool RunPostedMessages() {
  PostedMessages& posted = Posted();
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard lock(posted.mutex);
    batch.swap(posted.queue);
    char drain[64];
    while (posted.readEnd >= 0 && read(posted.readEnd, drain, sizeof drain) > 0) {
    }
  }
  // A message may post more or run a nested loop: those land in the next batch.
  for (auto& message : batch) message();
  return !batch.empty();
}

bool HasPostedMessages() {
  PostedMessages& posted = Posted();
  std::lock_guard lock(posted.mutex);
  return !posted.queue.empty();
}

// A descriptor counts as readable also when it has hung up or failed: its handler reads the
// end or the error. A descriptor closed behind the loop's back (POLLNVAL) does not count.
bool Readable(const pollfd& fd) {
  return (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Calls the handler of every source that is readable now, once each.
bool DispatchSources() {
  std::vector<pollfd> fds;
  std::vector<int> ids;
  for (const auto& [id, source] : Sources()) {
    fds.push_back({source.fd, POLLIN, 0});
    ids.push_back(id);
  }
  if (fds.empty() || poll(fds.data(), fds.size(), 0) <= 0) return false;
  bool dispatched = false;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (!Readable(fds[i])) continue;
    auto it = Sources().find(ids[i]);
    if (it == Sources().end()) continue;  // removed by an earlier handler
    // Copied: the handler may remove its own source.
    std::function<void()> handler = it->second.onReadable;
    handler();
    dispatched = true;
  }
  return dispatched;
}

// The descriptors to wait on: the sources, the wake-up pipe, and FLTK's display connection.
std::vector<pollfd> WaitSet() {
  std::vector<pollfd> fds;
  for (const auto& [id, source] : Sources()) fds.push_back({source.fd, POLLIN, 0});
  if (Posted().readEnd >= 0) fds.push_back({Posted().readEnd, POLLIN, 0});
  if (const platform::UiPlatform* ui = platform::LoadedUi()) {
    if (int fd = ui->displayFd(); fd >= 0) fds.push_back({fd, POLLIN, 0});
  }
  return fds;
}

bool PollWaitSet(int timeoutMs) {
  std::vector<pollfd> fds = WaitSet();
  if (fds.empty()) {
    if (timeoutMs > 0) usleep(static_cast<useconds_t>(timeoutMs) * 1000);
    return false;
  }
  if (poll(fds.data(), fds.size(), timeoutMs) <= 0) return false;
  return std::any_of(fds.begin(), fds.end(), Readable);
}

// True when DoEvents would dispatch something. FLTK's ready also sees its elapsed timers and
// events that Xlib has already read.
bool Ready() {
  if (quitPosted || HasPostedMessages()) return true;
  const platform::UiPlatform* ui = platform::LoadedUi();
  if (ui && ui->ready()) return true;
  return PollWaitSet(0);
}

void CheckUi() {
  if (const platform::UiPlatform* ui = platform::LoadedUi()) ui->check();
}

}  // namespace

namespace platform {

bool DoEvents() {
  bool dispatched = RunPostedMessages();
  // Bounded, so that a source that stays readable cannot keep the caller here for ever.
  for (int round = 0; round < 32; ++round) {
    if (!Ready()) {
      CheckUi();  // repaints what needs it
      break;
    }
    RunPostedMessages();
    DispatchSources();
    CheckUi();
    dispatched = true;
  }
  return dispatched;
}

void WaitMessage(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!Ready()) {
    auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) return;
    // With FLTK's display open, wake at least every 10 ms so that its timers are noticed too.
    const bool uiOpen = LoadedUi() && LoadedUi()->displayFd() >= 0;
    int slice = uiOpen ? static_cast<int>(std::min<long long>(remaining, 10))
                       : static_cast<int>(std::min<long long>(remaining, 1 << 30));
    PollWaitSet(slice);
  }
}

int AddMessageSource(int fd, std::function<void()> onReadable) {
  if (fd < 0 || !onReadable) return 0;
  for (const auto& [id, source] : Sources()) {
    if (source.fd == fd) return 0;  // one handler per descriptor
  }
  int id = nextSourceId++;
  Sources().emplace(id, Source{fd, std::move(onReadable)});
  return id;
}

void RemoveMessageSource(int id) {
  Sources().erase(id);
}

void PostThreadMessage(std::function<void()> message) {
  if (!message) return;
  PostedMessages& posted = Posted();
  std::lock_guard lock(posted.mutex);
  posted.queue.push_back(std::move(message));
  if (posted.writeEnd >= 0) {
    char wake = 1;
    // A full pipe already wakes the loop: EAGAIN loses nothing.
    while (write(posted.writeEnd, &wake, 1) < 0 && errno == EINTR) {
    }
  }
}

void RunMessageLoopUntil(const std::function<bool()>& done) {
  RunPostedMessages();
  while (!quitPosted && !done()) {
    WaitMessage(std::chrono::seconds(1));
    DoEvents();
  }
}

void PostQuitMessage(int) {
  quitPosted = true;
  PostedMessages& posted = Posted();
  if (posted.writeEnd >= 0) {
    char wake = 1;
    while (write(posted.writeEnd, &wake, 1) < 0 && errno == EINTR) {
    }
  }
}

bool PeekQuitMessage(bool remove) {
  return remove ? quitPosted.exchange(false) : quitPosted.load();
}

std::vector<int> GetMessageDescriptors() {
  std::vector<int> fds;
  for (const pollfd& p : WaitSet()) fds.push_back(p.fd);
  return fds;
}

bool MessagesPending() {
  return Ready();
}

}  // namespace platform
