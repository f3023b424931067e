// Fuzzes `pictoss reg` with command lines made of the input's lines, against a private store
// (on a RAM disk when there is one): every command line ends with an exit status, never with a
// crash, however deep or odd its key.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/command.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  folder += "/pictoss-reg-fuzz-XXXXXX";
  if (!mkdtemp(folder.data())) std::abort();
  static const std::string made = folder;
  std::atexit([] { std::filesystem::remove_all(made); });
  setenv("PICTOSS_PREFIX", (folder + "/machine").c_str(), 1);
  // What the commands print is not looked at.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    args.push_back(text.substr(start, nl - start));
  }
  args.push_back(text.substr(start));
  const host::CommandFunction reg = host::FindCommand("reg");
  if (!reg) std::abort();
  const int status = reg(args);
  if (status < 0 || status > 2) std::abort();
  return 0;
}
