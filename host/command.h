// The host program's sub-commands. Each command file registers its commands with a static
// HostCommand, so main needs no list of them. Registration happens before main; lookups after.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace host {

// Runs one sub-command with the words after its name; returns the process's exit status.
using CommandFunction = int (*)(const std::vector<std::string>& args);

struct HostCommand {
  HostCommand(const char* name, const char* usage, CommandFunction run);
};

// The command of that name, or null.
CommandFunction FindCommand(const std::string& name);

// "usage: pictoss COMMAND [ARG...]" and the usage line of every command.
void PrintUsage(std::FILE* out);

}  // namespace host
