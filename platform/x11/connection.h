// Inside the X side of the platform layer: the one display connection (XCB) and what it keeps
// (the screen's format, the cached monitor layout), the one way it waits for replies, and the one
// way it shares memory with the server (memory files attached by descriptor). Internal to
// platform/x11. Threading: the user-interface thread only, except where a call says otherwise.
#pragma once

#include <signal.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/x11/x11.h"

namespace platform::x11 {

struct Connection {
  xcb_connection_t* xcb = nullptr;
  std::string name;
  unsigned generation = 0;
  bool broken = false;  // its server has gone: given up
  ScreenInfo format;    // everything but the monitor
  int visual_class = 0;
  int depth = 0;
  int scanline_pad = 32;
  std::uint32_t colormap = 0;  // the screen's default one
  int width = 0, height = 0;   // the root's size as the connection began
  bool shm_available = false;  // MIT-SHM 1.2: memory passed by descriptor
  // Why the screen's pixels cannot be turned into colours, naming the format; empty when they
  // can (TrueColor, and every 8-bit visual through its colormap).
  std::string unsupported;
  // Cached monitor layout and dpi.
  std::chrono::steady_clock::time_point cached_at{};
  bool cache_valid = false;
  Rect primary;
  double dpi = 0;
};

// The connection to the display in DISPLAY, opened (or opened anew) as needed; nullptr when
// there is none.
Connection* Current();
// The connection open now, without looking at DISPLAY or the server; nullptr when none.
Connection* Existing();
// Whether the server at the other end of the connection's socket is still there.
bool Alive(xcb_connection_t* xcb);
// After a request that failed on the connection: whether its server has gone, and then the
// connection is given up and the loss counted. A request on a broken connection does nothing and
// its reply is nullptr, so this is asked after a failure, not before each request.
bool NoteIfLost(Connection& c);
// Keeps the first X error since X11TakeError last cleared it (and frees the error). Any thread.
void RecordError(xcb_generic_error_t* error);

// A reply or an error as XCB hands it out: memory to free().
struct FreeXcb {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, FreeXcb>;

// Shared memory that the server has attached: the strips' segments and the pixel memory of
// bitmaps are all made this way.
struct Segment {
  std::uint32_t id = 0;  // the server's name for it
  std::uint8_t* memory = nullptr;
  std::size_t size = 0;
  unsigned generation = 0;  // of the connection that has it attached; 0 for none
  bool used = false;        // read into before: the server has its pages mapped
};

// Makes a memory file and has the open connection's server attach it; nullptr (and nothing left
// behind) when shared memory or the attach fails, typically for a server on another machine.
// Any thread.
Segment* AttachSegment(std::size_t bytes);
// Detaches the segment (where its connection is the open one) and frees it. Any thread.
void FreeSegment(Segment* segment);
// A segment of that size kept from an earlier reader, else a new one; nullptr as for
// AttachSegment. Give it back when done. Any thread.
Segment* TakeSegment(std::size_t bytes);
void GiveSegment(Segment* segment);
// Frees the kept segments of the connection, detaching them where its server is alive.
void DropSegments(const Connection& c, bool server_alive);

// The shared pixel memory (AllocateSharedPixels) that holds `bytes` bytes at p, or nullptr.
Segment* FindSharedPixels(const void* p, std::size_t bytes);

// The monitor layout and the dpi, kept for a short while between calls, are asked for anew at
// the next call: each capture begins so.
void ForgetScreenCache();

// Bytes of one row of `width` pixels as the server sends a ZPixmap of the screen.
int LineBytes(const Connection& c, int width);

// A write to a server that has gone away raises SIGPIPE, whose default action ends the process.
// While one of these lives, the thread has SIGPIPE blocked, and one that its own writes raised
// meanwhile is taken before the thread's mask is put back; one that was waiting before is left as
// it was. A write that fails breaks its connection, so for writes to the display connection alone
// (kDisplay) the signal is looked for only when a display connection broke, was given up or
// failed to open meanwhile; kAnyWrite, or debug lines on stderr, look for it always. Guards nest,
// and an inner one costs nothing. Any thread; end it on the thread that made it.
class SigpipeBlocked {
 public:
  enum Writes { kDisplay, kAnyWrite };
  explicit SigpipeBlocked(Writes writes = kDisplay);
  ~SigpipeBlocked();
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

 private:
  bool outermost_;
  bool was_blocked_ = false;
  bool pending_before_ = false;
  unsigned troubles_ = 0;
  sigset_t old_;
};

// libxcb (1.15) spins for ever when two threads wait for replies on a connection that breaks:
// threads take turns to wait, holding this while they do. Any thread.
std::mutex& ReplyTurn();

// Waits in turn for the reply to a request, as `reply` (one of XCB's *_reply functions) gets it;
// nullptr when the request failed, its error recorded (RecordError). Any thread.
template <typename T, typename Cookie>
XcbReply<T> Await(T* (*reply)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                  xcb_connection_t* xcb, Cookie cookie) {
  xcb_generic_error_t* error = nullptr;
  T* got = nullptr;
  {
    const std::lock_guard turn(ReplyTurn());
    got = reply(xcb, cookie, &error);
  }
  if (error) {
    RecordError(error);
    std::free(got);
    return nullptr;
  }
  return XcbReply<T>(got);
}

}  // namespace platform::x11
