// A private X server for tests: starts Xvfb on a free display number, points DISPLAY at it,
// and stops it by its PID when destroyed. Requires: the Xvfb program is installed.
// Not thread-safe; one test thread owns a server.
#pragma once

#include <sys/types.h>
#include <string>

namespace testsupport {

class XvfbServer {
 public:
  // depth is 8, 16 or 24; extra is appended to the Xvfb command line (for example
  // "-extension MIT-SHM").
  explicit XvfbServer(int width = 1920, int height = 1080, int depth = 24,
                      const std::string& extra = "");
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", also put into the DISPLAY variable of this process while the server runs.
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string previous_display_;
  bool had_display_ = false;
};

}  // namespace testsupport
