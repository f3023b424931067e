// The thread's message loop, shared by the host and the plug-in: the UI's events, the
// clipboard's selection requests and what the host posted are all dispatched here.
// Threading: only the thread that runs the user interface calls these.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "platform/base/windef.h"

namespace platform {

// Dispatches every message pending for the thread without blocking. Returns true when at
// least one was dispatched.
PLATFORM_API bool DoEvents();

// Blocks until a message is pending or the timeout has passed, whichever comes first;
// dispatches nothing.
PLATFORM_API void WaitMessage(std::chrono::milliseconds timeout);

// Calls onReadable from DoEvents (and from modal loops) whenever fd is readable. Returns an id
// for RemoveMessageSource, or 0 when fd is negative, onReadable is empty or fd already is a
// source. Requires: onReadable consumes what it reads until the fd is no longer readable.
PLATFORM_API int AddMessageSource(int fd, std::function<void()> onReadable);
PLATFORM_API void RemoveMessageSource(int id);

// Queues a message for the thread: DoEvents runs it. Safe to call from any thread.
PLATFORM_API void PostThreadMessage(std::function<void()> message);

// Dispatches and waits in turn until done() returns true after a dispatch, or the quit message
// is posted; the modal windows run this. Requires: something that done() watches will change (a
// window will close).
PLATFORM_API void RunMessageLoopUntil(const std::function<bool()>& done);

// Posts the quit message: the host is ending while a call into the plug-in may still run. Every
// loop inside the call ends as soon as it sees the message and leaves it for the loops outside:
// a modal window's loop (its window closes), a capture's delay wait (the command fails with
// kUserInterrupt). The host takes it back with PeekQuitMessage(true) once its call has
// returned. Safe to call from any thread.
PLATFORM_API void PostQuitMessage(int nExitCode);

// Whether the quit message is posted; with remove, takes it.
PLATFORM_API bool PeekQuitMessage(bool remove);

// For a host whose thread runs a main loop of its own between its calls into the platform (a
// GLib main context): the descriptors that turn readable when a message comes for the thread,
// and whether DoEvents has something to dispatch now. The host's loop waits on the descriptors
// as well and calls DoEvents when one is readable or MessagesPending() is true. The set changes
// as sources are added and the display is opened: ask again before each wait.
PLATFORM_API std::vector<int> GetMessageDescriptors();
PLATFORM_API bool MessagesPending();

}  // namespace platform
