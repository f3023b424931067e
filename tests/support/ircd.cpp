#include "tests/support/ircd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace testsupport {
namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port that nothing listens on now: the kernel's choice for a socket bound to port 0.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = Loopback(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

IrcServer::IrcServer() {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "pictoss-ircd.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  folder_ = pattern;
  const fs::path run = fs::path(folder_) / "run";
  fs::create_directory(run);
  chmod(folder_.c_str(), 0755);
  chmod(run.c_str(), 0777);
  port_ = FreePort();
  const std::string config = folder_ + "/ngircd.conf";
  std::ofstream(config) << "[Global]\n"
                           "Name = irc.pictoss.test\n"
                           "Info = Pictoss test server\n"
                           "AdminInfo1 = Pictoss tests\nAdminInfo2 = here\nAdminEMail = none\n"
                           "Listen = 127.0.0.1\n"
                           "Ports = "
                        << port_
                        << "\n"
                           "PidFile = "
                        << (run / "ngircd.pid").string()
                        << "\n"
                           "MotdPhrase = test\n"
                           "[Options]\nDNS = no\nIdent = no\nPAM = no\n";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
    }
    execl("/usr/sbin/ngircd", "ngircd", "--nodaemon", "-f", config.c_str(), nullptr);
    _exit(127);
  }
  for (int i = 0; i < 200; ++i) {
    if (Accepts(port_)) return;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  throw std::runtime_error("ngircd did not start on port " + std::to_string(port_));
}

IrcServer::~IrcServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

std::string IsolateNetwork() {
  int original = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (unshare(CLONE_NEWNET) != 0) {
    std::string why = std::string("unshare: ") + std::strerror(errno);
    if (original >= 0) close(original);
    return why;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
            (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  std::string why = up ? "" : std::string("cannot bring lo up: ") + std::strerror(errno);
  if (fd >= 0) close(fd);
  // Without a loopback interface the new namespace is of no use: go back to the first one.
  if (!up && (original < 0 || setns(original, CLONE_NEWNET) != 0)) {
    why += "; cannot return to the first network namespace";
  }
  if (original >= 0) close(original);
  return why;
}

}  // namespace testsupport
