// Private chat servers for tests, each on 127.0.0.1 and a free high port, with a configuration
// of its own in a temporary folder, started by the constructor (which returns once the server
// accepts connections) and stopped by its PID when destroyed: Debian's ngircd for IRC and
// prosody for XMPP. Neither runs as root: run as root, ngircd drops to the user nobody, and
// prosody is started as nobody, so the folders they write are writable by everyone. Not
// thread-safe.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

// An IRC server where anyone may take any free nick.

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

// An XMPP server for the domain "pictoss.test" with the accounts alice and bob (password
// "secret"), each on the other's roster with presence both ways. It offers no TLS: clients must
// accept a plain connection.
class XmppServer {
 public:
  static constexpr char kDomain[] = "pictoss.test";
  static constexpr char kPassword[] = "secret";

  XmppServer();
  ~XmppServer();
  XmppServer(const XmppServer&) = delete;
  XmppServer& operator=(const XmppServer&) = delete;

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
