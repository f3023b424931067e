// The one place of the drawing layer that speaks Xlib: the shared connection, the screen's
// format and monitors, windows, the resource database's Xft.dpi, and pixel reads through a
// small MIT-SHM segment that is kept and reused, a band of rows at a time.
#include "platform/x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {
namespace {

// Bands are read through a segment of this size (at least one row), small enough to stay in
// the cache between the server's write and our copy. Where the server can draw into shared
// pixmaps the segment holds two of them, so that the server fills one band while the previous
// one is copied out of the other.
constexpr std::size_t kSegmentBytes = 2 << 20;
constexpr auto kScreenCacheTime = std::chrono::milliseconds(500);

struct Connection {
  Display* display = nullptr;
  std::string name;
  unsigned generation = 0;
  bool broken = false;     // Xlib must not touch it again
  x11::ScreenInfo format;  // everything but the monitor
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
  x11::Rect primary;
  double dpi = 0;
};

Connection* current = nullptr;
// Counts connections opened, so that shared pixel memory knows which one it is attached to.
unsigned generation = 0;
// Connections left behind when DISPLAY moved on or the server went away. They are never used
// again (a request on a dead connection would end the process), only kept reachable.
std::vector<Connection*>* retired = nullptr;
int first_error = 0;
std::string failed_name;
std::chrono::steady_clock::time_point failed_at{};

XErrorHandler previous_error_handler = nullptr;

// Errors on our connection are recorded; others go to the handler that was there before us
// (such as the clipboard's, for its own connection).
int RecordError(Display* display, XErrorEvent* event) {
  if (current && display == current->display) {
    if (first_error == 0) first_error = event->error_code;
    return 0;
  }
  // Handlers that pass errors on to the one before them could hand it back to us.
  static bool passing = false;
  if (passing || !previous_error_handler) return 0;
  passing = true;
  int result = previous_error_handler(display, event);
  passing = false;
  return result;
}

// The server went away in the middle of a request: keep the process, give up the connection.
void OnIoErrorExit(Display* display, void*) {
  if (current && display == current->display) current->broken = true;
}

bool Alive(Display* display) {
  return !x11::PeerClosed(ConnectionNumber(display));
}

void DropSegment(Connection& c, bool server_alive) {
  if (c.segment_size == 0) return;
  if (server_alive) {
    for (Pixmap& p : c.halves)
      if (p != None) XFreePixmap(c.display, p);
    if (c.copy_gc) XFreeGC(c.display, c.copy_gc);
    XShmDetach(c.display, &c.segment);
  }
  c.halves[0] = c.halves[1] = None;
  c.copy_gc = nullptr;
  c.half_bytes = 0;
  shmdt(c.segment.shmaddr);
  c.segment = {};
  c.segment_size = 0;
}

void Retire() {
  if (!current) return;
  bool alive = !current->broken && Alive(current->display);
  DropSegment(*current, alive);
  if (alive) {
    XCloseDisplay(current->display);
    delete current;
  } else {
    if (!retired) retired = new std::vector<Connection*>;
    retired->push_back(current);
  }
  current = nullptr;
}

void ReadFormat(Connection& c) {
  Display* d = c.display;
  int screen = DefaultScreen(d);
  c.visual = DefaultVisual(d, screen);
  c.depth = DefaultDepth(d, screen);
  x11::ScreenInfo& f = c.format;
  f.connected = true;
  f.root = static_cast<std::uint32_t>(RootWindow(d, screen));
  f.bits_per_pixel = c.depth;
  int count = 0;
  if (XPixmapFormatValues* formats = XListPixmapFormats(d, &count)) {
    for (int i = 0; i < count; ++i) {
      if (formats[i].depth != c.depth) continue;
      f.bits_per_pixel = formats[i].bits_per_pixel;
      c.scanline_pad = formats[i].scanline_pad;
    }
    XFree(formats);
  }
  f.red = static_cast<std::uint32_t>(c.visual->red_mask);
  f.green = static_cast<std::uint32_t>(c.visual->green_mask);
  f.blue = static_cast<std::uint32_t>(c.visual->blue_mask);
  f.palette = c.visual->c_class == PseudoColor && c.depth == 8;
  f.colormap_size = f.palette ? c.visual->map_entries : 0;
  int major = 0, minor = 0;
  Bool pixmaps = False;
  c.shm_available = XShmQueryExtension(d) && XShmQueryVersion(d, &major, &minor, &pixmaps);
  c.shm_pixmaps = c.shm_available && pixmaps && XShmPixmapFormat(d) == ZPixmap;
}

Connection* Open(const char* name) {
  auto now = std::chrono::steady_clock::now();
  if (failed_name == name && now - failed_at < std::chrono::seconds(1)) return nullptr;
  Display* d = XOpenDisplay(name);
  if (!d) {
    failed_name = name;
    failed_at = now;
    return nullptr;
  }
  XErrorHandler previous = XSetErrorHandler(RecordError);
  if (previous != RecordError) previous_error_handler = previous;
  XSetIOErrorExitHandler(d, OnIoErrorExit, nullptr);
  auto* c = new Connection;
  c->display = d;
  c->name = name;
  c->generation = ++generation;
  ReadFormat(*c);
  return c;
}

Connection* Current() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) {
    Retire();
    return nullptr;
  }
  if (current && (current->broken || current->name != name || !Alive(current->display))) Retire();
  if (!current) current = Open(name);
  return current;
}

