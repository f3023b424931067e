// pictoss: the chat host. It loads the plug-in module by its ProgID, the way a chat host does,
// and offers the sub-commands registered by the files of this folder.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/command.h"
#include "platform/base/locale.h"
#include "platform/registry/registry.h"
#include "product/version.h"

int main(int argc, char** argv) {
  // A chat client runs in the user's locale; the plug-in's number rules read it. It is set when
  // first read, which a capture with a plain count of seconds never does.
  platform::SetUserLocaleOnFirstUse();
  // A write that waits for another process's lock on the settings store says so.
  platform::SetRegistryWaitNotice(
      +[](const std::string& text) { std::fprintf(stderr, "pictoss: %s\n", text.c_str()); });
  int status;
  if (argc < 2) {
    host::PrintUsage(stderr);
    status = 2;
  } else if (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
    host::PrintUsage(stdout);
    status = 0;
  } else if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("pictoss %s\n", PICTOSS_VERSION_TEXT);
    status = 0;
  } else if (host::CommandFunction run = host::FindCommand(argv[1])) {
    status = run(std::vector<std::string>(argv + 2, argv + argc));
  } else {
    std::fprintf(stderr, "pictoss: unknown command '%s'\n", argv[1]);
    host::PrintUsage(stderr);
    status = 2;
  }
  // What could not be written is a failure too (a full disk, a closed pipe).
  const int flushed = std::fflush(stdout) == 0 ? 0 : errno;
  if (flushed != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "pictoss: cannot write the standard output%s%s\n", flushed ? ": " : "",
                 flushed ? std::strerror(flushed) : "");
    if (status == 0) status = 1;
  }
  return status;
}
