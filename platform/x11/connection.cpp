// The process's one connection to the X server: opened from DISPLAY on first use, opened anew
// when DISPLAY names another server or the server has gone away, with the X error handlers that
// keep the process alive through both.
#include "platform/x11/connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {
namespace x11 {
namespace {

Connection* current = nullptr;
// Counts connections opened, so that shared pixel memory knows which one it is attached to.
unsigned generation = 0;
// Connections left behind when DISPLAY moved on or the server went away. They are never used
// again (a request on a dead connection would end the process), only kept reachable.
std::vector<Connection*>* retired = nullptr;
int first_error = 0;
std::string failed_name;
std::chrono::steady_clock::time_point failed_at{};

// The open connections of their own, and those left behind by servers that went away (never
// used again, only kept reachable).
std::vector<OwnConnection*>* own = nullptr;
std::vector<Display*>* abandoned = nullptr;

XErrorHandler previous_error_handler = nullptr;
XIOErrorHandler previous_io_handler = nullptr;

bool IsOwn(Display* display) {
  if (!own) return false;
  for (const OwnConnection* c : *own)
    if (c->display() == display) return true;
  return false;
}

// Errors on the shared connection are recorded, errors on connections of their own ignored;
// others go to the handler that was there before us.
int RecordError(Display* display, XErrorEvent* event) {
  if (current && display == current->display) {
    if (first_error == 0) first_error = event->error_code;
    return 0;
  }
  if (IsOwn(display)) return 0;
  // Handlers that pass errors on to the one before them could hand it back to us.
  static bool passing = false;
  if (passing || !previous_error_handler) return 0;
  passing = true;
  int result = previous_error_handler(display, event);
  passing = false;
  return result;
}

// A lost server is reported by the handler before us, except on connections of their own,
// which their owners give up quietly.
int OnIoError(Display* display) {
  if (IsOwn(display)) return 0;
  return previous_io_handler ? previous_io_handler(display) : 0;
}

// The server went away in the middle of a request: keep the process, give up the connection.
void OnIoErrorExit(Display* display, void* own_connection) {
  if (own_connection) {
    MarkBroken(*static_cast<OwnConnection*>(own_connection));
  } else if (current && display == current->display) {
    current->broken = true;
  }
}

void InstallHandlers() {
  XErrorHandler previous = XSetErrorHandler(RecordError);
  if (previous != RecordError) previous_error_handler = previous;
  XIOErrorHandler previous_io = XSetIOErrorHandler(OnIoError);
  if (previous_io != OnIoError) previous_io_handler = previous_io;
}

// Opens a connection with the error handling of every connection of ours.
Display* OpenDisplay(const char* name, OwnConnection* own_connection) {
  Display* d = XOpenDisplay(name);
  if (!d) return nullptr;
  InstallHandlers();
  XSetIOErrorExitHandler(d, OnIoErrorExit, own_connection);
  return d;
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
  Display* d = OpenDisplay(name, nullptr);
  if (!d) {
    failed_name = name;
    failed_at = now;
    return nullptr;
  }
  auto* c = new Connection;
  c->display = d;
  c->name = name;
  c->generation = ++generation;
  ReadFormat(*c);
  return c;
}

}  // namespace

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

Connection* Existing() {
  return current;
}

bool Alive(Display* display) {
  return !PeerClosed(ConnectionNumber(display));
}

int& FirstError() {
  return first_error;
}

void MarkBroken(OwnConnection& connection) {
  connection.broken_ = true;
}

Display* OwnConnection::Open() {
  if (display_) return display_;
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return nullptr;
  if (!own) own = new std::vector<OwnConnection*>;
  own->push_back(this);
  display_ = OpenDisplay(name, this);
  if (!display_) {
    own->pop_back();
    return nullptr;
  }
  name_ = name;
  broken_ = false;
  return display_;
}

void OwnConnection::GuardErrors() {
  InstallHandlers();
}

bool OwnConnection::Usable() const {
  const char* name = std::getenv("DISPLAY");
  return display_ && !broken_ && name && name_ == name && Alive(display_);
}

void OwnConnection::Close() {
  if (!display_) return;
  if (broken_ || !Alive(display_)) {
    if (!abandoned) abandoned = new std::vector<Display*>;
    abandoned->push_back(display_);
  } else {
    XCloseDisplay(display_);
  }
  std::erase(*own, this);
  display_ = nullptr;
  name_.clear();
  broken_ = false;
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

Display* X11Display() {
  x11::Connection* c = x11::Current();
  return c ? c->display : nullptr;
}

int X11TakeError() {
  if (x11::Connection* c = x11::Current()) XSync(c->display, False);
  return std::exchange(x11::FirstError(), 0);
}

bool WaylandSession() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* session = std::getenv("XDG_SESSION_TYPE");
  return (wayland && *wayland) || (session && std::string_view(session) == "wayland");
}

}  // namespace platform
