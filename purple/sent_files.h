// The copies of the files that the plug-in hands over for sending. The plug-in writes the same
// file name for every capture, and a transfer reads its file only once the contact accepts,
// maybe long after; so each file is copied to a name of its own in a private folder (0700)
// below the temporary folder, the copy is sent, and the copy is deleted when its transfer ends
// or, for those left, when the folder is closed. The folder's owner holds a lock on a file in
// it while it is open, so that folders of clients that were killed are found and removed by the
// next one. Threading: the client's main thread.
#pragma once

#include <filesystem>
#include <string>

namespace pictoss_purple {

class SentFiles {
 public:
  SentFiles() = default;
  ~SentFiles() { Close(); }
  SentFiles(const SentFiles&) = delete;
  SentFiles& operator=(const SentFiles&) = delete;

  // Creates the private folder below `temp`, after removing this user's folders there that no
  // live process holds. False with the reason in *why.
  bool Open(const std::filesystem::path& temp, std::string* why);
  // Deletes the folder with every copy left in it. Safe to call twice.
  void Close();

  // Copies the file to a new name in the folder: its name with a number that no earlier copy
  // had, before the extension. Returns the copy's path, or "" with the reason in *why.
  std::filesystem::path Copy(const std::filesystem::path& file, std::string* why);

  // Deletes the file when it is one of the copies; others are left alone.
  void Release(const std::filesystem::path& file);

  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  int lock_ = -1;  // holds the lock file of folder_
  unsigned long next_ = 1;
};

}  // namespace pictoss_purple