x11::Rect PrimaryMonitor(Connection& c) {
  Display* d = c.display;
  Window root = c.format.root;
  x11::Rect whole{0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))};
  int event, error;
  if (!XRRQueryExtension(d, &event, &error)) return whole;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(d, root, True, &count);
  if (!monitors) return whole;
  x11::Rect r = whole;
  for (int i = count - 1; i >= 0; --i) {  // the primary, else the first
    if (monitors[i].primary || i == 0) {
      r = {monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height};
      if (monitors[i].primary) break;
    }
  }
  XRRFreeMonitors(monitors);
  return r;
}

double ParseXftDpi(std::string_view resources) {
  constexpr std::string_view kKey = "Xft.dpi:";
  std::size_t at = 0;
  while ((at = resources.find(kKey, at)) != std::string_view::npos) {
    if (at == 0 || resources[at - 1] == '\n') {
      std::size_t p = at + kKey.size();
      while (p < resources.size() && (resources[p] == ' ' || resources[p] == '\t')) ++p;
      double dpi = 0;
      auto [end, ec] =
          std::from_chars(resources.data() + p, resources.data() + resources.size(), dpi);
      return ec == std::errc() && dpi > 0 ? dpi : 0;
    }
    at += kKey.size();
  }
  return 0;
}

double ReadXftDpi(Connection& c) {
  Atom type;
  int format;
  unsigned long items, after;
  unsigned char* data = nullptr;
  double dpi = 0;
  if (XGetWindowProperty(c.display, c.format.root, XA_RESOURCE_MANAGER, 0, 1 << 20, False,
                         XA_STRING, &type, &format, &items, &after, &data) == Success &&
      data) {
    if (format == 8) dpi = ParseXftDpi({reinterpret_cast<char*>(data), items});
    XFree(data);
  }
  return dpi;
}

void RefreshCache(Connection& c) {
  auto now = std::chrono::steady_clock::now();
  if (c.cache_valid && now - c.cached_at < kScreenCacheTime) return;
  c.primary = PrimaryMonitor(c);
  c.dpi = ReadXftDpi(c);
  c.cached_at = now;
  c.cache_valid = true;
}

}  // namespace

Display* X11Display() {
  Connection* c = Current();
  return c ? c->display : nullptr;
}

int X11TakeError() {
  if (Connection* c = Current()) XSync(c->display, False);
  return std::exchange(first_error, 0);
}

namespace x11 {

ScreenInfo Screen() {
  Connection* c = Current();
  if (!c) return {};
  RefreshCache(*c);
  ScreenInfo s = c->format;
  s.primary = c->primary;
  return s;
}

void ForgetScreenCache() {
  if (current) current->cache_valid = false;
}

double XftDpi() {
  Connection* c = Current();
  if (!c) return 0;
  RefreshCache(*c);
  return c->dpi;
}

int ReadColormap(int start, int count, std::uint8_t* rgb) {
  Connection* c = Current();
  if (!c || !c->format.palette || start < 0 || count <= 0) return 0;
  count = std::min(count, c->format.colormap_size - start);
  if (count <= 0) return 0;
  std::vector<XColor> colors(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) colors[i].pixel = static_cast<unsigned long>(start + i);
  XQueryColors(c->display, DefaultColormap(c->display, DefaultScreen(c->display)), colors.data(),
               count);
  if (X11TakeError() != 0) return 0;
  for (int i = 0; i < count; ++i) {
    rgb[3 * i] = static_cast<std::uint8_t>(colors[i].red >> 8);
    rgb[3 * i + 1] = static_cast<std::uint8_t>(colors[i].green >> 8);
    rgb[3 * i + 2] = static_cast<std::uint8_t>(colors[i].blue >> 8);
  }
  return count;
}

bool WindowRect(std::uint32_t window, bool client, Rect* rect) {
  Connection* c = Current();
  if (!c || window == 0) return false;
  // Requests with a reply fail by their status; the error handler keeps the process going.
  XWindowAttributes a;
  if (!XGetWindowAttributes(c->display, window, &a)) return false;
  int x = 0, y = 0;
  Window child;
  if (!XTranslateCoordinates(c->display, window, c->format.root, 0, 0, &x, &y, &child))
    return false;
  int border = client ? 0 : a.border_width;
  *rect = {x - border, y - border, a.width + 2 * border, a.height + 2 * border};
  return true;
}

namespace {

Window NetActiveWindow(Connection& c) {
  Atom active = XInternAtom(c.display, "_NET_ACTIVE_WINDOW", True);
  if (active == None) return None;
  Atom type;
  int format;
  unsigned long items, after;
  unsigned char* data = nullptr;
  Window w = None;
  if (XGetWindowProperty(c.display, c.format.root, active, 0, 1, False, XA_WINDOW, &type, &format,
                         &items, &after, &data) == Success &&
      data) {
    if (format == 32 && items == 1)
      w = static_cast<Window>(*reinterpret_cast<unsigned long*>(data));
    XFree(data);
  }
  return w;
}

// The ancestor whose parent is the root (the window manager's frame), or None.
Window TopLevel(Connection& c, Window w) {
  Window root = c.format.root;
  for (int depth = 0; w != None && w != root && depth < 64; ++depth) {
    Window r, parent, *children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(c.display, w, &r, &parent, &children, &n)) return None;
    if (children) XFree(children);
    if (parent == root) return w;
    w = parent;
  }
  return None;
}

}  // namespace

