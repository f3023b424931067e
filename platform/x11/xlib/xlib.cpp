// The toolkit's Xlib connections, with the X error handlers that keep the process alive through
// X errors and a server that goes away.
#include "platform/x11/xlib/xlib.h"

#include <X11/Xlib.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

// Xlib's own error handler, which prints and ends the process (declared in Xlibint.h).
extern "C" int _XDefaultError(::Display* display, XErrorEvent* event);

namespace platform::x11 {
namespace {

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

// Errors on our connections are ignored; others go to the handler that was there before us.
int RecordError(Display* display, XErrorEvent* event) {
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
  if (IsOwn(display)) return 0;
  return previous_io_handler ? previous_io_handler(display) : 0;
}

// The server went away in the middle of a request: keep the process, give up the connection.
// Xlib has marked it, so that every later request on it returns at once.
void OnIoErrorExit(Display*, void* own_connection) {
  MarkBroken(*static_cast<OwnConnection*>(own_connection));
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

}  // namespace

void MarkBroken(OwnConnection& connection) {
  connection.broken_ = true;
}

Display* OwnConnection::Open() {
  if (display_) return display_;
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return nullptr;
  if (!own) own = new std::vector<OwnConnection*>;
  own->push_back(this);
  InstallHandlers();
  display_ = OpenGuarded(name);
  if (!display_) {
    own->pop_back();
    return nullptr;
  }
  InstallHandlers();
  XSetIOErrorExitHandler(display_, OnIoErrorExit, this);
  name_ = name;
  broken_ = false;
  return display_;
}

void OwnConnection::GuardErrors() {
  InstallHandlers();
}

void OwnConnection::Close() {
  if (!display_) return;
  XCloseDisplay(display_);
  std::erase(*own, this);
  display_ = nullptr;
  name_.clear();
  broken_ = false;
}

}  // namespace platform::x11
