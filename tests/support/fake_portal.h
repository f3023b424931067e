// For tests: a session bus of the test's own (which starts nothing by itself) with, on demand,
// the fake Screenshot portal of fake_portal.py on it; the process's DBUS_SESSION_BUS_ADDRESS
// points at it while the object lives. The fake writes its pictures into a folder whose name
// has a blank, and logs the calls it gets. Processes are ended by their PIDs.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

class FakePortalBus {
 public:
  FakePortalBus() {
    namespace fs = std::filesystem;
    static int count = 0;
    dir_ = fs::temp_directory_path() /
           ("fake-portal-" + std::to_string(getpid()) + "-" + std::to_string(++count));
    shots_ = dir_ / "fake portal";
    fs::remove_all(dir_);
    fs::create_directories(shots_);
    std::ofstream(dir_ / "bus.conf")
        << "<busconfig><type>session</type><listen>unix:path=" << (dir_ / "bus").string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
           "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
           "own=\"*\"/></policy></busconfig>";
    bus_ = Spawn({"dbus-daemon", "--nofork", "--nopidfile",
                  "--config-file=" + (dir_ / "bus.conf").string()});
    EXPECT_TRUE(WaitFor(dir_ / "bus")) << "dbus-daemon did not start";
    if (const char* old = getenv("DBUS_SESSION_BUS_ADDRESS")) old_address_ = old;
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir_ / "bus").string()).c_str(), 1);
  }
  ~FakePortalBus() {
    StopPortal();
    Stop(bus_);
    if (old_address_.empty())
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
    else
      setenv("DBUS_SESSION_BUS_ADDRESS", old_address_.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }
  FakePortalBus(const FakePortalBus&) = delete;
  FakePortalBus& operator=(const FakePortalBus&) = delete;

  // Starts the fake in a mode of fake_portal.py (ok, old, cancel, deny, silent, noscreenshot),
  // after stopping the one before.
  void StartPortal(const std::string& mode) {
    StopPortal();
    portal_ = Spawn({"/usr/bin/python3", PICTOSS_FAKE_PORTAL, mode, shots_.string()});
    EXPECT_TRUE(WaitFor(shots_ / "ready")) << "the fake portal did not start: " << mode;
  }
  void StopPortal() {
    Stop(std::exchange(portal_, 0));
    std::filesystem::remove(shots_ / "ready");
    std::filesystem::remove(shots_ / "log");
  }
  std::string Log() const {
    std::ifstream in(shots_ / "log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The pictures the fake wrote that are still there.
  std::vector<std::filesystem::path> Pictures() const {
    std::vector<std::filesystem::path> found;
    for (const auto& e : std::filesystem::directory_iterator(shots_))
      if (e.path().extension() == ".png") found.push_back(e.path());
    return found;
  }

 private:
  static pid_t Spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ), 0) << argv[0];
    return pid;
  }
  static void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  static bool WaitFor(const std::filesystem::path& path) {
    for (int i = 0; i < 200 && !std::filesystem::exists(path); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return std::filesystem::exists(path);
  }

  std::filesystem::path dir_, shots_;
  pid_t bus_ = 0, portal_ = 0;
  std::string old_address_;
};

}  // namespace testsupport
