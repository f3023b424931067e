// pictoss version PATH: prints a module's version record without loading the module.
#include <cstdio>
#include <string>
#include <vector>

#include "host/command.h"
#include "host/version_note.h"

namespace host {
namespace {

int Version(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: pictoss version PATH\n");
    return 2;
  }
  std::string why;
  std::optional<std::string> file = ReadModuleFile(args[0], why);
  std::optional<VersionEntries> entries;
  if (file) entries = ReadVersionRecord(*file, why);
  if (!entries) {
    std::fprintf(stderr, "pictoss: %s: %s\n", args[0].c_str(), why.c_str());
    return 1;
  }
  for (const auto& [key, value] : *entries) {
    std::printf("%s:%s%s\n", key.c_str(), value.empty() ? "" : " ", value.c_str());
  }
  return 0;
}

const HostCommand versionCommand("version", "version PATH", Version);

}  // namespace
}  // namespace host
