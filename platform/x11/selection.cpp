// The X side of the clipboard. A connection and a hidden window of its own own the CLIPBOARD
// selection, so that the selection requests of other programs reach nobody else's event queue;
// the message loop watches the connection. Answers larger than one request go through INCR
// (ICCCM 2.7.2). The connection is XCB's: X errors on it come as events and are passed over, and
// a server that goes away breaks it without ending the process; it is then given up.
#include "platform/x11/selection.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>

#include "platform/x11/connection.h"
#include "platform/x11/x11.h"

namespace platform::x11 {
namespace {

// What one answer may hold at most before it goes in INCR chunks.
constexpr std::size_t kMaxChunk = 256 * 1024;

using Event = XcbReply<xcb_generic_event_t>;

// An answer on its way in INCR chunks to one requestor's property.
struct Transfer {
  xcb_window_t requestor;
  xcb_atom_t property;
  xcb_atom_t type;
  ClipboardBytes data;
  std::size_t sent = 0;
};

struct Atoms {
  xcb_atom_t clipboard, targets, timestamp, incr, stamp;
};

// What we keep on the connection: our window, the message-loop source of its socket, the atoms,
// and events read while waiting for one in particular.
struct Link {
  xcb_connection_t* xcb = nullptr;
  std::string name;
  xcb_window_t window = 0;
  int source = 0;
  Atoms atoms{};
  std::size_t chunk = 0;
  std::deque<Event> held;
};

struct Server {
  FdWatch watch;
  Link conn;
  ClipboardOffer offer;
  bool owner = false;
  xcb_timestamp_t since = XCB_CURRENT_TIME;
  unsigned taken = 0;  // the sequence number of our latest request for the selection
  std::map<std::string, ClipboardBytes> rendered;
  std::vector<Transfer> transfers;
};

// Lives as long as the process: other programs may paste until the very end.
Server& TheServer() {
  static Server* server = new Server;
  return *server;
}

void Disconnect(Server& s) {
  Link& c = s.conn;
  if (c.xcb == nullptr) return;
  if (c.source != 0 && s.watch.remove) s.watch.remove(c.source);
  xcb_disconnect(c.xcb);
  c = Link{};
  s.owner = false;
  s.rendered.clear();
  s.transfers.clear();
}

// False when the open connection must be given up: DISPLAY names another server, or the server
// has gone away.
bool Usable(const Link& c) {
  const char* name = std::getenv("DISPLAY");
  return name && c.name == name && !xcb_connection_has_error(c.xcb) &&
         !PeerClosed(xcb_get_file_descriptor(c.xcb));
}

void OnReadable();

xcb_atom_t Intern(xcb_connection_t* xcb, const std::string& name) {
  auto atom = XcbReply<xcb_intern_atom_reply_t>(xcb_intern_atom_reply(
      xcb, xcb_intern_atom(xcb, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
      nullptr));
  return atom ? atom->atom : xcb_atom_t{XCB_ATOM_NONE};
}

bool Open(Link& c) {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return false;
  int number = 0;
  xcb_connection_t* xcb = xcb_connect(name, &number);
  auto roots = xcb_setup_roots_iterator(xcb_get_setup(xcb));
  for (int i = 0; !xcb_connection_has_error(xcb) && roots.rem && i < number; ++i)
    xcb_screen_next(&roots);
  if (xcb_connection_has_error(xcb) || !roots.rem) {
    xcb_disconnect(xcb);
    return false;
  }
  c.xcb = xcb;
  c.name = name;
  c.window = xcb_generate_id(xcb);
  const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(xcb, XCB_COPY_FROM_PARENT, c.window, roots.data->root, -10, -10, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                    &events);
  const char* names[] = {"CLIPBOARD", "TARGETS", "TIMESTAMP", "INCR", "_PICTOSS_STAMP"};
  xcb_intern_atom_cookie_t cookies[5];
  for (int i = 0; i < 5; ++i)
    cookies[i] =
        xcb_intern_atom(xcb, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
  xcb_atom_t atoms[5];
  for (int i = 0; i < 5; ++i) {
    XcbReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(xcb, cookies[i], nullptr));
    atoms[i] = atom ? atom->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
  c.atoms = {atoms[0], atoms[1], atoms[2], atoms[3], atoms[4]};
  // In 4-byte units, with BIG-REQUESTS where the server has it.
  const std::size_t most = std::max<std::size_t>(xcb_get_maximum_request_length(xcb), 1024);
  c.chunk = std::min<std::size_t>(most * 4 - 1024, kMaxChunk);
  return true;
}

bool Connect(Server& s) {
  Link& c = s.conn;
  if (c.xcb && !Usable(c)) Disconnect(s);
  if (c.xcb) return true;
  if (!Open(c)) return false;
  c.source = s.watch.add ? s.watch.add(xcb_get_file_descriptor(c.xcb), OnReadable) : 0;
  return true;
}

void SetProperty(Link& c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type, int format,
                 const void* data, std::size_t items) {
  xcb_change_property(c.xcb, XCB_PROP_MODE_REPLACE, window, property, type,
                      static_cast<std::uint8_t>(format), static_cast<std::uint32_t>(items), data);
}

// A server timestamp, from the PropertyNotify of an empty append to our own window: ICCCM asks
// for a real time, not CurrentTime, when taking a selection. Other events that come first are
// held for Dispatch.
xcb_timestamp_t ServerTime(Link& c) {
  xcb_change_property(c.xcb, XCB_PROP_MODE_APPEND, c.window, c.atoms.stamp, XCB_ATOM_STRING, 8, 0,
                      nullptr);
  xcb_flush(c.xcb);
  while (Event event{xcb_wait_for_event(c.xcb)}) {
    if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
      const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
      if (notify->window == c.window && notify->atom == c.atoms.stamp) return notify->time;
    }
    c.held.push_back(std::move(event));
  }
  return XCB_CURRENT_TIME;  // the connection broke
}

ClipboardBytes Render(Server& s, const std::string& target) {
  auto found = s.rendered.find(target);
  if (found != s.rendered.end()) return found->second;
  ClipboardBytes data = s.offer.render ? s.offer.render(target) : nullptr;
  if (data) s.rendered[target] = data;
  return data;
}

bool Offered(const Server& s, xcb_atom_t target, std::string& name) {
  xcb_connection_t* xcb = s.conn.xcb;
  XcbReply<xcb_get_atom_name_reply_t> atom(
      xcb_get_atom_name_reply(xcb, xcb_get_atom_name(xcb, target), nullptr));
  if (!atom) return false;
  name.assign(xcb_get_atom_name_name(atom.get()),
              static_cast<std::size_t>(xcb_get_atom_name_name_length(atom.get())));
  return std::find(s.offer.targets.begin(), s.offer.targets.end(), name) != s.offer.targets.end();
}

bool ProvideTargets(Server& s, xcb_window_t requestor, xcb_atom_t property) {
  Link& c = s.conn;
  std::vector<xcb_atom_t> list = {c.atoms.targets, c.atoms.timestamp};
  for (const std::string& target : s.offer.targets) list.push_back(Intern(c.xcb, target));
  SetProperty(c, requestor, property, XCB_ATOM_ATOM, 32, list.data(), list.size());
  return true;
}

bool Provide(Server& s, xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target) {
  Link& c = s.conn;
  if (target == c.atoms.targets) return ProvideTargets(s, requestor, property);
  if (target == c.atoms.timestamp) {
    const std::uint32_t since = s.since;
    SetProperty(c, requestor, property, XCB_ATOM_INTEGER, 32, &since, 1);
    return true;
  }
  std::string name;
  if (!Offered(s, target, name)) return false;
  ClipboardBytes data = Render(s, name);
  if (!data) return false;
  if (data->size() <= c.chunk) {
    SetProperty(c, requestor, property, target, 8, data->data(), data->size());
    return true;
  }
  // The requestor deletes the property to ask for each next chunk.
  const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c.xcb, requestor, XCB_CW_EVENT_MASK, &events);
  const std::uint32_t size = static_cast<std::uint32_t>(data->size());
  SetProperty(c, requestor, property, c.atoms.incr, 32, &size, 1);
  s.transfers.push_back(Transfer{requestor, property, target, data, 0});
  return true;
}

void Answer(Server& s, const xcb_selection_request_event_t& request) {
  Link& c = s.conn;
  // Clients older than ICCCM leave the property None: the target names it then.
  const xcb_atom_t property = request.property != XCB_ATOM_NONE ? request.property : request.target;
  const bool current = request.time == XCB_CURRENT_TIME || request.time >= s.since;
  const bool ok = s.owner && current && request.owner == c.window &&
                  request.selection == c.atoms.clipboard &&
                  Provide(s, request.requestor, property, request.target);
  xcb_selection_notify_event_t reply{};
  reply.response_type = XCB_SELECTION_NOTIFY;
  reply.time = request.time;
  reply.requestor = request.requestor;
  reply.selection = request.selection;
  reply.target = request.target;
  reply.property = ok ? property : xcb_atom_t{XCB_ATOM_NONE};
  xcb_send_event(c.xcb, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&reply));
}

void StopWatching(Server& s, xcb_window_t requestor) {
  for (const Transfer& t : s.transfers)
    if (t.requestor == requestor) return;
  const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
  xcb_change_window_attributes(s.conn.xcb, requestor, XCB_CW_EVENT_MASK, &none);
}

// The requestor has read a chunk: the next one, and after the last an empty one.
void Continue(Server& s, xcb_window_t requestor, xcb_atom_t property) {
  auto it = std::find_if(s.transfers.begin(), s.transfers.end(), [&](const Transfer& t) {
    return t.requestor == requestor && t.property == property;
  });
  if (it == s.transfers.end()) return;
  std::size_t n = std::min(s.conn.chunk, it->data->size() - it->sent);
  SetProperty(s.conn, requestor, property, it->type, 8, it->data->data() + it->sent, n);
  it->sent += n;
  if (n == 0) {
    s.transfers.erase(it);
    StopWatching(s, requestor);
  }
}

void DropTransfers(Server& s, xcb_window_t requestor) {
  std::erase_if(s.transfers, [&](const Transfer& t) { return t.requestor == requestor; });
}

// A notice that the server sent before it took our latest request for the selection (its
// sequence number says which of our requests it had done) ended an earlier offer, whose place the
// present one has taken since. Times cannot tell: both may fall in one millisecond.
void Lost(Server& s, const xcb_selection_clear_event_t& clear) {
  if (clear.owner != s.conn.window || clear.selection != s.conn.atoms.clipboard) return;
  if (static_cast<std::int16_t>(clear.sequence - static_cast<std::uint16_t>(s.taken)) < 0) return;
  s.owner = false;
  s.rendered.clear();
  std::function<void()> lost = std::move(s.offer.lost);
  s.offer = ClipboardOffer{};
  if (lost) lost();
}

void Handle(Server& s, const xcb_generic_event_t& event) {
  switch (event.response_type & 0x7F) {
    case XCB_SELECTION_REQUEST:
      Answer(s, reinterpret_cast<const xcb_selection_request_event_t&>(event));
      break;
    case XCB_SELECTION_CLEAR:
      Lost(s, reinterpret_cast<const xcb_selection_clear_event_t&>(event));
      break;
    case XCB_PROPERTY_NOTIFY: {
      const auto& notify = reinterpret_cast<const xcb_property_notify_event_t&>(event);
      if (notify.state == XCB_PROPERTY_DELETE) Continue(s, notify.window, notify.atom);
      break;
    }
    case XCB_DESTROY_NOTIFY:
      DropTransfers(s, reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window);
      break;
    default:  // errors (response type 0) of requests without a reply among them
      break;
  }
}

void Dispatch(Server& s) {
  while (s.conn.xcb && !xcb_connection_has_error(s.conn.xcb)) {
    Event event;
    if (!s.conn.held.empty()) {
      event = std::move(s.conn.held.front());
      s.conn.held.pop_front();
    } else {
      event.reset(xcb_poll_for_event(s.conn.xcb));
    }
    if (!event) break;
    Handle(s, *event);
  }
  if (s.conn.xcb && xcb_flush(s.conn.xcb) > 0 && !xcb_connection_has_error(s.conn.xcb)) return;
  Disconnect(s);
}

void OnReadable() {
  const SigpipeBlocked quiet(SigpipeBlocked::kAnyWrite);
  Server& s = TheServer();
  if (s.conn.xcb == nullptr) return;
  if (PeerClosed(xcb_get_file_descriptor(s.conn.xcb))) {
    Disconnect(s);
    return;
  }
  Dispatch(s);
}

}  // namespace

bool OfferClipboard(ClipboardOffer offer, FdWatch watch) {
  Server& s = TheServer();
  s.watch = std::move(watch);
  if (!Connect(s)) return false;
  s.offer = std::move(offer);
  s.rendered.clear();
  Link& c = s.conn;
  const xcb_timestamp_t now = ServerTime(c);
  s.taken = xcb_set_selection_owner(c.xcb, c.window, c.atoms.clipboard, now).sequence;
  XcbReply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
      c.xcb, xcb_get_selection_owner(c.xcb, c.atoms.clipboard), nullptr));
  s.owner = owner && owner->owner == c.window;
  s.since = now;
  const bool taken = s.owner;
  // Requests that arrived while we waited for the replies are already read.
  Dispatch(s);
  return taken;
}

}  // namespace platform::x11
