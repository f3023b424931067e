#include "platform/base/modules.h"

#include <dlfcn.h>

namespace platform {

std::string ModuleBeside(const char* file) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleBeside), &info) == 0 || !info.dli_fname) return file;
  const std::string library = info.dli_fname;
  const auto slash = library.rfind('/');
  return slash == std::string::npos ? std::string(file) : library.substr(0, slash + 1) + file;
}

void* ModuleEntry(const char* file, const char* entry, std::string* error) {
  const std::string path = ModuleBeside(file);
  // Kept loaded: what it hands out (tables, displays, connections) lives as long as the process.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    const char* why = dlerror();
    *error = why ? why : path + ": cannot be loaded";
    return nullptr;
  }
  void* found = dlsym(handle, entry);
  if (!found) *error = path + ": has no entry " + entry;
  return found;
}

}  // namespace platform
