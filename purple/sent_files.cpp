#include "purple/sent_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace pictoss_purple {

namespace fs = std::filesystem;

bool SentFiles::Open(const fs::path& temp, std::string* why) {
  Close();
  std::string pattern = (temp / "pictoss-purple.XXXXXX").string();
  // mkdtemp makes the folder with mode 0700.
  if (!mkdtemp(pattern.data())) {
    *why = "cannot create a private folder in " + temp.string() + ": " + std::strerror(errno);
    return false;
  }
  folder_ = pattern;
  return true;
}

void SentFiles::Close() {
  if (folder_.empty()) return;
  std::error_code ec;
  fs::remove_all(folder_, ec);
  folder_.clear();
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
