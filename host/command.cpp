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

void PrintUsage() {
  std::fprintf(stderr, "usage: pictoss COMMAND [ARG...]\ncommands:\n");
  for (const auto& [name, entry] : Commands()) std::fprintf(stderr, "  %s\n", entry.usage);
}

}  // namespace host
