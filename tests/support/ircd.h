// A private IRC server for tests: Debian's ngircd on 127.0.0.1 and a free high port, with a
// configuration of its own in a temporary folder, started by the constructor (which returns once
// the server accepts connections) and stopped by its PID when destroyed. Run as root, ngircd
// drops to the user nobody, so its PID-file folder is writable by everyone. Not thread-safe.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

class IrcServer {
 public:
  IrcServer();
  ~IrcServer();
  IrcServer(const IrcServer&) = delete;
  IrcServer& operator=(const IrcServer&) = delete;

  int port() const { return port_; }

 private:
  std::string folder_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// Gives this process a network namespace of its own with the loopback interface up, so that
// servers and clients started by the test see only each other. Returns an empty string when
// that worked, else why not (the test then runs on the machine's own loopback interface).
std::string IsolateNetwork();

}  // namespace testsupport
