// Inside the X side of the platform layer: the one display connection and what it keeps (the
// screen's format, the cached monitor layout, the shared-memory segment). Internal to
// platform/x11. Threading: the user-interface thread only.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "platform/x11/x11.h"

namespace platform::x11 {

// Bands are read through a segment of this size (at least one row), small enough to stay in
// the cache between the server's write and our copy. Where the server can draw into shared
// pixmaps the segment holds two of them, so that the server fills one band while the previous
// one is copied out of the other.
constexpr std::size_t kSegmentBytes = 2 << 20;

struct Connection {
  Display* display = nullptr;
  std::string name;
  unsigned generation = 0;
  bool broken = false;  // Xlib must not touch it again
  ScreenInfo format;    // everything but the monitor
  Visual* visual = nullptr;
  int depth = 0;
  int scanline_pad = 32;
  bool shm_available = false;
  bool shm_pixmaps = false;
  XShmSegmentInfo segment{};
  std::size_t segment_size = 0;
  // The two shared pixmaps in the segment, each `band_rows` rows of the root's width.
  Pixmap halves[2] = {None, None};
  GC copy_gc = nullptr;
  std::size_t half_bytes = 0;
  int band_line = 0;
  int band_rows = 0;
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
// Whether the server at the other end of the display's socket is still there.
bool Alive(Display* display);
// The first X error recorded on the open connection since it was last cleared.
int& FirstError();
// Gives up the connection's shared-memory segment (telling the server when it is alive).
void DropSegment(Connection& c, bool server_alive);

}  // namespace platform::x11
