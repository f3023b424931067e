#include "tests/support/chat_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
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
#include <vector>

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

// Runs a program with no input or output, as nobody when this process is root; its PID.
pid_t Spawn(const std::vector<std::string>& argv, bool asNobody) {
  const passwd* nobody = asNobody && getuid() == 0 ? getpwnam("nobody") : nullptr;
  const uid_t uid = nobody ? nobody->pw_uid : 0;
  const gid_t gid = nobody ? nobody->pw_gid : 0;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
    }
    if (nobody && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Returns once the server accepts connections on the port; throws when it ends first or does
// not within ten seconds, after killing it.
void WaitUntilAccepting(pid_t pid, int port, const std::string& name) {
  for (int i = 0; i < 200; ++i) {
    if (Accepts(port)) return;
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      throw std::runtime_error(name + " ended before it accepted connections");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  WaitForExit(pid);
  throw std::runtime_error(name + " did not start on port " + std::to_string(port));
}

// Killed outright: the tests need nothing of a server's own shutdown, and prosody has stayed
// in its event loop for good after a SIGTERM.
void Stop(pid_t pid, const std::string& folder) {
  if (pid > 0) {
    kill(pid, SIGKILL);
    WaitForExit(pid);
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

// A folder below the temp folder that everyone may read; its path.
std::string OpenFolder(const char* name) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string(name) + ".XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  chmod(pattern.c_str(), 0755);
  return pattern;
}

}  // namespace

IrcServer::IrcServer() {
  namespace fs = std::filesystem;
  folder_ = OpenFolder("pictoss-ircd");
  const fs::path run = fs::path(folder_) / "run";
  fs::create_directory(run);
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
  pid_ = Spawn({"/usr/sbin/ngircd", "--nodaemon", "-f", config}, false);
  WaitUntilAccepting(pid_, port_, "ngircd");
}

IrcServer::~IrcServer() {
  Stop(pid_, folder_);
}

XmppServer::XmppServer() {
  namespace fs = std::filesystem;
  folder_ = OpenFolder("pictoss-prosody");
  const fs::path data = fs::path(folder_) / "data";
  fs::create_directory(data);
  chmod(data.c_str(), 0777);
  port_ = FreePort();
  // Shared roster groups put each account on the other's roster.
  const std::string groups = folder_ + "/groups.txt";
  std::ofstream(groups) << "[Pictoss]\nalice@" << kDomain << "=alice\nbob@" << kDomain << "=bob\n";
  const std::string config = folder_ + "/prosody.cfg.lua";
  std::ofstream(config) << "pidfile = \"" << (data / "prosody.pid").string() << "\"\n"
                        << "data_path = \"" << data.string() << "\"\n"
                        << "certificates = \"" << folder_ << "\"\n"
                        << "interfaces = { \"127.0.0.1\" }\n"
                        << "c2s_ports = { " << port_ << " }\n"
                        << "modules_enabled = { \"roster\", \"saslauth\", \"disco\", \"groups\" }\n"
                           "modules_disabled = { \"s2s\", \"offline\" }\n"
                        << "groups_file = \"" << groups << "\"\n"
                        << "c2s_require_encryption = false\n"
                           "allow_unencrypted_plain_auth = true\n"
                           // SCRAM's thousands of hash rounds are slow in a client under the
                           // address sanitizer.
                           "disable_sasl_mechanisms = { \"SCRAM-SHA-1\", \"SCRAM-SHA-256\" }\n"
                           "authentication = \"internal_plain\"\n"
                           "log = { error = \"*console\" }\n"
                        << "VirtualHost \"" << kDomain << "\"\n";
  for (const char* user : {"alice", "bob"}) {
    const pid_t registering = Spawn(
        {"/usr/bin/prosodyctl", "--config", config, "register", user, kDomain, kPassword}, true);
    const int status = WaitForExit(registering);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      Stop(-1, folder_);
      throw std::runtime_error(std::string("prosodyctl could not register ") + user);
    }
  }
  pid_ = Spawn({"/usr/bin/prosody", "--config", config, "-F"}, true);
  WaitUntilAccepting(pid_, port_, "prosody");
}

XmppServer::~XmppServer() {
  Stop(pid_, folder_);
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
