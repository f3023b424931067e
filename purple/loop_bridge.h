// Keeps the chat client's GLib main context and the platform's message loop each running while
// the other one waits. Between calls into the plug-in, a GLib source serves the platform's
// messages (the display connection, posted messages, message sources). While a call runs, the
// plug-in's own loop (a capture's delay, a modal dialog) also runs the GLib context: a helper
// thread waits on the context's descriptors and timeout and posts a message to the UI thread,
// which checks and dispatches the context there. GLib is never touched from the helper thread.
// Threading: created, called and destroyed on the thread that owns the GLib context.
#pragma once

#include <glib.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace pictoss_purple {

class LoopBridge {
 public:
  explicit LoopBridge(GMainContext* context);
  ~LoopBridge();
  LoopBridge(const LoopBridge&) = delete;
  LoopBridge& operator=(const LoopBridge&) = delete;

  // Around each call into the plug-in. Requires: calls are not nested.
  void BeginCall();
  void EndCall();

 private:
  void AttachPlatformSource();
  void DetachPlatformSource();
  void Cycle();
  void OnPolled(unsigned cycle);
  void Worker();

  GMainContext* context_;
  GSource* platformSource_ = nullptr;
  bool inCall_ = false;

  // One round of the context while a call runs: prepared and queried on the UI thread, polled
  // on the helper thread, checked and dispatched on the UI thread.
  std::vector<GPollFD> fds_;
  gint priority_ = 0;
  unsigned cycle_ = 0;  // the round in progress; a posted result of an older one is dropped

  // Shared with the helper thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  bool quit_ = false;
  bool pollWanted_ = false;
  bool polling_ = false;
  std::vector<GPollFD> pollFds_;
  gint pollTimeout_ = -1;
  unsigned pollCycle_ = 0;
  int cancelFd_ = -1;                                      // an eventfd that ends the helper's poll
  std::atomic<bool> posted_ = false;                       // a result waits in the platform's queue
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // posted results check it
  std::thread worker_;
};

}  // namespace pictoss_purple
