// pictoss allow-screenshots: under Wayland, stores the desktop portal's "yes" for screenshots by
// programs outside a sandbox, which a "no" answered once to the desktop's question replaced.
#include <cstdio>
#include <string>
#include <vector>

#include "host/command.h"
#include "platform/gdi/display.h"

namespace host {
namespace {

int AllowScreenshots(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: pictoss allow-screenshots\n");
    return 2;
  }
  std::string why;
  if (!platform::AllowScreenCaptures(&why)) {
    std::fprintf(stderr, "pictoss: cannot allow screenshots: %s\n", why.c_str());
    return 1;
  }
  std::printf("screenshots are allowed for programs outside a sandbox\n");
  return 0;
}

const HostCommand allowScreenshotsCommand("allow-screenshots", "allow-screenshots",
                                          AllowScreenshots);

}  // namespace
}  // namespace host
