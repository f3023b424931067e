#include "platform/kernel/file_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <climits>

#include <algorithm>
#include <cerrno>
#include <cstdio>  // renameat2
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace platform {
namespace {

constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kRandomLetters = 12;
// Seconds after which a temp file counts as left behind by a write that was killed.
constexpr time_t kLeftoverAge = 60;

// ".<name>.<12 random letters>": hidden, in the target's folder so that the rename stays on one
// file system, and random so that nobody can plant that name ahead of us. Returns the negated
// errno when no random bytes can be had.
int TempName(std::string_view name, std::string& temp) {
  unsigned char random[kRandomLetters] = {};
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -errno;
  temp = "." + std::string(name.substr(0, 200)) + ".";
  for (unsigned char byte : random) temp += kLetters[byte % (sizeof kLetters - 1)];
  return 0;
}

// Creates a new file readable and writable by its owner only; never opens an existing file or
// follows a link. Sets tempName; returns the descriptor or the negated errno.
int CreateTempFile(int folder, std::string_view name, std::string& tempName) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (const int status = TempName(name, tempName); status != 0) return status;
    const int fd = openat(folder, tempName.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd >= 0 ? fd : -errno;
  }
  return -EEXIST;
}

// Whether entry is one of TempName's names for name.
bool IsTempNameOf(std::string_view entry, std::string_view name) {
  const std::string prefix = "." + std::string(name.substr(0, 200)) + ".";
  if (entry.size() != prefix.size() + kRandomLetters || !entry.starts_with(prefix)) return false;
  entry.remove_prefix(prefix.size());
  return entry.find_first_not_of(kLetters) == std::string_view::npos;
}

// Whether the folder is due to be looked through for leftovers of name. A leftover goes only
// once it is a minute old, so this process looks through each folder for a name at most once a
// minute: a folder of 2,000 entries costs about 0.8 ms to read, on every capture otherwise.
bool LeftoverScanDue(int folder, const std::string& path, std::string_view name, time_t now) {
  struct stat st {};
  if (fstat(folder, &st) != 0) return true;
  static std::mutex mutex;
  // By path as well as identity: a removed folder's inode may come back as another folder.
  static std::map<std::tuple<std::string, dev_t, ino_t, std::string>, time_t> lastScan;
  const std::lock_guard lock(mutex);
  time_t& last = lastScan[{path, st.st_dev, st.st_ino, std::string(name)}];
  if (last != 0 && now - last < kLeftoverAge) return false;
  last = now;
  return true;
}

// Whether the temp file entry is a leftover: the writer's own regular file, untouched for a
// minute, that no write holds. A write holds its temp file locked from its creation until after
// the rename, because the file takes on the old file's times before the rename and so may look
// old while the write is still under way; a killed writer's lock goes with it.
bool IsLeftover(int folder, const char* entry, time_t now) {
  const int fd = openat(folder, entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool leftover = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                        now - st.st_mtime > kLeftoverAge && flock(fd, LOCK_EX | LOCK_NB) == 0;
  // The lock, if taken, stays until the entry is gone: no write can take the file meanwhile.
  if (leftover) unlinkat(folder, entry, 0);
  ::close(fd);
  return leftover;
}

// Removes the temp files of name that a write killed before its rename left behind.
void RemoveLeftovers(int folder, const std::string& path, std::string_view name) {
  const time_t now = time(nullptr);
  if (!LeftoverScanDue(folder, path, name, now)) return;
  const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    if (IsTempNameOf(entry->d_name, name)) IsLeftover(folder, entry->d_name, now);
  }
  closedir(dir);
}

// Writes the pieces one after the other, as few calls as the system allows.
int WriteAll(int fd, std::span<const Piece> pieces) {
  std::vector<iovec> left;
  for (const Piece& p : pieces)
    if (!p.empty()) left.push_back({const_cast<BYTE*>(p.data()), p.size()});
  std::size_t first = 0;
  while (first < left.size()) {
    const int count = static_cast<int>(std::min<std::size_t>(left.size() - first, IOV_MAX));
    ssize_t written = ::writev(fd, &left[first], count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    for (; first < left.size() && static_cast<std::size_t>(written) >= left[first].iov_len; ++first)
      written -= static_cast<ssize_t>(left[first].iov_len);
    if (first < left.size()) {
      left[first].iov_base = static_cast<BYTE*>(left[first].iov_base) + written;
      left[first].iov_len -= static_cast<std::size_t>(written);
    }
  }
  return 0;
}

// Gives the new file the old one's access and modification times, to the nanosecond, and its
// permission bits when the old file was the writer's own: a file that another user planted there
// must not make the new content readable to others, so the new file then stays 0600. Linux has
// no settable creation time, so the new file keeps its own; owner and group stay the writer's.
int CarryOverAttributes(int fd, const struct stat& old) {
  if (old.st_uid == geteuid() && fchmod(fd, old.st_mode & 0777) != 0) return -errno;
  const struct timespec times[2] = {old.st_atim, old.st_mtim};
  if (futimens(fd, times) != 0) return -errno;
  return 0;
}

// Puts the filled temp file in the name's place, all or nothing for other processes; no fsync, as
// the file is a temporary one. Over a regular file the two swap names and the old file goes after:
// ext4 writes out a file renamed over another at once (its auto_da_alloc), 0.5 to 0.8 ms per
// capture, while after a swap the old file's pages, never yet written, are simply dropped.
// Otherwise, or where the file system cannot swap, rename replaces whatever the name holds, a link
// included, and never follows it.
int MoveIntoPlace(int dir, const std::string& tempName, const std::string& name, bool overFile) {
  const char* from = tempName.c_str();
  if (overFile) {
    if (renameat2(dir, from, dir, name.c_str(), RENAME_EXCHANGE) == 0) {
      if (unlinkat(dir, from, 0) == 0 || errno == ENOENT) return 0;  // ENOENT: a scan took it
      // The old file cannot go (or a folder took the name meanwhile): it goes back, and the
      // write fails as a rename that failed would.
      const int status = -errno;
      renameat2(dir, from, dir, name.c_str(), RENAME_EXCHANGE);
      return status;
    }
    // EINVAL: a file system that cannot swap; ENOENT: the old file went meanwhile.
    if (errno != EINVAL && errno != ENOENT) return -errno;
  }
  return renameat(dir, from, dir, name.c_str()) == 0 ? 0 : -errno;
}

}  // namespace

int ReplaceFileContents(const char* path, const BYTE* bytes, std::size_t size) {
  if (bytes == nullptr && size > 0) return -EINVAL;
  const Piece whole(bytes, size);
  return ReplaceFileContents(path, std::span<const Piece>(&whole, 1));
}

int ReplaceFileContents(const char* path, std::span<const Piece> pieces) {
  FileReplacement file;
  file.Begin(path);
  file.Append(pieces);
  return file.Commit();
}

FileReplacement::~FileReplacement() {
  GiveUp();
}

int FileReplacement::Begin(const char* path) {
  if (begun_) return status_ = -EINVAL;
  begun_ = true;
  if (path == nullptr) return status_ = -EINVAL;
  const std::string_view whole(path);
  const std::size_t slash = whole.rfind('/');
  const std::string folder = slash == std::string_view::npos ? "."
                             : slash == 0                    ? "/"
                                                             : std::string(whole.substr(0, slash));
  name_ = slash == std::string_view::npos ? whole : whole.substr(slash + 1);
  if (name_.empty() || name_ == "." || name_ == "..") return status_ = -EISDIR;

  // Every later step names the file relative to this folder, so a folder renamed meanwhile
  // cannot redirect the rename elsewhere.
  dir_ = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir_ < 0) return status_ = -errno;

  if (fstatat(dir_, name_.c_str(), &old_, AT_SYMLINK_NOFOLLOW) == 0) {
    hadFile_ = S_ISREG(old_.st_mode);
    if (hadFile_ && (old_.st_mode & S_IWUSR) == 0) return status_ = kReplaceReadOnly;
  } else if (errno != ENOENT) {
    return status_ = -errno;
  }

  RemoveLeftovers(dir_, folder, name_);
  temp_ = CreateTempFile(dir_, name_, tempName_);
  if (temp_ < 0) return status_ = temp_;
  // Held through the rename on a descriptor of its own (see IsLeftover). A new file's lock is
  // always free: another writer's scan opens only files a minute old.
  held_ = dup(temp_);
  if (held_ < 0 || flock(held_, LOCK_EX | LOCK_NB) != 0) return status_ = -errno;
  return 0;
}

int FileReplacement::Append(std::span<const Piece> pieces) {
  if (!begun_) return -EINVAL;
  if (status_ != 0) return status_;
  return status_ = WriteAll(temp_, pieces);  // after Commit: -EBADF
}

int FileReplacement::Commit() {
  if (!begun_) return -EINVAL;
  if (status_ == 0 && hadFile_) status_ = CarryOverAttributes(temp_, old_);
  if (status_ == 0) status_ = ::close(std::exchange(temp_, -1)) == 0 ? 0 : -errno;
  if (status_ == 0) status_ = MoveIntoPlace(dir_, tempName_, name_, hadFile_);
  if (status_ == 0) tempName_.clear();  // it names the file in place now
  GiveUp();
  return status_;
}

// Removes the new file unless it is in place, and lets go of every descriptor.
void FileReplacement::GiveUp() {
  if (temp_ >= 0) ::close(std::exchange(temp_, -1));
  if (!tempName_.empty() && dir_ >= 0) unlinkat(dir_, tempName_.c_str(), 0);
  tempName_.clear();
  if (held_ >= 0) ::close(std::exchange(held_, -1));
  if (dir_ >= 0) ::close(std::exchange(dir_, -1));
}

}  // namespace platform
