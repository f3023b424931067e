#include "platform/kernel/temppath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

thread_local std::string fault;
std::string privateParent = "/tmp";

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// Why the folder is not ours alone, or empty when it is.
std::string Unsafe(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return std::strerror(errno);
  if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return "it is not a folder";
  if (st.st_uid != geteuid())
    return "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  if ((st.st_mode & 07777) != 0700) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("its mode is ") + mode + ", not 0700";
  }
  return {};
}

// /tmp/pictoss-<uid>, made on first use. A folder of that name that someone else made, or that
// others may enter, is refused rather than repaired: its content cannot be trusted.
bool PrivateFolder(std::string& path) {
  path = privateParent + "/pictoss-" + std::to_string(geteuid());
  if (mkdir(path.c_str(), 0700) == 0) {
    chmod(path.c_str(), 0700);  // whatever the umask took away
  } else if (errno != EEXIST) {
    fault = "The temporary folder " + path + " cannot be made: " + std::strerror(errno);
    return false;
  }
  if (std::string why = Unsafe(path.c_str()); !why.empty()) {
    fault = "The temporary folder " + path + " cannot be used: " + why;
    return false;
  }
  return true;
}

}  // namespace

DWORD GetTempPathA(DWORD length, char* buffer) {
  fault.clear();
  std::string path;
  if (const char* dir = NonEmptyEnv("TMPDIR")) {
    path = dir;
  } else if (const char* runtime = NonEmptyEnv("XDG_RUNTIME_DIR")) {
    path = runtime;
  } else if (!PrivateFolder(path)) {
    return 0;
  }
  if (path.back() != '/') path.push_back('/');
  if (path.size() + 1 > 0xFFFFFFFFu) return 0;
  DWORD needed = static_cast<DWORD>(path.size() + 1);
  if (!buffer || length < needed) return needed;
  std::memcpy(buffer, path.c_str(), needed);
  return needed - 1;
}

namespace platform {

std::string TempPathFault() {
  return fault;
}

void SetPrivateTempParent(std::string parent) {
  privateParent = parent.empty() ? "/tmp" : std::move(parent);
}

}  // namespace platform
