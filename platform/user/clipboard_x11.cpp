// The X side of the clipboard. A connection and a hidden window of its own own the CLIPBOARD
// selection, so that the selection requests of other programs reach nobody else's event queue;
// the message loop watches the connection. Answers larger than one request go through INCR
// (ICCCM 2.7.2). The connection is an x11::OwnConnection: its errors and a server that goes
// away are handled where the shared connection's are.
#include "platform/user/clipboard_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/user/messageloop.h"
#include "platform/x11/x11.h"

namespace platform {
namespace {

// What one answer may hold at most before it goes in INCR chunks.
constexpr std::size_t kMaxChunk = 256 * 1024;

// An answer on its way in INCR chunks to one requestor's property.
struct Transfer {
  Window requestor;
  Atom property;
  Atom type;
  ClipboardBytes data;
  std::size_t sent = 0;
};

struct Atoms {
  Atom clipboard, targets, timestamp, incr, stamp;
};

// What we keep on the connection: our window, the message-loop source of its socket, the atoms.
struct Connection {
  Display* display = nullptr;  // link's, while open
  Window window = 0;
  int source = 0;
  Atoms atoms{};
  std::size_t chunk = 0;
};

struct Server {
  x11::OwnConnection link;
  Connection conn;
  ClipboardOffer offer;
  bool owner = false;
  Time since = CurrentTime;
  std::map<std::string, ClipboardBytes> rendered;
  std::vector<Transfer> transfers;
};

// Lives as long as the process: other programs may paste until the very end.
Server& TheServer() {
  static Server* server = new Server;
  return *server;
}

void Disconnect(Server& s) {
  Connection& c = s.conn;
  if (c.display == nullptr) return;
  if (c.source != 0) RemoveMessageSource(c.source);
  s.link.Close();
  c = Connection{};
  s.owner = false;
  s.rendered.clear();
  s.transfers.clear();
}

void OnReadable();

bool Connect(Server& s) {
  Connection& c = s.conn;
  if (c.display && !s.link.Usable()) Disconnect(s);
  if (c.display) return true;
  Display* display = s.link.Open();
  if (display == nullptr) return false;
  c.display = display;
  c.window = XCreateSimpleWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, 0, 0);
  XSelectInput(display, c.window, PropertyChangeMask);
  char* names[] = {const_cast<char*>("CLIPBOARD"), const_cast<char*>("TARGETS"),
                   const_cast<char*>("TIMESTAMP"), const_cast<char*>("INCR"),
                   const_cast<char*>("_PICTOSS_STAMP")};
  Atom atoms[5];
  XInternAtoms(display, names, 5, False, atoms);
  c.atoms = {atoms[0], atoms[1], atoms[2], atoms[3], atoms[4]};
  long maxRequest = XExtendedMaxRequestSize(display);
  if (maxRequest == 0) maxRequest = XMaxRequestSize(display);
  c.chunk = std::min<std::size_t>(static_cast<std::size_t>(maxRequest) * 4 - 1024, kMaxChunk);
  c.source = AddMessageSource(ConnectionNumber(display), OnReadable);
  return true;
}

// A server timestamp, from the PropertyNotify of an empty append to our own window: ICCCM asks
// for a real time, not CurrentTime, when taking a selection.
Time ServerTime(Connection& c) {
  XChangeProperty(c.display, c.window, c.atoms.stamp, XA_STRING, 8, PropModeAppend, nullptr, 0);
  XEvent event;
  XWindowEvent(c.display, c.window, PropertyChangeMask, &event);
  return event.xproperty.time;
}

ClipboardBytes Render(Server& s, const std::string& target) {
  auto found = s.rendered.find(target);
  if (found != s.rendered.end()) return found->second;
  ClipboardBytes data = s.offer.render ? s.offer.render(target) : nullptr;
  if (data) s.rendered[target] = data;
  return data;
}

bool Offered(const Server& s, Atom target, std::string& name) {
  char* atomName = XGetAtomName(s.conn.display, target);
  if (atomName == nullptr) return false;
  name = atomName;
  XFree(atomName);
  return std::find(s.offer.targets.begin(), s.offer.targets.end(), name) != s.offer.targets.end();
}

bool ProvideTargets(Server& s, Window requestor, Atom property) {
  Connection& c = s.conn;
  std::vector<Atom> list = {c.atoms.targets, c.atoms.timestamp};
  for (const std::string& target : s.offer.targets)
    list.push_back(XInternAtom(c.display, target.c_str(), False));
  XChangeProperty(c.display, requestor, property, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(list.data()), static_cast<int>(list.size()));
  return true;
}

bool Provide(Server& s, Window requestor, Atom property, Atom target) {
  Connection& c = s.conn;
  if (target == c.atoms.targets) return ProvideTargets(s, requestor, property);
  if (target == c.atoms.timestamp) {
    long since = static_cast<long>(s.since);
    XChangeProperty(c.display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&since), 1);
    return true;
  }
  std::string name;
  if (!Offered(s, target, name)) return false;
  ClipboardBytes data = Render(s, name);
  if (!data) return false;
  if (data->size() <= c.chunk) {
    XChangeProperty(c.display, requestor, property, target, 8, PropModeReplace, data->data(),
                    static_cast<int>(data->size()));
    return true;
  }
  // The requestor deletes the property to ask for each next chunk.
  XSelectInput(c.display, requestor, PropertyChangeMask | StructureNotifyMask);
  long size = static_cast<long>(data->size());
  XChangeProperty(c.display, requestor, property, c.atoms.incr, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&size), 1);
  s.transfers.push_back(Transfer{requestor, property, target, data, 0});
  return true;
}

