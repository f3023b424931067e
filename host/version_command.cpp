// pictoss version PATH: prints a module's version record, read without loading the module.
#include <cstdio>
#include <string>
#include <vector>

#include "host/command.h"
#include "hosting/version_record.h"

namespace host {
namespace {

int Version(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: pictoss version PATH\n");
    return 2;
  }
  std::string why;
  auto record = hosting::ReadVersionRecord(args[0], &why);
  if (!record) {
    std::fprintf(stderr, "pictoss: %s\n", why.c_str());
    return 1;
  }
  for (const auto& [key, value] : *record) {
    std::printf("%s:%s%s\n", key.c_str(), value.empty() ? "" : " ", value.c_str());
  }
  return 0;
}

const HostCommand versionCommand("version", "version PATH", Version);

}  // namespace
}  // namespace host