std::uint32_t ActiveTopLevel() {
  Connection* c = Current();
  if (!c) return 0;
  Window w = NetActiveWindow(*c);
  if (w == None) {
    int revert;
    XGetInputFocus(c->display, &w, &revert);
    if (w == PointerRoot) w = None;
  }
  return static_cast<std::uint32_t>(TopLevel(*c, w));
}

namespace {

bool EnsureSegment(Connection& c, std::size_t bytes) {
  if (!c.shm_available) return false;
  if (c.segment_size >= bytes) return true;
  DropSegment(c, true);
  XShmSegmentInfo& s = c.segment;
  s.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (s.shmid < 0) return c.shm_available = c.shm_pixmaps = false;
  s.shmaddr = static_cast<char*>(shmat(s.shmid, nullptr, 0));
  if (s.shmaddr == reinterpret_cast<char*>(-1)) {
    shmctl(s.shmid, IPC_RMID, nullptr);
    s = {};
    return c.shm_available = c.shm_pixmaps = false;
  }
  s.readOnly = False;
  X11TakeError();
  bool attached = XShmAttach(c.display, &s) && X11TakeError() == 0;
  // Once the server holds it, the segment can be marked for removal: it goes with the last
  // detach, even if the process dies.
  shmctl(s.shmid, IPC_RMID, nullptr);
  if (!attached) {  // typically a server on another machine
    shmdt(s.shmaddr);
    s = {};
    return c.shm_available = c.shm_pixmaps = false;
  }
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
  first_error = 0;
  issue(*done, 0);
  XSync(c.display, False);
  for (int slot = 0; *done < r.height && first_error == 0; slot ^= 1) {
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
  return std::exchange(first_error, 0) == 0;
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
  XShmSegmentInfo& s = b.segment;
  s.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (s.shmid < 0) return nullptr;
  s.shmaddr = static_cast<char*>(shmat(s.shmid, nullptr, 0));
  bool mapped = s.shmaddr != reinterpret_cast<char*>(-1);
  s.readOnly = False;
  X11TakeError();
  bool attached = mapped && XShmAttach(c->display, &s) && X11TakeError() == 0;
  shmctl(s.shmid, IPC_RMID, nullptr);
  if (!attached) {
    if (mapped) shmdt(s.shmaddr);
    return nullptr;
  }
  SharedBlocks().push_back(b);
  return s.shmaddr;
}

void FreeSharedPixels(void* memory) {
  auto& blocks = SharedBlocks();
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].segment.shmaddr != memory) continue;
    if (current && current->generation == blocks[i].generation && !current->broken &&
        Alive(current->display))
      XShmDetach(current->display, &blocks[i].segment);
    shmdt(blocks[i].segment.shmaddr);
    blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

bool IsSharedPixels(const void* memory) {
  SharedPixels* b = FindShared(memory, 0);
  return b && current && b->generation == current->generation;
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
    c->shm_pixmaps = false;  // this server does not copy into them: read by images from now on
  }
  if (c->shm_available) {
    if (ReadShared(*c, r, sink, &done)) return true;
    // The server refused the shared segment: read the rest, and from now on, by copies.
    DropSegment(*c, true);
    c->shm_available = false;
  }
  return ReadCopied(*c, r, sink, done);
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

// A dead server shows as a hang-up on the socket. Events it sent before it went may still wait
// unread in front of the end of the stream, so a peek at the next byte alone cannot tell.
bool PeerClosed(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&p, 1, 0) < 0) return errno != EINTR;
  if (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) return true;
  if (!(p.revents & POLLIN)) return false;
  char c;
  ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

}  // namespace x11
}  // namespace platform
