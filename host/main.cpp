// pictoss: the chat host. It loads the plug-in module by its ProgID, the way a chat host does,
// and offers the sub-commands registered by the files of this folder.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host/command.h"

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

void PrintUsage() {
  std::fprintf(stderr, "usage: pictoss COMMAND [ARG...]\ncommands:\n");
  for (const auto& [name, entry] : Commands()) std::fprintf(stderr, "  %s\n", entry.usage);
}

}  // namespace

HostCommand::HostCommand(const char* name, const char* usage, CommandFunction run) {
  Commands()[name] = Entry{usage, run};
}

}  // namespace host

int main(int argc, char** argv) {
  // A chat client runs in the user's locale; the plug-in's number rules read it.
  std::setlocale(LC_ALL, "");
  if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
    host::PrintUsage();
    return argc < 2 ? 2 : 0;
  }
  auto found = host::Commands().find(argv[1]);
  if (found == host::Commands().end()) {
    std::fprintf(stderr, "pictoss: unknown command '%s'\n", argv[1]);
    host::PrintUsage();
    return 2;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  return found->second.run(args);
}
