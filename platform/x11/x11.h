// The link to the X server: the process's one display connection, the screen's geometry and
// pixel format, windows, the logical dpi, and reading the root window's pixels. It talks XCB
// alone; Xlib serves only the toolkit's windows (xlib/xlib.h, in the user-interface module). Only
// this folder includes the X libraries; this header hands plain structures to the rest.
// Coordinates here are X root coordinates. Threading: the user-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/windef.h"
#include "platform/gdi/display.h"

struct xcb_connection_t;

namespace platform {

// The process's display connection, opened on first use from DISPLAY and shared by the drawing
// layer's calls; nullptr when there is no display. Do not close it. X errors do not end the
// process: they are recorded (see X11TakeError). When DISPLAY names another server than the open
// connection, or the server has gone away, the next call opens a new connection; callers
// therefore ask for the connection each time instead of keeping it.
xcb_connection_t* X11Display();

// Waits for the server to process every request so far and returns the code of the first X
// error recorded since the last call (0 for none), clearing it.
int X11TakeError();

// The X11 display: the table of display.h filled from this folder (display.cpp).
Display& X11Backend();

namespace x11 {

using Rect = ScreenRect;
using ScreenInfo = platform::ScreenInfo;
using Band = PixelBand;

ScreenInfo Screen();

// Entries of the default colormap as red, green, blue bytes (3 a entry); returns how many were
// read.
int ReadColormap(int start, int count, std::uint8_t* rgb);

// The window's rectangle in root coordinates: its outer edge (border included) or, for
// `client`, its inside. False when the window does not exist.
bool WindowRect(std::uint32_t window, bool client, Rect* rect);

// The top-level frame of the active window (_NET_ACTIVE_WINDOW, else the input focus), or 0.
std::uint32_t ActiveTopLevel();

// Xft.dpi from the root window's resources, or 0 when it is not set.
double XftDpi();

// Reads a rectangle of the root window (which must lie inside it) band by band, as a
// StripReader of about a megabyte a strip (or by plain image requests where the server shares
// no memory), and hands each band to sink. False when it could not all be read.
bool ReadRoot(const Rect& rect, const BandSink& sink);

// Pixel memory that the server writes into directly: a shared segment attached to the open
// connection, for bitmaps that repeated captures reuse. nullptr when there is no shared memory.
void* AllocateSharedPixels(std::size_t bytes);
void FreeSharedPixels(void* memory);
// Whether the memory is shared with the open connection (not one before it).
bool IsSharedPixels(const void* memory);

// Reads the rectangle in one request straight into shared pixel memory: `rows` at dest, each
// `stride` bytes. False (and nothing read) when dest is not shared memory of the open connection
// or the server's row layout differs.
bool ReadRootShared(const Rect& rect, std::uint8_t* dest, int stride);

struct Segment;
class SigpipeBlocked;

// Reads a rectangle of the root window (which must lie inside it) strip by strip, top to bottom,
// through a shared segment of its own, keeping one or two requests ahead of the strip the caller
// works on (as many as fit in about 768 KiB with it), so that whenever the server runs it fills
// more than one strip; one request ahead on a segment that no reader has used yet, see
// kFreshSlots. It talks XCB on the display connection, which does not serialise threads as
// Xlib does: readers on different threads run side by side. Make, use and end a reader on one
// thread, which has SIGPIPE blocked while the reader lives; while readers run, nothing else may use
// the connection. Pixels come as the server's ZPixmap rows (on an Available() screen: 32 bits a
// pixel, blue, green, red, unused).
class StripReader final : public platform::StripReader {
 public:
  StripReader(const Rect& rect, int strip_rows);
  ~StripReader() override;
  StripReader(const StripReader&) = delete;
  StripReader& operator=(const StripReader&) = delete;

  // Whether the one-pass capture can read this screen in strips (a 24-bit TrueColor screen with
  // 32-bit pixels in the byte order of this machine, and shared memory that the server can
  // attach).
  static bool Available();
  // Whether the reader got a segment that the server attached.
  bool attached() const { return segment_ != nullptr; }
  // The next strip, valid until the following call; false at the end or when the server
  // failed to fill it.
  bool Next(Band* band) override;
  bool WantsMore() const override { return segment_ && issued_ == total_; }
  void Continue(const Rect& next) override;

 private:
  static constexpr int kSlots = 3;
  // Slots used on a fresh segment. The server faults a fresh segment's pages in as it first
  // writes them, a fault a page in its own mapping, while the readers wait; a one-shot capture at
  // 1920 x 1080 started its bands 0.3-0.6 ms sooner with two slots than with three. A segment
  // used before (warm captures) has them mapped, and takes all three.
  static constexpr int kFreshSlots = 2;
  // A rectangle to read, and the number of its first strip among all the reader's strips.
  struct Part {
    Rect rect;
    int first;
  };
  // Where a strip lies: its rectangle, and its first row and its rows in it.
  struct Place {
    Rect rect;
    int row;
    int rows;
  };
  Place Locate(int strip) const;
  bool Request(int strip);
  // Asks for the strips after the last one asked for, up to `below`; flushes.
  bool RequestUpTo(int below);
  std::unique_ptr<SigpipeBlocked> quiet_;  // first made, last ended
  std::vector<Part> parts_;                // the one being read first; at most a few
  int strip_rows_;
  int total_ = 0;   // strips of all the parts
  int issued_ = 0;  // strips asked for
  int slots_ = 0;
  int next_ = 0;
  Segment* segment_ = nullptr;
  unsigned cookies_[kSlots] = {};
  std::size_t slot_bytes_ = 0;
  int stride_ = 0;
  int depth_ = 0;
};

// How many connections have lost their server since the process started: a call that fails
// while this count changes failed because its server went away.
unsigned ServerLosses();

// True when the other end of a connection's socket has closed it (a server that went away),
// also while unread data is still waiting before the end of the stream.
PLATFORM_API bool PeerClosed(int fd);

}  // namespace x11
}  // namespace platform
