// A private X server for tests: starts Xvfb on a free display number, points DISPLAY at it,
// and stops it by its PID when destroyed. The server runs in the network namespace that this
// process started in, also when the calling thread has left it (display numbers are shared with
// the servers of every other test). Requires: the Xvfb program is installed.
// Not thread-safe; one thread at a time uses a server.
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

  // Ends the server at once (SIGKILL), as a crash would. Its display number stays taken until
  // this object goes (this process holds the number's abstract socket name, where nothing
  // answers, and its lock file), so that no other program's server starts on it meanwhile and
  // answers in its place.
  void Crash();

 private:
  std::string SocketFile() const;

  pid_t pid_ = -1;
  int held_socket_ = -1;
  std::string held_lock_;
  std::string display_;
  std::string previous_display_;
  bool had_display_ = false;
};

}  // namespace testsupport
