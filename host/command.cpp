#include "host/command.h"

#include <cstdio>
#include <map>

namespace host {
namespace {

struct Entry {
  const char* usage;
  CommandFunction run;
};

std::map<std::string, Entry>& Commands() {
  static std::map<std::string, Entry> commands;
  return commands;
}

}  // namespace

HostCommand::HostCommand(const char* name, const char* usage, CommandFunction run) {
  Commands()[name] = Entry{usage, run};
}

CommandFunction FindCommand(const std::string& name) {
  auto found = Commands().find(name);
  return found == Commands().end() ? nullptr : found->second.run;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: pictoss COMMAND [ARG...]\n       pictoss --help | --version\ncommands:\n");
  for (const auto& [name, entry] : Commands()) std::fprintf(out, "  %s\n", entry.usage);
  std::fprintf(out, "See pictoss(1) for the commands, the settings and the environment.\n");
}

}  // namespace host
