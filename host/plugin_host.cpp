#include "host/plugin_host.h"

#include <cstdio>
#include <filesystem>

#include "hosting/setup.h"
#include "platform/x11/x11.h"

namespace host {

platform::Ref<platform::Dispatch> CreatePlugin() {
  std::string why;
  hosting::CreateFailure failure;
  platform::Ref<platform::Dispatch> object = hosting::CreatePlugin(&why, &failure);
  if (!object) {
    const char* hint =
        failure == hosting::CreateFailure::kNotRegistered ? " (run: pictoss setup)" : "";
    std::fprintf(stderr, "pictoss: %s%s\n", why.c_str(), hint);
    return nullptr;
  }
  // Under Wayland the X server shows only the XWayland windows; the rest of a capture is black.
  if (platform::WaylandSession()) {
    std::fprintf(stderr,
                 "pictoss: warning: this is a Wayland session; captures show only X11 windows "
                 "and may come out black\n");
  }
  return object;
}

std::string DefaultModulePath() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "PT.so";
  return hosting::ModuleBeside(self, PICTOSS_INSTALLED_MODULE).string();
}

}  // namespace host
