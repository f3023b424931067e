#include "purple/loop_bridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/user/messageloop.h"

namespace pictoss_purple {
namespace {

// A GLib source over the platform's message descriptors; dispatching it runs DoEvents.
struct PlatformSource {
  GSource source;
  std::vector<std::pair<int, gpointer>>* watched;  // descriptor and its GLib tag
};

constexpr GIOCondition kReadable = GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR);

// The watched descriptors follow the platform's set, which grows when the display is opened or
// a source is added.
void SyncDescriptors(PlatformSource* s) {
  std::vector<int> wanted = platform::GetMessageDescriptors();
  auto& watched = *s->watched;
  for (auto it = watched.begin(); it != watched.end();) {
    if (std::find(wanted.begin(), wanted.end(), it->first) == wanted.end()) {
      g_source_remove_unix_fd(&s->source, it->second);
      it = watched.erase(it);
    } else {
      ++it;
    }
  }
  for (int fd : wanted) {
    auto same = [fd](const auto& w) { return w.first == fd; };
    if (std::none_of(watched.begin(), watched.end(), same)) {
      watched.emplace_back(fd, g_source_add_unix_fd(&s->source, fd, kReadable));
    }
  }
}

gboolean PlatformPrepare(GSource* source, gint* timeout) {
  auto* s = reinterpret_cast<PlatformSource*>(source);
  SyncDescriptors(s);
  *timeout = -1;
  return platform::MessagesPending();
}

gboolean PlatformCheck(GSource* source) {
  auto* s = reinterpret_cast<PlatformSource*>(source);
  for (const auto& [fd, tag] : *s->watched) {
    if (g_source_query_unix_fd(source, tag) & kReadable) return TRUE;
  }
  return platform::MessagesPending();
}

gboolean PlatformDispatch(GSource*, GSourceFunc, gpointer) {
  platform::DoEvents();
  return G_SOURCE_CONTINUE;
}

void PlatformFinalize(GSource* source) {
  delete reinterpret_cast<PlatformSource*>(source)->watched;
}

GSourceFuncs platformSourceFuncs = {PlatformPrepare,  PlatformCheck, PlatformDispatch,
                                    PlatformFinalize, nullptr,       nullptr};

}  // namespace

LoopBridge::LoopBridge(GMainContext* context) : context_(g_main_context_ref(context)) {
  cancelFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  worker_ = std::thread([this] { Worker(); });
  AttachPlatformSource();
}

LoopBridge::~LoopBridge() {
  if (inCall_) EndCall();
  DetachPlatformSource();
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  std::uint64_t one = 1;
  if (cancelFd_ >= 0 && write(cancelFd_, &one, sizeof one) < 0) {
  }
  worker_.join();
  if (cancelFd_ >= 0) close(cancelFd_);
  g_main_context_unref(context_);
}

void LoopBridge::AttachPlatformSource() {
  GSource* source = g_source_new(&platformSourceFuncs, sizeof(PlatformSource));
  reinterpret_cast<PlatformSource*>(source)->watched = new std::vector<std::pair<int, gpointer>>;
  g_source_set_name(source, "pictoss platform messages");
  g_source_attach(source, context_);
  platformSource_ = source;
}

void LoopBridge::DetachPlatformSource() {
  if (!platformSource_) return;
  g_source_destroy(platformSource_);
  g_source_unref(platformSource_);
  platformSource_ = nullptr;
}

void LoopBridge::BeginCall() {
  // The plug-in's loop serves the platform during the call; the GLib side must not.
  DetachPlatformSource();
  inCall_ = true;
  g_main_context_acquire(context_);
  Cycle();
}

void LoopBridge::EndCall() {
  ++cycle_;
  {
    std::unique_lock lock(mutex_);
    pollWanted_ = false;
    if (polling_) {
      std::uint64_t one = 1;
      if (write(cancelFd_, &one, sizeof one) < 0) {
      }
      changed_.wait(lock, [this] { return !polling_; });
    }
  }
  std::uint64_t drained;
  while (read(cancelFd_, &drained, sizeof drained) > 0) {
  }
  g_main_context_release(context_);
  inCall_ = false;
  // A result posted just before the end is taken now (and dropped), so that no message of this
  // module waits in the platform's queue after the call.
  if (posted_) platform::DoEvents();
  AttachPlatformSource();
}

// Prepares and queries the context, then hands its descriptors to the helper thread.
void LoopBridge::Cycle() {
  g_main_context_prepare(context_, &priority_);
  gint timeout = -1;
  gint count = 0;
  for (;;) {
    count = g_main_context_query(context_, priority_, &timeout, fds_.data(),
                                 static_cast<gint>(fds_.size()));
    if (count <= static_cast<gint>(fds_.size())) break;
    fds_.resize(static_cast<std::size_t>(count));
  }
  fds_.resize(static_cast<std::size_t>(count));
  const unsigned cycle = ++cycle_;
  {
    std::lock_guard lock(mutex_);
    pollFds_ = fds_;
    pollTimeout_ = timeout;
    pollCycle_ = cycle;
    pollWanted_ = true;
  }
  changed_.notify_all();
}

void LoopBridge::OnPolled(unsigned cycle) {
  if (!inCall_ || cycle != cycle_) return;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < fds_.size() && i < pollFds_.size(); ++i) {
      fds_[i].revents = pollFds_[i].revents;
    }
  }
  if (g_main_context_check(context_, priority_, fds_.data(), static_cast<gint>(fds_.size()))) {
    g_main_context_dispatch(context_);
  }
  // A dispatched callback may have ended the call (nothing to do then) or started a new round.
  if (inCall_ && cycle == cycle_) Cycle();
}

void LoopBridge::Worker() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return quit_ || pollWanted_; });
    if (quit_) return;
    pollWanted_ = false;
    polling_ = true;
    std::vector<pollfd> fds;
    for (const GPollFD& f : pollFds_) {
      fds.push_back({f.fd, static_cast<short>(f.events), 0});
    }
    fds.push_back({cancelFd_, POLLIN, 0});
    const gint timeout = pollTimeout_;
    const unsigned cycle = pollCycle_;
    lock.unlock();
    int n;
    while ((n = poll(fds.data(), fds.size(), timeout)) < 0 && errno == EINTR) {
    }
    lock.lock();
    polling_ = false;
    const bool cancelled = n < 0 || (fds.back().revents & POLLIN);
    if (!cancelled) {
      for (std::size_t i = 0; i < pollFds_.size(); ++i) {
        pollFds_[i].revents = static_cast<gushort>(fds[i].revents);
      }
      posted_ = true;
      platform::PostThreadMessage([this, alive = std::weak_ptr<int>(alive_), cycle] {
        if (alive.expired()) return;
        posted_ = false;
        OnPolled(cycle);
      });
    }
    changed_.notify_all();
  }
}

}  // namespace pictoss_purple
