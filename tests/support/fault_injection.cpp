// A shim for LD_PRELOAD that makes one call of the C library fail, so that tests can see what a
// program leaves behind when a write, a rename or an fsync fails (a full disk, a failing one).
// Set in the environment of the program under test:
//   PICTOSS_FAULT_CALLS  the families that are counted, comma-separated: write (write, pwrite,
//                        writev, pwritev), rename (rename, renameat, renameat2, link), fsync
//                        (fsync, fdatasync)
//   PICTOSS_FAULT_AT     k: the k-th counted call fails (1 is the first)
//   PICTOSS_FAULT_ERRNO  the errno it fails with (a number, such as 5 for EIO, 28 for ENOSPC)
//   PICTOSS_FAULT_PATH   only calls on files whose path starts with this are counted
//   PICTOSS_FAULT_REPORT a file to which the failed call's name is appended when it fails
// Without PICTOSS_FAULT_AT every call goes through. Counting is per process and thread-safe.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Settings {
  bool write = false, rename = false, fsync = false;
  long at = 0;
  int error = EIO;
  std::string path;
  std::string report;
};

// Never destroyed: the program writes and closes files until its very end.
const Settings& TheSettings() {
  static const Settings& settings = *[] {
    auto* made = new Settings;
    Settings& s = *made;
    const char* calls = std::getenv("PICTOSS_FAULT_CALLS");
    const std::string families = calls ? calls : "";
    s.write = families.find("write") != std::string::npos;
    s.rename = families.find("rename") != std::string::npos;
    s.fsync = families.find("fsync") != std::string::npos;
    if (const char* at = std::getenv("PICTOSS_FAULT_AT")) s.at = std::atol(at);
    if (const char* error = std::getenv("PICTOSS_FAULT_ERRNO")) s.error = std::atoi(error);
    if (const char* path = std::getenv("PICTOSS_FAULT_PATH")) s.path = path;
    if (const char* report = std::getenv("PICTOSS_FAULT_REPORT")) s.report = report;
    return made;
  }();
  return settings;
}

std::atomic<long> counted{0};

bool Watched(const char* path) {
  const Settings& s = TheSettings();
  return path && (s.path.empty() || std::strncmp(path, s.path.c_str(), s.path.size()) == 0);
}

bool WatchedFd(int fd) {
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return false;
  target[n] = '\0';
  return Watched(target);
}

// A path relative to a folder descriptor, made whole for the comparison.
std::string AtPath(int dir, const char* path) {
  if (!path || path[0] == '/' || dir == AT_FDCWD) return path ? path : "";
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return path;
  return std::string(target, static_cast<std::size_t>(n)) + "/" + path;
}

// True when this call is the one to fail; then errno is set and the report written.
bool Fails(bool family, bool watched, const char* name) {
  const Settings& s = TheSettings();
  if (!family || s.at <= 0 || !watched) return false;
  if (++counted != s.at) return false;
  if (!s.report.empty()) {
    static const auto realWrite =
        reinterpret_cast<ssize_t (*)(int, const void*, size_t)>(dlsym(RTLD_NEXT, "write"));
    const int fd = open(s.report.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      const std::string line = std::string(name) + "\n";
      realWrite(fd, line.data(), line.size());
      close(fd);
    }
  }
  errno = s.error;
  return true;
}

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buffer, size_t size) {
  static const auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
  if (Fails(TheSettings().write, WatchedFd(fd), "write")) return -1;
  return real(fd, buffer, size);
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
  static const auto real = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  if (Fails(TheSettings().write, WatchedFd(fd), "pwrite")) return -1;
  return real(fd, buffer, size, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off64_t offset) {
  static const auto real = Next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  if (Fails(TheSettings().write, WatchedFd(fd), "pwrite64")) return -1;
  return real(fd, buffer, size, offset);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  static const auto real = Next<ssize_t (*)(int, const struct iovec*, int)>("writev");
  if (Fails(TheSettings().write, WatchedFd(fd), "writev")) return -1;
  return real(fd, iov, count);
}

ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
  static const auto real = Next<ssize_t (*)(int, const struct iovec*, int, off_t)>("pwritev");
  if (Fails(TheSettings().write, WatchedFd(fd), "pwritev")) return -1;
  return real(fd, iov, count, offset);
}

int rename(const char* from, const char* to) {
  static const auto real = Next<int (*)(const char*, const char*)>("rename");
  if (Fails(TheSettings().rename, Watched(to), "rename")) return -1;
  return real(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  static const auto real = Next<int (*)(int, const char*, int, const char*)>("renameat");
  if (Fails(TheSettings().rename, Watched(AtPath(toDir, to).c_str()), "renameat")) return -1;
  return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  static const auto real = Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  if (Fails(TheSettings().rename, Watched(AtPath(toDir, to).c_str()), "renameat2")) return -1;
  return real(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to) {
  static const auto real = Next<int (*)(const char*, const char*)>("link");
  if (Fails(TheSettings().rename, Watched(to), "link")) return -1;
  return real(from, to);
}

int fsync(int fd) {
  static const auto real = Next<int (*)(int)>("fsync");
  if (Fails(TheSettings().fsync, WatchedFd(fd), "fsync")) return -1;
  return real(fd);
}

int fdatasync(int fd) {
  static const auto real = Next<int (*)(int)>("fdatasync");
  if (Fails(TheSettings().fsync, WatchedFd(fd), "fdatasync")) return -1;
  return real(fd);
}

}  // extern "C"
