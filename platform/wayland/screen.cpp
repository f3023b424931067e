#include "platform/wayland/screen.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/base/debug.h"
#include "platform/wayland/outputs.h"
#include "platform/wayland/windows.h"

namespace platform::wayland {
namespace {

using Clock = std::chrono::steady_clock;

// The compositor's view is kept this long between calls: a capture asks for it many times.
constexpr auto kGeometryCacheTime = std::chrono::milliseconds(500);

struct Geometry {
  Layout layout;
  int screen = -1;  // index of the screen output
  bool have_tree = false;
  WindowTree tree;
};

struct Held {
  Geometry geometry;
  Image image;
};

std::vector<std::unique_ptr<Held>>& HeldPictures() {
  static auto* held = new std::vector<std::unique_ptr<Held>>;
  return *held;
}

// Outputs and windows now. Without outputs the layout is empty (FitPicture then takes the
// picture as one output).
Geometry ReadGeometry(std::string* why) {
  Geometry g;
  std::vector<Output> outputs;
  if (!ReadOutputs(&outputs, why))
    DebugLine("wayland", "no outputs (%s): the picture is taken as one output", why->c_str());
  g.layout = MakeLayout(std::move(outputs));
  std::string ignored;
  if (const WindowFinder* finder = SessionWindowFinder()) {
    g.have_tree = finder->read(&g.tree, &ignored);
    if (!g.have_tree)
      DebugLine("wayland", "%s gives no windows: %s", finder->desktop, ignored.c_str());
  } else {
    DebugLine("wayland", "this desktop tells no windows: the active window cannot be found");
  }
  g.screen = PrimaryOutput(g.layout, g.have_tree ? g.tree.output : "");
  return g;
}

const Geometry* CurrentGeometry(std::string* why) {
  if (!HeldPictures().empty()) return &HeldPictures().back()->geometry;
  static Geometry cached;
  static std::string cached_why;
  static Clock::time_point cached_at;
  static bool valid = false;
  auto now = Clock::now();
  if (!valid || now - cached_at >= kGeometryCacheTime) {
    cached_why.clear();
    cached = ReadGeometry(&cached_why);
    cached_at = now;
    valid = true;
  }
  if (cached.screen < 0) {
    if (why) *why = cached_why;
    return nullptr;
  }
  return &cached;
}

const DesktopWindow* FindWindow(const Geometry& g, std::uint32_t id) {
  for (const DesktopWindow& w : g.tree.windows)
    if (w.id == id) return &w;
  return nullptr;
}

}  // namespace

bool ScreenOutputRect(Rect* rect, std::string* why) {
  const Geometry* g = CurrentGeometry(why);
  if (!g) return false;
  *rect = g->layout.ToDevice(g->layout.outputs[static_cast<std::size_t>(g->screen)].logical);
  return true;
}

bool WindowRect(std::uint32_t window, bool client, Rect* rect) {
  const Geometry* g = CurrentGeometry(nullptr);
  const DesktopWindow* w = g && g->have_tree ? FindWindow(*g, window) : nullptr;
  if (!w) return false;
  *rect = g->layout.ToDevice(client ? w->client : w->frame);
  return true;
}

std::uint32_t FocusedWindow() {
  const Geometry* g = CurrentGeometry(nullptr);
  return g && g->have_tree ? g->tree.focused : 0;
}

Screenshot HoldPicture(const Wait& wait) {
  auto held = std::make_unique<Held>();
  std::string ignored;
  // The windows are read first: the picture shows them where they were a moment before.
  held->geometry = ReadGeometry(&ignored);
  Screenshot shot = TakeScreenshot(kPictureTimeout, wait);
  if (shot.outcome != Outcome::kOk) return shot;
  Geometry& g = held->geometry;
  FitPicture(&g.layout, shot.image.width, shot.image.height);
  g.screen = PrimaryOutput(g.layout, g.have_tree ? g.tree.output : "");
  held->image = std::move(shot.image);
  HeldPictures().push_back(std::move(held));
  return shot;
}

void ReleasePicture() {
  if (!HeldPictures().empty()) HeldPictures().pop_back();
}

bool ReadScreen(const Rect& r,
                const std::function<void(const std::uint8_t* rows, int stride, int count)>& sink) {
  bool own = HeldPictures().empty();
  if (own && HoldPicture({}).outcome != Outcome::kOk) return false;
  const Image& image = HeldPictures().back()->image;
  bool inside = r.x >= 0 && r.y >= 0 && r.width >= 0 && r.height >= 0 &&
                r.x <= image.width - r.width && r.y <= image.height - r.height;
  if (inside && r.width > 0 && r.height > 0) {
    const std::uint32_t* first =
        image.pixels.data() + static_cast<std::size_t>(r.y) * image.width + r.x;
    sink(reinterpret_cast<const std::uint8_t*>(first), image.width * 4, r.height);
  }
  if (own) ReleasePicture();
  return inside;
}

}  // namespace platform::wayland
