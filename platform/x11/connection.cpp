// The process's one connection to the X server, through XCB: opened from DISPLAY on first use,
// opened anew when DISPLAY names another server or the server has gone away. XCB never ends the
// process: a connection that breaks makes every later request do nothing, and X errors come back
// with the replies (or, for requests without one, in the event queue), where they are recorded.
#include "platform/x11/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <xcb/shm.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/base/debug.h"

namespace platform {
namespace x11 {
namespace {

Connection* current = nullptr;
// Counts connections opened, so that shared pixel memory knows which one it is attached to.
unsigned generation = 0;
std::atomic<int> first_error{0};
unsigned server_losses = 0;
// Counts connections that broke, were given up or failed to open: a write to the display that
// failed meanwhile may have raised SIGPIPE.
std::atomic<unsigned> troubles{0};
std::string failed_name;
std::chrono::steady_clock::time_point failed_at{};
std::uint64_t failed_stamp = 0;

// Errors of requests without a reply arrive among the replies, in the event queue (the shared
// connection asks for no events): recorded as they come, so that the queue does not grow.
void TakeQueuedErrors(Connection& c) {
  while (xcb_generic_event_t* event = xcb_poll_for_queued_event(c.xcb)) {
    if (event->response_type == 0)
      RecordError(reinterpret_cast<xcb_generic_error_t*>(event));
    else
      std::free(event);
  }
}

void Retire() {
  if (!current) return;
  troubles.fetch_add(1, std::memory_order_release);
  bool alive = !current->broken && Alive(current->xcb);
  if (!current->broken && !alive) {
    ++server_losses;
    DebugLine("x11", "the X server %s has gone away", current->name.c_str());
  }
  DropSegments(*current, alive);
  // Frees what XCB holds for the connection, and the socket, also when its server is gone.
  xcb_disconnect(current->xcb);
  delete current;
  current = nullptr;
}

const xcb_screen_t* ScreenNumber(xcb_connection_t* xcb, int number) {
  auto it = xcb_setup_roots_iterator(xcb_get_setup(xcb));
  for (int i = 0; it.rem && i < number; ++i) xcb_screen_next(&it);
  return it.rem ? it.data : nullptr;
}

const xcb_visualtype_t* RootVisual(const xcb_screen_t* screen) {
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d))
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
      if (v.data->visual_id == screen->root_visual) return v.data;
  return nullptr;
}

// Whether the server takes shared memory by descriptor (MIT-SHM 1.2).
bool SharesMemory(Connection& c) {
  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c.xcb, &xcb_shm_id);
  if (!shm || !shm->present) {
    DebugLine("x11", "%s has no MIT-SHM: the screen is read by plain image requests",
              c.name.c_str());
    return false;
  }
  auto version = Await(xcb_shm_query_version_reply, c.xcb, xcb_shm_query_version(c.xcb));
  const bool by_descriptor =
      version &&
      (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 2));
  if (!by_descriptor)
    DebugLine("x11",
              "%s takes no shared memory by descriptor (MIT-SHM before 1.2): the screen is "
              "read by plain image requests",
              c.name.c_str());
  return by_descriptor;
}

void ReadFormat(Connection& c, const xcb_screen_t& screen) {
  const xcb_visualtype_t* visual = RootVisual(&screen);
  c.depth = screen.root_depth;
  c.colormap = screen.default_colormap;
  c.width = screen.width_in_pixels;
  c.height = screen.height_in_pixels;
  c.visual_class = visual ? visual->_class : -1;
  x11::ScreenInfo& f = c.format;
  f.connected = true;
  f.root = screen.root;
  f.bits_per_pixel = c.depth;
  const xcb_setup_t* setup = xcb_get_setup(c.xcb);
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
    if (it.data->depth != c.depth) continue;
    f.bits_per_pixel = it.data->bits_per_pixel;
    c.scanline_pad = it.data->scanline_pad;
  }
  f.red = visual ? visual->red_mask : 0;
  f.green = visual ? visual->green_mask : 0;
  f.blue = visual ? visual->blue_mask : 0;
  // Every 8-bit visual gives each of the 256 pixel values its colour through the colormap, which
  // QueryColors reads for TrueColor, DirectColor, gray and static visuals as well: all of them
  // are read as palette screens.
  f.palette = c.depth == 8 && f.bits_per_pixel == 8;
  f.colormap_size = f.palette ? 256 : 0;
  const int bits = f.bits_per_pixel;
  if (!f.palette && !(c.visual_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
                      (bits == 16 || bits == 24 || bits == 32))) {
    static constexpr const char* kClasses[] = {"StaticGray",  "GrayScale", "StaticColor",
                                               "PseudoColor", "TrueColor", "DirectColor"};
    const int k = c.visual_class;
    c.unsupported = "the screen's format (" + std::to_string(c.depth) + "-bit " +
                    (k >= 0 && k < 6 ? kClasses[k] : "unknown visual") +
                    ") is not supported: captures need a TrueColor screen or an 8-bit one";
  }
  c.shm_available = SharesMemory(c);
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
  int number = 0;
  xcb_connection_t* xcb = xcb_connect(name, &number);
  const xcb_screen_t* screen = xcb_connection_has_error(xcb) ? nullptr : ScreenNumber(xcb, number);
  if (!screen) {
    xcb_disconnect(xcb);
    troubles.fetch_add(1, std::memory_order_release);
    DebugLine("x11", "no connection to the X server %s", name);
    failed_name = name;
    failed_at = now;
    failed_stamp = LocalSocketStamp(name);
    return nullptr;
  }
  auto* c = new Connection;
  c->xcb = xcb;
  c->name = name;
  ReadFormat(*c, *screen);
  // Reading the format waits for the server once: one that hung up right after the connection
  // setup is no display.
  if (xcb_connection_has_error(xcb)) {
    troubles.fetch_add(1, std::memory_order_release);
    DebugLine("x11", "the X server %s hung up as the connection began", name);
    xcb_disconnect(xcb);
    delete c;
    failed_name = name;
    failed_at = now;
    failed_stamp = LocalSocketStamp(name);
    return nullptr;
  }
  first_error = 0;  // recorded on the connection before
  c->generation = ++generation;
  return c;
}

}  // namespace

