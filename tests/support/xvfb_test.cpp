// The private X server of the tests: its display number is one name for every test on the
// machine, also for a test whose threads run in a network namespace of their own.
#include "tests/support/xvfb.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// After gtest, whose names Xlib's macros (None, Bool) would replace.
#include <X11/Xlib.h>

namespace {

using testsupport::XvfbServer;

// Runs work on a thread in a fresh network namespace (a thread's own; the other threads stay
// where they are). Returns why not, or "".
std::string InFreshNetwork(const std::function<void()>& work) {
  std::string why;
  std::thread([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      why = std::string("unshare: ") + std::strerror(errno);
      return;
    }
    work();
  }).join();
  return why;
}

// Whether a client of this thread reaches a server under the name.
bool Answers(const std::string& display) {
  ::Display* d = XOpenDisplay(display.c_str());
  if (d) XCloseDisplay(d);
  return d != nullptr;
}

// A server crashed by a test in a namespace of its own keeps its number from every server started
// later, in that namespace, another or the first one, and every client is refused under it. A
// fresh namespace's servers would all take the lowest number otherwise, and a client refused by
// the held name would reach the newer server through its file.
TEST(XvfbServerTest, ACrashedServersNumberStaysTakenInEveryNetworkNamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "a network namespace of its own needs root";
  std::unique_ptr<XvfbServer> crashed;
  std::unique_ptr<XvfbServer> besideCrashed, inAnother;
  std::string why = InFreshNetwork([&] {
    crashed = std::make_unique<XvfbServer>(64, 48);
    ASSERT_TRUE(Answers(crashed->display()));
    crashed->Crash();
    besideCrashed = std::make_unique<XvfbServer>(64, 48);
    EXPECT_FALSE(Answers(crashed->display()));
    EXPECT_TRUE(Answers(besideCrashed->display()));
  });
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(crashed);
  ASSERT_TRUE(besideCrashed);
  XvfbServer here(64, 48);
  EXPECT_NE(here.display(), crashed->display());
  EXPECT_NE(here.display(), besideCrashed->display());
  EXPECT_FALSE(Answers(crashed->display()));
  EXPECT_TRUE(Answers(here.display()));
  EXPECT_TRUE(Answers(besideCrashed->display()));
  why = InFreshNetwork([&] {
    inAnother = std::make_unique<XvfbServer>(64, 48);
    EXPECT_FALSE(Answers(crashed->display()));
    EXPECT_TRUE(Answers(here.display()));
  });
  ASSERT_EQ(why, "");
  ASSERT_TRUE(inAnother);
  EXPECT_NE(inAnother->display(), crashed->display());
  EXPECT_NE(inAnother->display(), here.display());
  EXPECT_NE(inAnother->display(), besideCrashed->display());
}

// A server crashed by a test in the first namespace keeps its number from the servers of tests in
// namespaces of their own, which start there from the lowest number, and their clients are
// refused under it too.
TEST(XvfbServerTest, ANumberHeldInTheFirstNetworkNamespaceIsHeldForTheOthers) {
  if (geteuid() != 0) GTEST_SKIP() << "a network namespace of its own needs root";
  XvfbServer crashed(64, 48);
  crashed.Crash();
  const int held = std::stoi(crashed.display().substr(1));
  std::vector<std::unique_ptr<XvfbServer>> isolated;
  const std::string why = InFreshNetwork([&] {
    // Up to the first number above the held one; each takes the lowest number free.
    for (int above = -1; above <= held && isolated.size() <= static_cast<std::size_t>(held);) {
      isolated.push_back(std::make_unique<XvfbServer>(64, 48));
      above = std::stoi(isolated.back()->display().substr(1));
      EXPECT_NE(above, held);
    }
    EXPECT_FALSE(Answers(crashed.display()));
  });
  if (!why.empty()) GTEST_SKIP() << why;
  EXPECT_FALSE(Answers(crashed.display()));
  for (const auto& server : isolated) EXPECT_TRUE(Answers(server->display()));
}

}  // namespace
