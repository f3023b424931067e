// The link to the X server: the process's one display connection, the screen's geometry and
// pixel format, windows, the logical dpi, and reading the root window's pixels. Only this folder
// (and the clipboard's own X file) include Xlib; this header hands plain structures to the rest.
// Coordinates here are X root coordinates. Threading: the user-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/base/windef.h"

struct _XDisplay;

namespace platform {

// The process's display connection, opened on first use from DISPLAY and shared by everything
// in the process (drawing, windows, clipboard); nullptr when there is no display. Do not close
// it. Xlib errors do not end the process: the connection's error handler records them (see
// X11TakeError); a connection of another component passes through X11KeepProcessOnServerLoss
// so that its handlers do not displace this one. When DISPLAY names another server than the
// open connection, or the server has gone away, the next call opens a new connection; callers
// therefore ask for the connection each time instead of keeping it.
PLATFORM_API struct _XDisplay* X11Display();

// Keeps the process alive when the X server at the other end of display goes away: Xlib's own
// handling of a lost connection ends the process. Every connection that the process opens
// calls this right after opening it, a toolkit's too, after the toolkit has set up its own
// handlers (it replaces them). Once its server is gone, the connection counts as lost
// (X11ServerLost) and every later request on it does nothing; X11CloseDisplay then frees it.
// Also puts the platform's X error handler back in front, passing other connections' errors
// on to the handler that was there before it.
PLATFORM_API void X11KeepProcessOnServerLoss(struct _XDisplay* display);

// True when display's server has gone away: Xlib has seen the connection break, or the other
// end of its socket has closed it.
PLATFORM_API bool X11ServerLost(struct _XDisplay* display);

// Closes a connection, also one whose server is gone, and frees everything Xlib keeps for it.
PLATFORM_API void X11CloseDisplay(struct _XDisplay* display);

// Waits for the server to process every request so far and returns the code of the first X
// error recorded since the last call (0 for none), clearing it.
PLATFORM_API int X11TakeError();

// True under a Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE "wayland"): the X
// server there shows only XWayland windows, so a capture may come out black.
PLATFORM_API bool WaylandSession();

namespace x11 {

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

struct ScreenInfo {
  bool connected = false;
  std::uint32_t root = 0;
  Rect primary;  // the primary monitor (RandR's primary output, else the first, else the root)
  int bits_per_pixel = 32;  // of a ZPixmap image of the screen's depth
  std::uint32_t red = 0xFF0000, green = 0x00FF00, blue = 0x0000FF;
  bool palette = false;  // 8-bit PseudoColor
  int colormap_size = 0;
};

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

// One band of rows read from the root window, in the screen's ZPixmap format.
struct Band {
  const std::uint8_t* data;
  int stride;
  int row;  // index of its first row within the requested rectangle
  int rows;
};

// Reads a rectangle of the root window (which must lie inside it) band by band through one
// reused shared-memory segment (or XGetImage where shared memory is unavailable) and hands each
// band to sink. False when nothing could be read.
bool ReadRoot(const Rect& rect, const std::function<void(const Band&)>& sink);

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

// How reads go: through shared pixmaps, shared images, or plain image requests (for tests and
// benchmarks).
enum class ReadMethod { kNone, kSharedPixmaps, kSharedImages, kImages };
ReadMethod CurrentReadMethod();
// Makes the open connection read by shared images (for tests of that path).
void StopUsingSharedPixmaps();

// The monitor layout and Xft.dpi are kept for a short while between calls; this forgets them
// (for tests that change them).
void ForgetScreenCache();

// How many connections have lost their server since the process started: a call that fails
// while this count changes failed because its server went away.
unsigned ServerLosses();

// A connection of its own to the display in DISPLAY, for a part that needs an event queue of its
// own (the clipboard's selection owner). It has the shared connection's protection: X errors on
// it are ignored (requests with a reply fail by their status), and a server that goes away gives
// the connection up instead of ending the process; Close then frees it. Threading: the
// user-interface thread only.
class PLATFORM_API OwnConnection {
 public:
  OwnConnection() = default;
  ~OwnConnection() { Close(); }
  OwnConnection(const OwnConnection&) = delete;
  OwnConnection& operator=(const OwnConnection&) = delete;

  // Opens a connection to DISPLAY when none is open and returns the open one; nullptr when there
  // is no display.
  struct _XDisplay* Open();
  // False when the open connection must be given up: DISPLAY names another server, or the server
  // has gone away. Close it then and open again.
  bool Usable() const;
  // Closes the connection, also one whose server has gone.
  void Close();
  struct _XDisplay* display() const {
    return display_;
  }
  // The server went away during a request: Xlib must not touch the connection again.
  bool broken() const { return broken_; }

 private:
  friend void MarkBroken(OwnConnection& connection);
  struct _XDisplay* display_ = nullptr;
  std::string name_;
  bool broken_ = false;
};

// True when the other end of a connection's socket has closed it (a server that went away),
// also while unread data is still waiting before the end of the stream.
PLATFORM_API bool PeerClosed(int fd);

}  // namespace x11
}  // namespace platform