Connection* Current() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) {
    Retire();
    return nullptr;
  }
  if (current && (current->broken || current->name != name || !Alive(current->xcb))) Retire();
  if (!current) current = Open(name);
  if (current) TakeQueuedErrors(*current);
  return current;
}

Connection* Existing() {
  return current;
}

bool Alive(xcb_connection_t* xcb) {
  return !xcb_connection_has_error(xcb) && !PeerClosed(xcb_get_file_descriptor(xcb));
}

void RecordError(xcb_generic_error_t* error) {
  int none = 0;
  first_error.compare_exchange_strong(none, error->error_code);
  std::free(error);
}

bool NoteIfLost(Connection& c) {
  if (c.broken) return true;
  if (Alive(c.xcb)) return false;
  c.broken = true;
  troubles.fetch_add(1, std::memory_order_release);
  ++server_losses;
  DebugLine("x11", "the X server %s went away during a read", c.name.c_str());
  return true;
}

unsigned ServerLosses() {
  return server_losses;
}

namespace {

// The guards that the thread is in, and whether one of them has writes to other connections.
thread_local int sigpipe_guards = 0;
thread_local bool sigpipe_any_write = false;

// Whether a write to a display connection may have failed since `troubles_before` was read.
bool WriteMayHaveFailed(unsigned troubles_before) {
  if (troubles.load(std::memory_order_acquire) != troubles_before) return true;
  const Connection* c = Existing();
  return !c || c->broken || xcb_connection_has_error(c->xcb);
}

}  // namespace

SigpipeBlocked::SigpipeBlocked(Writes writes) : outermost_(sigpipe_guards++ == 0) {
  // Debug lines go to stderr, which may be a pipe that nobody reads any more.
  if (outermost_) sigpipe_any_write = std::getenv("PICTOSS_DEBUG") != nullptr;
  if (writes == kAnyWrite) sigpipe_any_write = true;
  if (!outermost_) return;
  troubles_ = troubles.load(std::memory_order_acquire);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old_);
  // A write's SIGPIPE is its thread's own, and one that the thread does not block is delivered as
  // soon as it is raised: only a thread that blocked it already can have one waiting.
  was_blocked_ = sigismember(&old_, SIGPIPE) == 1;
  if (was_blocked_) {
    sigset_t pending;
    sigpending(&pending);
    pending_before_ = sigismember(&pending, SIGPIPE) == 1;
  }
}

SigpipeBlocked::~SigpipeBlocked() {
  --sigpipe_guards;
  if (!outermost_) return;
  if (!pending_before_ && (sigpipe_any_write || WriteMayHaveFailed(troubles_))) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
    }
  }
  if (!was_blocked_) pthread_sigmask(SIG_SETMASK, &old_, nullptr);
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

xcb_connection_t* X11Display() {
  x11::Connection* c = x11::Current();
  return c ? c->xcb : nullptr;
}

// The server has sent the errors of every request so far once it has answered one made after
// them.
int X11TakeError() {
  const x11::SigpipeBlocked quiet;
  if (x11::Connection* c = x11::Current(); c && !c->broken) {
    xcb_connection_t* xcb = c->xcb;
    if (!x11::Await(xcb_get_input_focus_reply, xcb, xcb_get_input_focus(xcb))) x11::NoteIfLost(*c);
    x11::TakeQueuedErrors(*c);
  }
  return x11::first_error.exchange(0);
}

}  // namespace platform
