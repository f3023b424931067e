// The i3-compatible IPC of sway: a message is "i3-ipc", a 32-bit length and a 32-bit type in
// the machine's byte order, then the payload; get_tree (4) answers with the tree as JSON.
#include "platform/wayland/sway.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

namespace platform::wayland {
namespace {

using nlohmann::json;

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::uint32_t kGetTree = 4;
constexpr std::uint32_t kLargestReply = 64 << 20;

bool WriteAll(int fd, const void* data, std::size_t size) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);  // a sway that went away must not end the host
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool Ask(std::uint32_t type, std::string* reply, std::string* error) {
  const char* path = std::getenv("SWAYSOCK");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!path || !*path || std::strlen(path) >= sizeof address.sun_path) {
    *error = "SWAYSOCK does not name sway's socket";
    return false;
  }
  std::strcpy(address.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = std::string("cannot reach sway at ") + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  timeval limit{2, 0};  // sway answers at once; a stuck compositor must not hang the host
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char header[14];
  std::uint32_t length = 0;
  std::memcpy(header, kMagic, 6);
  std::memcpy(header + 6, &length, 4);
  std::memcpy(header + 10, &type, 4);
  bool ok = WriteAll(fd, header, sizeof header) && ReadAll(fd, header, sizeof header) &&
            std::memcmp(header, kMagic, 6) == 0;
  if (ok) {
    std::memcpy(&length, header + 6, 4);
    ok = length <= kLargestReply;
  }
  if (ok) {
    reply->resize(length);
    ok = ReadAll(fd, reply->data(), length);
  }
  close(fd);
  if (!ok) *error = std::string("sway at ") + path + " gave no readable answer";
  return ok;
}

Rect RectOf(const json& node, const char* key) {
  auto it = node.find(key);
  if (it == node.end() || !it->is_object()) return {};
  return {it->value("x", 0), it->value("y", 0), it->value("width", 0), it->value("height", 0)};
}

Rect Union(const Rect& a, const Rect& b) {
  int left = std::min(a.x, b.x), top = std::min(a.y, b.y);
  int right = std::max(a.x + a.width, b.x + b.width);
  int bottom = std::max(a.y + a.height, b.y + b.height);
  return {left, top, right - left, bottom - top};
}

// A window is a container without children. Its rect leaves out the title bar, which
// deco_rect gives relative to the parent container (or the workspace).
DesktopWindow WindowOf(const json& node, const Rect& parent) {
  DesktopWindow w;
  w.id = node.value("id", 0u);
  Rect rect = RectOf(node, "rect");
  Rect deco = RectOf(node, "deco_rect");
  Rect inner = RectOf(node, "window_rect");
  w.frame = rect;
  if (deco.width > 0 && deco.height > 0)
    w.frame = Union(rect, {parent.x + deco.x, parent.y + deco.y, deco.width, deco.height});
  w.client = {rect.x + inner.x, rect.y + inner.y, inner.width, inner.height};
  return w;
}

void Walk(const json& node, const Rect& parent, const std::string& output, WindowTree* tree) {
  std::string type = node.value("type", "");
  std::string here = type == "output" ? node.value("name", "") : output;
  bool leaf = true;
  for (const char* key : {"nodes", "floating_nodes"}) {
    auto it = node.find(key);
    if (it == node.end() || !it->is_array()) continue;
    for (const json& child : *it) {
      leaf = false;
      Walk(child, RectOf(node, "rect"), here, tree);
    }
  }
  bool window = leaf && (type == "con" || type == "floating_con");
  if (window) tree->windows.push_back(WindowOf(node, parent));
  if (node.value("focused", false)) {
    tree->output = here;
    tree->focused = window ? tree->windows.back().id : 0;
  }
}

}  // namespace

bool SwaySession() {
  const char* path = std::getenv("SWAYSOCK");
  return path && *path;
}

bool ParseSwayTree(std::string_view text, WindowTree* tree) {
  *tree = {};
  json root = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) return false;
  try {
    Walk(root, {}, "", tree);
  } catch (const json::exception&) {  // a field of an unexpected type
    *tree = {};
    return false;
  }
  return true;
}

bool ReadSwayTree(WindowTree* tree, std::string* error) {
  std::string reply;
  if (!Ask(kGetTree, &reply, error)) return false;
  if (ParseSwayTree(reply, tree)) return true;
  *error = "sway's window tree could not be read";
  return false;
}

}  // namespace platform::wayland
