// The process's one connection to the X server: opened from DISPLAY on first use, opened anew
// when DISPLAY names another server or the server has gone away, with the X error handlers that
// keep the process alive through both.
#include "platform/x11/connection.h"

#include <X11/Xlib-xcb.h>
#include <xcb/shm.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/debug.h"

// Xlib's own error handler, which prints and ends the process (declared in Xlibint.h).
extern "C" int _XDefaultError(::Display* display, XErrorEvent* event);

namespace platform {
namespace x11 {
namespace {

Connection* current = nullptr;
// Counts connections opened, so that shared pixel memory knows which one it is attached to.
unsigned generation = 0;
int first_error = 0;
unsigned server_losses = 0;
std::string failed_name;
std::chrono::steady_clock::time_point failed_at{};
std::uint64_t failed_stamp = 0;

// The open connections of their own.
std::vector<OwnConnection*>* own = nullptr;

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
  // Xlib's own handler ends the process: other connections' errors are told instead.
  if (!previous_error_handler || previous_error_handler == _XDefaultError) {
    char text[128] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    std::fprintf(stderr, "pictoss: X error on %s: %s (request %d.%d)\n", DisplayString(display),
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

// Where XOpenDisplay was called from while it runs on this thread, and the connections that it
// gave up half made (kept reachable, never used).
thread_local std::jmp_buf* opening = nullptr;
std::vector<Display*>* half_open = nullptr;

// A lost server is reported by the handler before us, except on our connections, which are
// given up quietly (and whose exit handler keeps the process).
int OnIoError(Display* display) {
  // A server that goes away before XOpenDisplay returns (or one that hangs up right after the
  // connection setup) breaks a connection whose exit handler is still Xlib's, which ends the
  // process, and Xlib has already read it: the only way on is out of XOpenDisplay.
  if (std::jmp_buf* back = std::exchange(opening, nullptr)) {
    if (!half_open) half_open = new std::vector<Display*>;
    half_open->push_back(display);
    std::longjmp(*back, 1);
  }
  if (IsOwn(display) || (current && display == current->display)) return 0;
  return previous_io_handler ? previous_io_handler(display) : 0;
}

// The server went away in the middle of a request: keep the process, give up the connection.
// Xlib has marked it, so that every later request on it returns at once.
void OnIoErrorExit(Display* display, void* own_connection) {
  ++server_losses;
  if (own_connection) {
    MarkBroken(*static_cast<OwnConnection*>(own_connection));
  } else if (current && display == current->display) {
    current->broken = true;
    DebugLine("x11", "the X server %s went away during a request", current->name.c_str());
  }
}

void InstallHandlers() {
  XErrorHandler previous = XSetErrorHandler(RecordError);
  if (previous != RecordError) previous_error_handler = previous;
  XIOErrorHandler previous_io = XSetIOErrorHandler(OnIoError);
  if (previous_io != OnIoError) previous_io_handler = previous_io;
}

// XOpenDisplay, with the way out of it that OnIoError takes when the server goes away. Only
// Xlib's frames lie between the two.
Display* OpenGuarded(const char* name) {
  std::jmp_buf here;
  if (setjmp(here) != 0) return nullptr;
  opening = &here;
  Display* d = XOpenDisplay(name);
  opening = nullptr;
  return d;
}

// Opens a connection with the error handling of every connection of ours.
Display* OpenDisplay(const char* name, OwnConnection* own_connection) {
  InstallHandlers();
  Display* d = OpenGuarded(name);
  if (!d) return nullptr;
  InstallHandlers();
  XSetIOErrorExitHandler(d, OnIoErrorExit, own_connection);
  return d;
}

void Retire() {
  if (!current) return;
  bool alive = !current->broken && Alive(current->display);
  if (!current->broken && !alive) {
    ++server_losses;
    DebugLine("x11", "the X server %s has gone away", current->name.c_str());
  }
  DropSegments(*current, alive);
  // Requests on a connection whose server is gone do nothing (the first one that finds it gone
  // breaks it); Xlib still frees what it holds for it, and the socket.
  XCloseDisplay(current->display);
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
  // Every 8-bit visual gives each of the 256 pixel values its colour through the colormap, which
  // XQueryColors reads for TrueColor, DirectColor, gray and static visuals as well: all of them
  // are read as palette screens.
  f.palette = c.depth == 8 && f.bits_per_pixel == 8;
  f.colormap_size = f.palette ? 256 : 0;
  const int bits = f.bits_per_pixel;
  if (!f.palette && !(c.visual->c_class == TrueColor && (bits == 16 || bits == 24 || bits == 32))) {
    static constexpr const char* kClasses[] = {"StaticGray",  "GrayScale", "StaticColor",
                                               "PseudoColor", "TrueColor", "DirectColor"};
    const int k = c.visual->c_class;
    c.unsupported = "the screen's format (" + std::to_string(c.depth) + "-bit " +
                    (k >= 0 && k < 6 ? kClasses[k] : "unknown visual") +
                    ") is not supported: captures need a TrueColor screen or an 8-bit one";
  }
  xcb_connection_t* xcb = XGetXCBConnection(d);
  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(xcb, &xcb_shm_id);
  c.shm_available = shm && shm->present;
  if (!c.shm_available) {
    DebugLine("x11", "%s has no MIT-SHM: the screen is read by plain image requests",
              DisplayString(d));
    return;
  }
  xcb_shm_query_version_reply_t* version =
      xcb_shm_query_version_reply(xcb, xcb_shm_query_version(xcb), nullptr);
  c.shm_available = version && (version->major_version > 1 ||
                                (version->major_version == 1 && version->minor_version >= 2));
  std::free(version);
  if (!c.shm_available)
    DebugLine("x11",
              "%s takes no shared memory by descriptor (MIT-SHM before 1.2): the screen is "
              "read by plain image requests",
              DisplayString(d));
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
  Display* d = OpenDisplay(name, nullptr);
  if (!d) {
    failed_name = name;
    failed_at = now;
    failed_stamp = LocalSocketStamp(name);
    return nullptr;
  }
  auto* c = new Connection;
  first_error = 0;  // recorded on the connection before
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

bool NoteIfLost(Connection& c) {
  if (c.broken) return true;
  if (!xcb_connection_has_error(XGetXCBConnection(c.display)) && Alive(c.display)) return false;
  c.broken = true;
  ++server_losses;
  DebugLine("x11", "the X server %s went away during a read", c.name.c_str());
  return true;
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
  XCloseDisplay(display_);
  std::erase(*own, this);
  display_ = nullptr;
  name_.clear();
  broken_ = false;
}

unsigned ServerLosses() {
  return server_losses;
}

SigpipeBlocked::SigpipeBlocked() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old_);
  sigset_t pending;
  sigpending(&pending);
  pending_before_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeBlocked::~SigpipeBlocked() {
  if (!pending_before_) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

std::mutex& ReplyTurn() {
  static auto* turn = new std::mutex;  // lives until exit, like the connection
  return *turn;
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

::Display* X11Display() {
  x11::Connection* c = x11::Current();
  return c ? c->display : nullptr;
}

int X11TakeError() {
  if (x11::Connection* c = x11::Current(); c && !x11::NoteIfLost(*c)) XSync(c->display, False);
  return std::exchange(x11::FirstError(), 0);
}

}  // namespace platform
