// The message loop sits on FLTK's event loop: every message source and the wake-up pipe of the
// posted messages are FLTK fd handlers, so Fl::check and Fl::wait (also inside modal windows)
// service them together with FLTK's own X connection and timers.
#include "platform/user/messageloop.h"
#include "platform/user/ui.h"

#include <FL/Fl.H>
#include <FL/x.H>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

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
bool pipeWatched = false;

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

void OnPipeReadable(int, void*) {
  RunPostedMessages();
}

void OnSourceReadable(int, void* data) {
  auto it = Sources().find(static_cast<int>(reinterpret_cast<std::intptr_t>(data)));
  if (it == Sources().end()) return;
  // Copied: the handler may remove its own source.
  std::function<void()> handler = it->second.onReadable;
  handler();
}

// Runs on the UI thread before the loop is used, so that FLTK's loop wakes on posted messages.
void WatchPipe() {
  if (pipeWatched) return;
  PostedMessages& posted = Posted();
  if (posted.readEnd < 0) return;
  Fl::add_fd(posted.readEnd, FL_READ, OnPipeReadable);
  pipeWatched = true;
}

// The descriptors to wait on: the sources, the wake-up pipe, and FLTK's X connection.
std::vector<pollfd> WaitSet() {
  std::vector<pollfd> fds;
  for (const auto& [id, source] : Sources()) fds.push_back({source.fd, POLLIN, 0});
  if (Posted().readEnd >= 0) fds.push_back({Posted().readEnd, POLLIN, 0});
  if (fl_display) fds.push_back({ConnectionNumber(fl_display), POLLIN, 0});
  return fds;
}

bool PollWaitSet(int timeoutMs) {
  std::vector<pollfd> fds = WaitSet();
  if (fds.empty()) {
    if (timeoutMs > 0) usleep(static_cast<useconds_t>(timeoutMs) * 1000);
    return false;
  }
  int n = poll(fds.data(), fds.size(), timeoutMs);
  return n > 0;
}

// True when DoEvents would dispatch something. Fl::ready also sees FLTK's elapsed timers and
// events that Xlib has already read, but it needs an open display.
bool Ready() {
  if (HasPostedMessages()) return true;
  if (fl_display) return Fl::ready() != 0;
  return PollWaitSet(0);
}

}  // namespace

namespace platform {

bool DoEvents() {
  WatchPipe();
  ForgetLostUiDisplay();  // a dead connection would read as ready for ever
  bool dispatched = RunPostedMessages();
  // Bounded, so that a source that stays readable cannot keep the caller here for ever.
  for (int round = 0; round < 32; ++round) {
    bool pending = Ready();
    Fl::check();  // also repaints what needs it when nothing is pending
    if (!pending) break;
    dispatched = true;
  }
  return dispatched;
}

void WaitMessage(std::chrono::milliseconds timeout) {
  WatchPipe();
  ForgetLostUiDisplay();
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!Ready()) {
    auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) return;
    // With a display, wake at least every 10 ms so that FLTK's timers are noticed too.
    int slice = fl_display ? static_cast<int>(std::min<long long>(remaining, 10))
                           : static_cast<int>(std::min<long long>(remaining, 1 << 30));
    PollWaitSet(slice);
  }
}

int AddMessageSource(int fd, std::function<void()> onReadable) {
  if (fd < 0 || !onReadable) return 0;
  for (const auto& [id, source] : Sources()) {
    if (source.fd == fd) return 0;  // FLTK keeps one handler per descriptor
  }
  WatchPipe();
  int id = nextSourceId++;
  Sources().emplace(id, Source{fd, std::move(onReadable)});
  Fl::add_fd(fd, FL_READ, OnSourceReadable,
             reinterpret_cast<void*>(static_cast<std::intptr_t>(id)));
  return id;
}

void RemoveMessageSource(int id) {
  auto it = Sources().find(id);
  if (it == Sources().end()) return;
  Fl::remove_fd(it->second.fd, FL_READ);
  Sources().erase(it);
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
  WatchPipe();
  RunPostedMessages();
  while (!done()) {
    Fl::wait(1.0);
    RunPostedMessages();
  }
}

}  // namespace platform