void Answer(Server& s, const XSelectionRequestEvent& request) {
  Connection& c = s.conn;
  // Clients older than ICCCM leave the property None: the target names it then.
  Atom property = request.property != None ? request.property : request.target;
  bool current = request.time == CurrentTime || request.time >= s.since;
  bool ok = s.owner && current && request.owner == c.window &&
            request.selection == c.atoms.clipboard &&
            Provide(s, request.requestor, property, request.target);
  XSelectionEvent reply{};
  reply.type = SelectionNotify;
  reply.display = c.display;
  reply.requestor = request.requestor;
  reply.selection = request.selection;
  reply.target = request.target;
  reply.property = ok ? property : None;
  reply.time = request.time;
  XSendEvent(c.display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
}

void StopWatching(Server& s, Window requestor) {
  for (const Transfer& t : s.transfers)
    if (t.requestor == requestor) return;
  XSelectInput(s.conn.display, requestor, NoEventMask);
}

// The requestor has read a chunk: the next one, and after the last an empty one.
void Continue(Server& s, Window requestor, Atom property) {
  auto it = std::find_if(s.transfers.begin(), s.transfers.end(), [&](const Transfer& t) {
    return t.requestor == requestor && t.property == property;
  });
  if (it == s.transfers.end()) return;
  std::size_t n = std::min(s.conn.chunk, it->data->size() - it->sent);
  XChangeProperty(s.conn.display, requestor, property, it->type, 8, PropModeReplace,
                  it->data->data() + it->sent, static_cast<int>(n));
  it->sent += n;
  if (n == 0) {
    s.transfers.erase(it);
    StopWatching(s, requestor);
  }
}

void DropTransfers(Server& s, Window requestor) {
  std::erase_if(s.transfers, [&](const Transfer& t) { return t.requestor == requestor; });
}

void Lost(Server& s, const XSelectionClearEvent& clear) {
  if (clear.window != s.conn.window || clear.selection != s.conn.atoms.clipboard) return;
  s.owner = false;
  s.rendered.clear();
  std::function<void()> lost = std::move(s.offer.lost);
  s.offer = ClipboardOffer{};
  if (lost) lost();
}

void Dispatch(Server& s) {
  while (s.conn.display && !s.link.broken() && XPending(s.conn.display) > 0) {
    XEvent event;
    XNextEvent(s.conn.display, &event);
    switch (event.type) {
      case SelectionRequest:
        Answer(s, event.xselectionrequest);
        break;
      case SelectionClear:
        Lost(s, event.xselectionclear);
        break;
      case PropertyNotify:
        if (event.xproperty.state == PropertyDelete)
          Continue(s, event.xproperty.window, event.xproperty.atom);
        break;
      case DestroyNotify:
        DropTransfers(s, event.xdestroywindow.window);
        break;
      default:
        break;
    }
  }
  if (s.conn.display && !s.link.broken()) XFlush(s.conn.display);
  if (s.link.broken()) Disconnect(s);
}

void OnReadable() {
  Server& s = TheServer();
  if (s.conn.display == nullptr) return;
  if (x11::PeerClosed(ConnectionNumber(s.conn.display))) {
    Disconnect(s);
    return;
  }
  Dispatch(s);
}

}  // namespace

bool OfferClipboard(ClipboardOffer offer) {
  Server& s = TheServer();
  if (!Connect(s)) return false;
  s.offer = std::move(offer);
  s.rendered.clear();
  Connection& c = s.conn;
  Time now = ServerTime(c);
  XSetSelectionOwner(c.display, c.atoms.clipboard, c.window, now);
  s.owner = !s.link.broken() && XGetSelectionOwner(c.display, c.atoms.clipboard) == c.window;
  s.since = now;
  bool owner = s.owner;
  // Requests that arrived while we waited for the replies are already in Xlib's queue.
  Dispatch(s);
  return owner;
}

}  // namespace platform
