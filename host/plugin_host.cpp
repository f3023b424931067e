#include "host/plugin_host.h"

#include <cstdio>
#include <filesystem>

#include "hosting/setup.h"

namespace host {

platform::Ref<platform::Dispatch> CreatePlugin() {
  std::string why;
  hosting::CreateFailure failure;
  platform::Ref<platform::Dispatch> object = hosting::CreatePlugin(&why, &failure);
  if (failure == hosting::CreateFailure::kNotRegistered) {
    // The first use by this user: set up as `pictoss setup` does.
    const std::string module = DefaultModulePath();
    if (!hosting::SetUp(module, &why)) {
      std::fprintf(stderr, "pictoss: cannot set up on first use: %s (run: pictoss setup)\n",
                   why.c_str());
      return nullptr;
    }
    std::fprintf(stderr, "pictoss: first use: registered %s and created the settings\n",
                 module.c_str());
    object = hosting::CreatePlugin(&why, &failure);
  }
  if (!object) {
    std::fprintf(stderr, "pictoss: %s\n", why.c_str());
    return nullptr;
  }
  std::string warning = hosting::CaptureWarning();
  if (!warning.empty()) std::fprintf(stderr, "pictoss: warning: %s\n", warning.c_str());
  return object;
}

std::string DefaultModulePath() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "PT.so";
  return hosting::ModuleBeside(self, PICTOSS_INSTALLED_MODULE).string();
}

}  // namespace host
