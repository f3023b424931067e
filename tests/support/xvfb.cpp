#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testsupport {

namespace {

// A server is known by its number under two names: an abstract socket name, of which each network
// namespace has its own set, and a file in /tmp/.X11-unix, shared by them all. A new server takes
// the first number whose abstract name is free and replaces the file that is there. Run in a
// namespace of its own, it would take a number that a server elsewhere has, or that a crashed
// server's test holds, and a client refused by the abstract name would then reach it through the
// file. So every test's server runs in the network namespace this process started in, which the
// other tests share; tests may leave it later (see IsolateNetwork), which is why it is opened
// before main.
const int kSharedNetwork = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);

// Whether the calling thread is in another network namespace than kSharedNetwork.
bool OutsideSharedNetwork() {
  struct stat shared, own;
  return kSharedNetwork >= 0 && fstat(kSharedNetwork, &shared) == 0 &&
         stat("/proc/thread-self/ns/net", &own) == 0 &&
         (own.st_ino != shared.st_ino || own.st_dev != shared.st_dev);
}

// A duplicate of the socket that process pid listens on under the abstract name.
int TakeListener(pid_t pid, const std::string& name) {
  // The socket's inode, in the list of the process's network namespace. The connections it
  // accepted are listed under its name too, without the flag of a listening socket.
  constexpr char kListening[] = "00010000";
  std::ifstream list("/proc/" + std::to_string(pid) + "/net/unix");
  std::string line, inode;
  std::getline(list, line);  // the column names
  while (inode.empty() && std::getline(list, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, id, path;
    if (fields >> num >> refs >> protocol >> flags >> type >> state >> id >> path &&
        flags == kListening && path == "@" + name) {
      inode = id;
    }
  }
  if (inode.empty()) throw std::runtime_error("no socket listens under @" + name);
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    std::error_code unreadable;
    if (std::filesystem::read_symlink(entry.path(), unreadable) != "socket:[" + inode + "]") {
      continue;
    }
    // By system call: this C library's header declares these without C linkage.
    const int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const int fd = process < 0 ? -1
                               : static_cast<int>(syscall(SYS_pidfd_getfd, process,
                                                          std::stoi(entry.path().filename()), 0));
    const int why = errno;
    if (process >= 0) close(process);
    if (fd < 0) throw std::runtime_error("cannot take @" + name + ": " + std::strerror(why));
    return fd;
  }
  throw std::runtime_error("no descriptor of process " + std::to_string(pid) + " is @" + name);
}

}  // namespace

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
  const bool elsewhere = OutsideSharedNetwork();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    close(fds[0]);
    if (elsewhere && setns(kSharedNetwork, CLONE_NEWNET) != 0) {
      std::fprintf(stderr, "Xvfb not started: cannot enter the first network namespace: %s\n",
                   std::strerror(errno));
      _exit(126);
    }
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
  // A new server takes the first number whose abstract socket name it can bind. This process
  // keeps the server's socket under that name, refusing connections, so that the name is never
  // free while the number is held: clients that try it are refused, as by a dead server.
  held_socket_ = TakeListener(pid_, SocketFile());
  if (shutdown(held_socket_, SHUT_RD) != 0) {
    const int error = errno;
    close(held_socket_);
    held_socket_ = -1;
    throw std::runtime_error("cannot refuse connections on " + display_ + ": " +
                             std::strerror(error));
  }
  // A server started with a number of its own finds it taken while the PID in its lock file
  // lives. The lock names this process before the server dies, so that no server starting
  // meanwhile finds it stale.
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
  // Clients that came between the server's last accept and the refusal find the server gone.
  const int flags = fcntl(held_socket_, F_GETFL);
  fcntl(held_socket_, F_SETFL, flags | O_NONBLOCK);
  for (int client; (client = accept(held_socket_, nullptr, nullptr)) >= 0;) close(client);
}

std::string XvfbServer::SocketFile() const {
  return "/tmp/.X11-unix/X" + display_.substr(1);
}

XvfbServer::~XvfbServer() {
  if (held_socket_ >= 0) {
    // The dead server's file, which no other server can have replaced while the number was held.
    unlink(SocketFile().c_str());
    close(held_socket_);
  }
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
