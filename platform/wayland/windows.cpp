// The ways of finding a Wayland desktop's windows. A new desktop is a file of its own with its
// two functions, and a line here.
#include "platform/wayland/windows.h"

#include "platform/wayland/sway.h"

namespace platform::wayland {

const std::vector<WindowFinder>& WindowFinders() {
  static const auto* finders = new std::vector<WindowFinder>{
      {"sway", SwaySession, ReadSwayTree},
  };
  return *finders;
}

const WindowFinder* SessionWindowFinder() {
  for (const WindowFinder& finder : WindowFinders())
    if (finder.here()) return &finder;
  return nullptr;
}

}  // namespace platform::wayland
