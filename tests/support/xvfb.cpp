#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void XvfbServer::Crash() {
  if (pid_ <= 0) return;
  // A server finds a number taken while the PID in its lock file lives. The lock names this
  // process before the server dies, so that no server starting meanwhile finds it stale. The
  // lock file is shared by every network namespace; the socket name below is not.
  held_lock_ = "/tmp/.X" + display_.substr(1) + "-lock";
  const std::string temp = held_lock_ + ".pictoss-test";
  char pid[16];
  std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
  std::FILE* lock = std::fopen(temp.c_str(), "w");
  bool written = lock && std::fputs(pid, lock) >= 0;
  if (lock) written = std::fclose(lock) == 0 && written;
  if (!written || std::rename(temp.c_str(), held_lock_.c_str()) != 0) {
    std::remove(temp.c_str());
    held_lock_.clear();
  }
  kill(pid_, SIGKILL);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  // A new server takes the first number whose sockets it can all make: holding the abstract
  // socket name keeps this one taken. Clients that try it are refused, as by a dead server.
  held_socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = "/tmp/.X11-unix/X" + display_.substr(1);
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (held_socket_ >= 0 && bind(held_socket_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(held_socket_);
    held_socket_ = -1;
  }
}

XvfbServer::~XvfbServer() {
  if (held_socket_ >= 0) close(held_socket_);
  if (!held_lock_.empty()) std::remove(held_lock_.c_str());
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
