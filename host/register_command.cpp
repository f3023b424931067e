// pictoss register / unregister / setup: the module's self-registration, run the way an
// installer runs it (load the module, call its entry point), and the settings key that an
// installer creates.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host/command.h"
#include "host/plugin_host.h"
#include "hosting/setup.h"
#include "product/product.h"

namespace host {
namespace {

// Loads the module and calls one of its registration entry points. Prints what happened.
int CallRegistrationEntry(const std::vector<std::string>& args, const char* command,
                          const char* entry, const char* done) {
  if (args.size() > 1) {
    std::fprintf(stderr, "usage: pictoss %s [MODULE]\n", command);
    return 2;
  }
  std::error_code ec;
  std::string named = args.empty() ? DefaultModulePath() : args[0];
  std::filesystem::path path = std::filesystem::absolute(named, ec);
  std::string why;
  if (ec || !hosting::CallRegistrationEntry(path, entry, &why)) {
    std::fprintf(stderr, "pictoss: %s\n", ec ? ("no module " + named).c_str() : why.c_str());
    return 1;
  }
  std::printf("%s %s\n", done, path.c_str());
  return 0;
}

int Register(const std::vector<std::string>& args) {
  return CallRegistrationEntry(args, "register", "DllRegisterServer", "registered");
}

int Unregister(const std::vector<std::string>& args) {
  return CallRegistrationEntry(args, "unregister", "DllUnregisterServer", "unregistered");
}

int Setup(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: pictoss setup\n");
    return 2;
  }
  int status = Register({});
  if (status != 0) return status;
  std::string why;
  if (!hosting::CreateSettings(&why)) {
    std::fprintf(stderr, "pictoss: %s\n", why.c_str());
    return 1;
  }
  std::printf("settings HKEY_LOCAL_MACHINE\\%s\n", product::kSettingsSubKey.a);
  return 0;
}

const HostCommand registerCommand("register", "register [MODULE]", Register);
const HostCommand unregisterCommand("unregister", "unregister [MODULE]", Unregister);
const HostCommand setupCommand("setup", "setup", Setup);

}  // namespace
}  // namespace host
