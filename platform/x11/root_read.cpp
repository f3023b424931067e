// Reads of the root window's pixels: a band of rows at a time through a small MIT-SHM segment
// that is kept and reused (pipelined through two shared pixmaps where the server allows), or
// by plain image requests; and pixel memory shared with the server for repeated captures.
#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/x11/connection.h"

namespace platform::x11 {

void DropSegment(Connection& c, bool server_alive) {
  if (c.segment_size == 0) return;
  if (server_alive) {
    for (Pixmap& p : c.halves)
      if (p != None) XFreePixmap(c.display, p);
    XShmDetach(c.display, &c.segment);
  }
  // The GC is Xlib's memory as well as the server's: freed whatever became of the server.
  if (c.copy_gc) XFreeGC(c.display, c.copy_gc);
  c.halves[0] = c.halves[1] = None;
  c.copy_gc = nullptr;
  c.half_bytes = 0;
  shmdt(c.segment.shmaddr);
  c.segment = {};
  c.segment_size = 0;
}

namespace {

// Makes a shared segment of that size and has the server attach it; marks it for removal once
// the server holds it, so that it goes with the last detach even if the process dies. False (and
// nothing left behind) when shared memory or the attach fails, typically for a server on another
// machine.
bool AttachSegment(Display* display, std::size_t bytes, XShmSegmentInfo& s) {
  s = {};
  s.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (s.shmid < 0) return false;
  s.shmaddr = static_cast<char*>(shmat(s.shmid, nullptr, 0));
  bool mapped = s.shmaddr != reinterpret_cast<char*>(-1);
  s.readOnly = False;
  X11TakeError();
  bool attached = mapped && XShmAttach(display, &s) && X11TakeError() == 0;
  shmctl(s.shmid, IPC_RMID, nullptr);
  if (!attached) {
    if (mapped) shmdt(s.shmaddr);
    s = {};
  }
  return attached;
}

bool EnsureSegment(Connection& c, std::size_t bytes) {
  if (!c.shm_available) return false;
  if (c.segment_size >= bytes) return true;
  DropSegment(c, true);
  if (!AttachSegment(c.display, bytes, c.segment)) return c.shm_available = c.shm_pixmaps = false;
  c.segment_size = bytes;
  return true;
}

// Reads rows from *done on; leaves in *done the rows read when it fails.
bool ReadShared(Connection& c, const Rect& r, const std::function<void(const Band&)>& sink,
                int* done) {
  int line = static_cast<int>(
      ((static_cast<std::size_t>(r.width) * c.format.bits_per_pixel + 31) / 32) * 4);
  if (!EnsureSegment(c, std::max<std::size_t>(kSegmentBytes, line))) return false;
  int band_rows = std::max(1, static_cast<int>(c.segment_size / static_cast<std::size_t>(line)));
  XImage* image = XShmCreateImage(c.display, c.visual, c.depth, ZPixmap, c.segment.shmaddr,
                                  &c.segment, r.width, std::min(band_rows, r.height));
  if (!image) return false;
  bool ok = true;
  for (; *done < r.height && ok; *done += image->height) {
    image->height = std::min(band_rows, r.height - *done);
    ok = XShmGetImage(c.display, c.format.root, image, r.x, r.y + *done, AllPlanes);
    if (!ok) break;
    sink({reinterpret_cast<const std::uint8_t*>(image->data), image->bytes_per_line, *done,
          image->height});
  }
  XDestroyImage(image);
  return ok;
}

// The two shared pixmaps, a band of the root's full width each.
bool EnsurePixmaps(Connection& c) {
  if (!c.shm_pixmaps) return false;
  if (c.half_bytes != 0) return true;
  Display* d = c.display;
  int width = DisplayWidth(d, DefaultScreen(d));
  std::size_t pad = static_cast<std::size_t>(c.scanline_pad);
  std::size_t line =
      (static_cast<std::size_t>(width) * c.format.bits_per_pixel + pad - 1) / pad * pad / 8;
  std::size_t rows = std::max<std::size_t>(1, kSegmentBytes / 2 / line);
  std::size_t half = (rows * line + 4095) / 4096 * 4096;
  if (!EnsureSegment(c, 2 * half)) return false;
  for (int i = 0; i < 2; ++i)
    c.halves[i] = XShmCreatePixmap(d, c.format.root, c.segment.shmaddr + i * half, &c.segment,
                                   width, static_cast<unsigned>(rows), c.depth);
  XGCValues values{};
  values.subwindow_mode = IncludeInferiors;  // what the screen shows, child windows included
  values.graphics_exposures = False;
  c.copy_gc = XCreateGC(d, c.halves[0], GCSubwindowMode | GCGraphicsExposures, &values);
  c.half_bytes = half;
  c.band_line = static_cast<int>(line);
  c.band_rows = static_cast<int>(rows);
  if (X11TakeError() == 0) return true;
  DropSegment(c, true);
  c.shm_pixmaps = false;
  return false;
}

// Copies bands into the two shared pixmaps in turn: while the server fills one, the band in
// the other goes to the sink. Reads rows from *done on and leaves there the rows delivered.
bool ReadPipelined(Connection& c, const Rect& r, const std::function<void(const Band&)>& sink,
                   int* done) {
  if (r.width > DisplayWidth(c.display, DefaultScreen(c.display)) || !EnsurePixmaps(c))
    return false;
  auto issue = [&](int row, int slot) {
    XCopyArea(c.display, c.format.root, c.halves[slot], c.copy_gc, r.x, r.y + row,
              static_cast<unsigned>(r.width),
              static_cast<unsigned>(std::min(c.band_rows, r.height - row)), 0, 0);
  };
  FirstError() = 0;
  issue(*done, 0);
  XSync(c.display, False);
  for (int slot = 0; *done < r.height && FirstError() == 0 && !c.broken; slot ^= 1) {
    int rows = std::min(c.band_rows, r.height - *done);
    int next = *done + rows;
    if (next < r.height) {
      issue(next, slot ^ 1);
      XFlush(c.display);
    }
    sink({reinterpret_cast<const std::uint8_t*>(c.segment.shmaddr + slot * c.half_bytes),
          c.band_line, *done, rows});
    *done = next;
    if (next < r.height) XSync(c.display, False);
  }
  return std::exchange(FirstError(), 0) == 0 && !c.broken;
}

bool ReadCopied(Connection& c, const Rect& r, const std::function<void(const Band&)>& sink,
                int first) {
  int line = static_cast<int>(
      ((static_cast<std::size_t>(r.width) * c.format.bits_per_pixel + 31) / 32) * 4);
  int band_rows = std::max(1, static_cast<int>(kSegmentBytes / static_cast<std::size_t>(line)));
  for (int row = first; row < r.height; row += band_rows) {
    int rows = std::min(band_rows, r.height - row);
    XImage* image =
        XGetImage(c.display, c.format.root, r.x, r.y + row, r.width, rows, AllPlanes, ZPixmap);
    if (!image) return false;
    sink({reinterpret_cast<const std::uint8_t*>(image->data), image->bytes_per_line, row, rows});
    XDestroyImage(image);
  }
  return true;
}

}  // namespace

namespace {

struct SharedPixels {
  XShmSegmentInfo segment{};
  std::size_t size = 0;
  unsigned generation = 0;  // of the connection that has it attached
};

std::vector<SharedPixels>& SharedBlocks() {
  static auto* blocks = new std::vector<SharedPixels>;
  return *blocks;
}

SharedPixels* FindShared(const void* p, std::size_t bytes) {
  auto* at = static_cast<const char*>(p);
  for (SharedPixels& b : SharedBlocks())
    if (at >= b.segment.shmaddr && bytes <= b.size &&
        static_cast<std::size_t>(at - b.segment.shmaddr) <= b.size - bytes)
      return &b;
  return nullptr;
}

}  // namespace

void* AllocateSharedPixels(std::size_t bytes) {
  Connection* c = Current();
  if (!c || !c->shm_available || bytes == 0) return nullptr;
  SharedPixels b;
  b.size = bytes;
  b.generation = c->generation;
  if (!AttachSegment(c->display, bytes, b.segment)) return nullptr;
  SharedBlocks().push_back(b);
  return b.segment.shmaddr;
}

void FreeSharedPixels(void* memory) {
  auto& blocks = SharedBlocks();
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].segment.shmaddr != memory) continue;
    if (Existing() && Existing()->generation == blocks[i].generation && !Existing()->broken &&
        Alive(Existing()->display))
      XShmDetach(Existing()->display, &blocks[i].segment);
    shmdt(blocks[i].segment.shmaddr);
    blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

