#include "platform/wayland/output_layout.h"

#include <algorithm>
#include <cmath>

namespace platform::wayland {

Rect Layout::ToDevice(const Rect& r) const {
  auto at = [&](int logical, int origin) {
    return static_cast<int>(std::lround((logical - origin) * factor));
  };
  int left = at(r.x, bounds.x), top = at(r.y, bounds.y);
  int right = at(r.x + r.width, bounds.x), bottom = at(r.y + r.height, bounds.y);
  return {left, top, right - left, bottom - top};
}

Layout MakeLayout(std::vector<Output> outputs) {
  Layout layout;
  layout.outputs = std::move(outputs);
  if (layout.outputs.empty()) return layout;
  int left = layout.outputs[0].logical.x, top = layout.outputs[0].logical.y;
  int right = left, bottom = top, scale = 1;
  for (const Output& o : layout.outputs) {
    left = std::min(left, o.logical.x);
    top = std::min(top, o.logical.y);
    right = std::max(right, o.logical.x + o.logical.width);
    bottom = std::max(bottom, o.logical.y + o.logical.height);
    scale = std::max(scale, o.scale);
  }
  layout.bounds = {left, top, right - left, bottom - top};
  layout.factor = scale;
  return layout;
}

void FitPicture(Layout* layout, int width, int height) {
  if (layout->outputs.empty() || layout->bounds.width <= 0) {
    *layout = MakeLayout({{"", {0, 0, width, height}, 1}});
    return;
  }
  layout->factor = static_cast<double>(width) / layout->bounds.width;
}

int PrimaryOutput(const Layout& layout, const std::string& focused) {
  for (std::size_t i = 0; i < layout.outputs.size(); ++i)
    if (!focused.empty() && layout.outputs[i].name == focused) return static_cast<int>(i);
  return layout.outputs.empty() ? -1 : 0;
}

}  // namespace platform::wayland
