#include "purple/sent_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace pictoss_purple {

namespace fs = std::filesystem;

namespace {

constexpr char kPrefix[] = "pictoss-purple.";
constexpr char kLockFile[] = ".owner";

// A folder of ours that its owner left without closing it (the client was killed): this user's
// own real folder whose lock file nobody holds. A folder without a lock file may be one that its
// owner has only just made: it stays.
bool Abandoned(const fs::path& folder) {
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    return false;
  }
  const int fd = open((folder / kLockFile).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

void RemoveAbandoned(const fs::path& temp) {
  std::error_code ec;
  for (fs::directory_iterator it(temp, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path folder = it->path();
    if (!folder.filename().string().starts_with(kPrefix) || !Abandoned(folder)) continue;
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
}

}  // namespace

bool SentFiles::Open(const fs::path& temp, std::string* why) {
  Close();
  RemoveAbandoned(temp);
  std::string pattern = (temp / (std::string(kPrefix) + "XXXXXX")).string();
  // mkdtemp makes the folder with mode 0700.
  if (!mkdtemp(pattern.data())) {
    *why = "cannot create a private folder in " + temp.string() + ": " + std::strerror(errno);
    return false;
  }
  folder_ = pattern;
  lock_ =
      open((folder_ / kLockFile).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock_ < 0 || flock(lock_, LOCK_EX | LOCK_NB) != 0) {
    *why = "cannot lock the private folder " + folder_.string() + ": " + std::strerror(errno);
    Close();
    return false;
  }
  return true;
}

void SentFiles::Close() {
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
    folder_.clear();
  }
  if (lock_ >= 0) close(lock_);
  lock_ = -1;
}

fs::path SentFiles::Copy(const fs::path& file, std::string* why) {
  if (folder_.empty()) {
    *why = "no folder for the files to send";
    return {};
  }
  std::error_code ec;
  fs::path copy;
  do {
    copy = folder_ /
           (file.stem().string() + "-" + std::to_string(next_++) + file.extension().string());
  } while (fs::exists(copy, ec));
  if (!fs::copy_file(file, copy, fs::copy_options::none, ec)) {
    *why = "cannot copy " + file.string() + " to " + folder_.string() + ": " + ec.message();
    return {};
  }
  return copy;
}

void SentFiles::Release(const fs::path& file) {
  if (folder_.empty() || file.parent_path() != folder_) return;
  std::error_code ec;
  fs::remove(file, ec);
}

}  // namespace pictoss_purple