bool IsSharedPixels(const void* memory) {
  SharedPixels* b = FindShared(memory, 0);
  return b && Existing() && b->generation == Existing()->generation;
}

bool ReadRootShared(const Rect& r, std::uint8_t* dest, int stride) {
  Connection* c = Current();
  if (!c || r.width <= 0 || r.height <= 0 || stride <= 0) return false;
  SharedPixels* b = FindShared(dest, static_cast<std::size_t>(stride) * r.height);
  if (!b || b->generation != c->generation) return false;
  XImage* image = XShmCreateImage(c->display, c->visual, c->depth, ZPixmap,
                                  reinterpret_cast<char*>(dest), &b->segment, r.width, r.height);
  if (!image) return false;
  bool ok = image->bytes_per_line == stride &&
            XShmGetImage(c->display, c->format.root, image, r.x, r.y, AllPlanes);
  XDestroyImage(image);
  return ok;
}

bool ReadRoot(const Rect& r, const std::function<void(const Band&)>& sink) {
  Connection* c = Current();
  if (!c || r.width <= 0 || r.height <= 0) return false;
  int done = 0;
  if (c->shm_pixmaps) {
    if (ReadPipelined(*c, r, sink, &done)) return true;
    if (c->broken) return false;  // the server went away during the read
    c->shm_pixmaps = false;       // this server does not copy into them: read by images from now on
  }
  if (c->shm_available) {
    if (ReadShared(*c, r, sink, &done)) return true;
    if (c->broken) return false;
    // The server refused the shared segment: read the rest, and from now on, by copies.
    DropSegment(*c, true);
    c->shm_available = false;
  }
  return ReadCopied(*c, r, sink, done) && !c->broken;
}

void StopUsingSharedPixmaps() {
  if (Connection* c = Current()) c->shm_pixmaps = false;
}

ReadMethod CurrentReadMethod() {
  Connection* c = Current();
  if (!c) return ReadMethod::kNone;
  if (c->shm_pixmaps) return ReadMethod::kSharedPixmaps;
  return c->shm_available ? ReadMethod::kSharedImages : ReadMethod::kImages;
}

}  // namespace platform::x11
