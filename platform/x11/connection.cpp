// The process's one connection to the X server: opened from DISPLAY on first use, opened anew
// when DISPLAY names another server or the server has gone away, with the X error handlers that
// keep the process alive through both.
#include "platform/x11/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

// Xlib's own error handler, which prints and ends the process (declared in Xlibint.h).
extern "C" int _XDefaultError(Display* display, XErrorEvent* event);

namespace platform {
namespace x11 {
namespace {

Connection* current = nullptr;
// Counts connections opened, so that shared pixel memory knows which one it is attached to.
unsigned generation = 0;
int first_error = 0;
// Connections whose server went away, until they are closed.
std::vector<Display*>* lost_displays = nullptr;
unsigned server_losses = 0;
// The open connections of their own.
std::vector<OwnConnection*>* own = nullptr;

OwnConnection* FindOwn(Display* display) {
  if (!own) return nullptr;
  for (OwnConnection* c : *own)
    if (c->display() == display) return c;
  return nullptr;
}
std::string failed_name;
std::chrono::steady_clock::time_point failed_at{};
std::uint64_t failed_stamp = 0;

XErrorHandler previous_error_handler = nullptr;

// Errors on the shared connection are recorded, errors on connections of their own ignored;
// others go to the handler that was there before us.
int RecordError(Display* display, XErrorEvent* event) {
  if (current && display == current->display) {
    if (first_error == 0) first_error = event->error_code;
    return 0;
  }
  if (FindOwn(display)) return 0;
  // Xlib's own handler ends the process: other connections' errors are told instead.
  if (!previous_error_handler || previous_error_handler == _XDefaultError) {
    char text[128] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    std::fprintf(stderr, "Pictoss: X error on %s: %s (request %d.%d)\n", DisplayString(display),
                 text, event->request_code, event->minor_code);
    return 0;
  }
  // Handlers that pass errors on to the one before them could hand it back to us.
  static bool passing = false;
  if (passing) return 0;
  passing = true;
  int result = previous_error_handler(display, event);
  passing = false;
  return result;
}

bool IsLost(Display* display) {
  return lost_displays &&
         std::find(lost_displays->begin(), lost_displays->end(), display) != lost_displays->end();
}

// Xlib calls this first when a connection breaks; its default prints and ends the process.
int OnIoError(Display*) {
  return 0;
}

// Then this, in place of ending the process: the connection is given up. Xlib has marked it,
// so that every later request on it returns at once.
void OnIoErrorExit(Display* display, void*) {
  if (current && display == current->display) current->broken = true;
  if (OwnConnection* c = FindOwn(display)) MarkBroken(*c);
  if (!IsLost(display)) {
    if (!lost_displays) lost_displays = new std::vector<Display*>;
    lost_displays->push_back(display);
    ++server_losses;
  }
}

void Retire() {
  if (!current) return;
  if (!current->broken && !Alive(current->display)) ++server_losses;
  // Requests to a server that is gone do nothing now; Xlib still frees what it holds for them.
  DropSegment(*current, true);
  X11CloseDisplay(current->display);
  delete current;
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

// What identifies a local server's socket, so that a server started after a failed attempt
// is tried at once: the socket's inode and change time, or 0 when there is none (or the
// display is not a local one, ":N").
std::uint64_t LocalSocketStamp(std::string_view name) {
  if (name.empty() || name[0] != ':') return 0;
  std::string_view number = name.substr(1, name.find('.') - 1);
  struct stat st {};
  if (stat(("/tmp/.X11-unix/X" + std::string(number)).c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_ino) * 1000003u ^
         static_cast<std::uint64_t>(st.st_ctim.tv_sec) * 1000000000u ^
         static_cast<std::uint64_t>(st.st_ctim.tv_nsec);
}

Connection* Open(const char* name) {
  auto now = std::chrono::steady_clock::now();
  // Attempts on a display that just failed are not repeated for a second, unless its server
  // has come back meanwhile.
  if (failed_name == name && now - failed_at < std::chrono::seconds(1) &&
      LocalSocketStamp(name) == failed_stamp)
    return nullptr;
  Display* d = XOpenDisplay(name);
  if (!d) {
    failed_name = name;
    failed_at = now;
    failed_stamp = LocalSocketStamp(name);
    return nullptr;
  }
  X11KeepProcessOnServerLoss(d);
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
  display_ = XOpenDisplay(name);
  if (!display_) return nullptr;
  if (!own) own = new std::vector<OwnConnection*>;
  own->push_back(this);
  X11KeepProcessOnServerLoss(display_);
  name_ = name;
  broken_ = false;
  return display_;
}

bool OwnConnection::Usable() const {
  const char* name = std::getenv("DISPLAY");
  return display_ && !broken_ && name && name_ == name && !X11ServerLost(display_);
}

void OwnConnection::Close() {
  if (!display_) return;
  if (own) std::erase(*own, this);
  X11CloseDisplay(display_);
  display_ = nullptr;
  name_.clear();
  broken_ = false;
}

unsigned ServerLosses() {
  return server_losses;
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

void X11KeepProcessOnServerLoss(Display* display) {
  XSetIOErrorHandler(x11::OnIoError);
  XErrorHandler previous = XSetErrorHandler(x11::RecordError);
  if (previous != x11::RecordError) x11::previous_error_handler = previous;
  if (display) XSetIOErrorExitHandler(display, x11::OnIoErrorExit, nullptr);
}

bool X11ServerLost(Display* display) {
  return display && (x11::IsLost(display) || x11::PeerClosed(ConnectionNumber(display)));
}

void X11CloseDisplay(Display* display) {
  if (!display) return;
  if (auto* lost = x11::lost_displays) std::erase(*lost, display);
  XCloseDisplay(display);
}

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
