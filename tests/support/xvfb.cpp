#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testsupport {

XvfbServer::XvfbServer(int width, int height, int depth, const std::string& extra) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> args = {
      "Xvfb",
      "-displayfd",
      std::to_string(fds[1]),
      "-screen",
      "0",
      std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth),
      "-nolisten",
      "tcp",
      "-noreset"};
  std::istringstream more(extra);
  for (std::string word; more >> word;) args.push_back(word);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    close(fds[0]);
    int devnull = open("/dev/null", 0);
    if (devnull >= 0) {
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  close(fds[1]);
  // Xvfb writes the display number once it accepts connections.
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (poll(&p, 1, 20000) > 0) {
    char c;
    ssize_t n = read(fds[0], &c, 1);
    if (n <= 0 || c == '\n') break;
    number.push_back(c);
  }
  close(fds[0]);
  if (number.empty()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("Xvfb did not start");
  }
  display_ = ":" + number;
  if (const char* old = getenv("DISPLAY")) {
    had_display_ = true;
    previous_display_ = old;
  }
  setenv("DISPLAY", display_.c_str(), 1);
}

XvfbServer::~XvfbServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (had_display_)
    setenv("DISPLAY", previous_display_.c_str(), 1);
  else
    unsetenv("DISPLAY");
}

}  // namespace testsupport
