#include "platform/wayland/screen.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "platform/base/debug.h"
#include "platform/wayland/outputs.h"
#include "platform/wayland/refusals.h"
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
  std::string no_tree;                        // why there is none
  int picture_width = 0, picture_height = 0;  // of the picture held with it
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
  if (const WindowFinder* finder = SessionWindowFinder()) {
    g.have_tree = finder->read(&g.tree, &g.no_tree);
    if (!g.have_tree)
      DebugLine("wayland", "%s gives no windows: %s", finder->desktop, g.no_tree.c_str());
  } else {
    g.no_tree = kNoWindowFinder;
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

// A rectangle of the tree's own space in picture pixels: logical pixels of the layout, or a
// space that spans the layout's bounding box.
Rect InPicture(const Geometry& g, const Rect& r) {
  if (g.tree.span_width <= 0 || g.tree.span_height <= 0) return g.layout.ToDevice(r);
  double width = g.picture_width > 0 ? g.picture_width : g.layout.bounds.width * g.layout.factor;
  double height =
      g.picture_height > 0 ? g.picture_height : g.layout.bounds.height * g.layout.factor;
  double fx = width / g.tree.span_width, fy = height / g.tree.span_height;
  int left = static_cast<int>(std::floor(r.x * fx)), top = static_cast<int>(std::floor(r.y * fy));
  int right = static_cast<int>(std::ceil((r.x + r.width) * fx));
  int bottom = static_cast<int>(std::ceil((r.y + r.height) * fy));
  return {left, top, right - left, bottom - top};
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
  *rect = InPicture(*g, client ? w->client : w->frame);
  return true;
}

std::uint32_t FocusedWindow() {
  const Geometry* g = CurrentGeometry(nullptr);
  return g && g->have_tree ? g->tree.focused : 0;
}

Screenshot HoldPicture(const Wait& wait, bool windows_needed) {
  auto held = std::make_unique<Held>();
  std::string ignored;
  // The windows are read first: the picture shows them where they were a moment before. Where
  // they are needed and the desktop cannot tell them, no picture is asked for.
  held->geometry = ReadGeometry(&ignored);
  if (windows_needed && !held->geometry.have_tree) {
    Screenshot none;
    none.outcome = Outcome::kFailed;
    none.error = held->geometry.no_tree;
    return none;
  }
  PortalFacts facts;
  Screenshot shot;
  if (!PreparePortal(&facts, &shot.error)) {
    shot.outcome = Outcome::kFailed;
    return shot;
  }
  shot = TakeScreenshot(kPictureTimeout, wait);
  ExplainRefusal(facts, &shot);
  if (shot.outcome != Outcome::kOk) return shot;
  Geometry& g = held->geometry;
  g.picture_width = shot.image.width;
  g.picture_height = shot.image.height;
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
  if (own && HoldPicture({}, false).outcome != Outcome::kOk) return false;
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
