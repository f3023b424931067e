// For tests: a fresh folder of their own below /tmp, removed with everything in it, and whole
// files read, written and listed. One test thread a folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace testsupport {

class TempFolder {
 public:
  // `name` goes into the folder's name, to tell whose it is.
  explicit TempFolder(const std::string& name = "test") {
    std::string pattern = "/tmp/pictoss-" + name + "-XXXXXX";
    if (mkdtemp(pattern.data()))
      path_ = pattern;
    else
      ADD_FAILURE() << "cannot make a folder for the test";
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void WriteAll(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The names in the folder.
inline std::set<std::string> Entries(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename());
  return names;
}

}  // namespace testsupport
