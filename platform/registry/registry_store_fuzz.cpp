// Fuzzes the registry store opened on mutated store files: every operation ends with a status,
// and a file of another program that the store refuses is never changed.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/registry/registry.h"

namespace {

std::string folder;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Reads what a reader of the settings reads, and a little more.
void ReadAround() {
  HKEY key = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Brindlemoor\\Pictoss", 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    for (const char* name : {"TimeDelay", "FileName"}) {
      BYTE buffer[255];
      DWORD size = sizeof buffer, type = 0;
      RegQueryValueExA(key, name, nullptr, &type, buffer, &size);
    }
    for (DWORD i = 0; i < 8; ++i) {
      char name[256];
      DWORD nameSize = sizeof name;
      if (RegEnumValueA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr)) break;
    }
    RegCloseKey(key);
  }
  for (DWORD i = 0; i < 8; ++i) {
    char name[256];
    DWORD nameSize = sizeof name;
    if (RegEnumKeyExA(HKEY_CLASSES_ROOT, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr)) {
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  folder += "/pictoss-store-fuzz-XXXXXX";
  if (!mkdtemp(folder.data())) std::abort();
  std::atexit([] { std::filesystem::remove_all(folder); });
  setenv("PICTOSS_PREFIX", folder.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = folder + "/registry.db";
  for (const char* suffix : {"-wal", "-shm", "-journal"}) unlink((file + suffix).c_str());
  // A new file in its place each time, so that the store opens it afresh.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  { std::ofstream(file + ".new", std::ios::binary) << bytes; }
  if (std::rename((file + ".new").c_str(), file.c_str()) != 0) std::abort();
  ReadAround();
  const BYTE text[] = "5";
  const LONG status = RegSetValueExA(HKEY_CURRENT_USER, "v", 0, REG_SZ, text, sizeof text);
  // A file without our mark (the application id at offset 68) is another program's: a write
  // that fails must leave it as it was. (A store of ours that is corrupt inside may be rolled
  // back by SQLite, which can rewrite its pages.)
  const bool ours = size >= 72 && bytes.compare(68, 4, "PTKY") == 0;
  if (!ours && status != ERROR_SUCCESS && ReadAll(file) != bytes) std::abort();
  if (status == ERROR_SUCCESS) ReadAround();
  return 0;
}
