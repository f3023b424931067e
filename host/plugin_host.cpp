#include "host/plugin_host.h"

#include <cstdio>
#include <filesystem>

#include "hosting/setup.h"

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
