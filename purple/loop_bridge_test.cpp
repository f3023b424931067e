#include "purple/loop_bridge.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/user/messageloop.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Counts the ticks of a GLib timer on the default context while it lives.
struct GLibTicks {
  explicit GLibTicks(guint intervalMs) : id(g_timeout_add(intervalMs, Tick, this)) {}
  ~GLibTicks() { g_source_remove(id); }
  static gboolean Tick(gpointer self) {
    ++static_cast<GLibTicks*>(self)->count;
    return G_SOURCE_CONTINUE;
  }
  int count = 0;
  guint id;
};

// Runs the GLib main context alone until done() or the timeout.
bool IterateUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done() && Clock::now() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
    usleep(1000);
  }
  return done();
}

TEST(LoopBridge, BetweenCallsTheGLibLoopRunsThePlatformsMessages) {
  pictoss_purple::LoopBridge bridge(g_main_context_default());
  bool ran = false;
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);
    platform::PostThreadMessage([&] { ran = true; });
  });
  // Blocking iterations, woken by the platform's message (or, when it is not seen, by a slow
  // timer, so that the test fails instead of waiting for ever).
  GLibTicks wake(100);
  const auto deadline = Clock::now() + 5s;
  while (!ran && Clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
  poster.join();
  EXPECT_TRUE(ran);
}

TEST(LoopBridge, DuringACallThePlatformsLoopsRunGLib) {
  pictoss_purple::LoopBridge bridge(g_main_context_default());
  // The two loops of a call: a delay that dispatches pending messages without waiting, and a
  // modal window's loop that waits for messages.
  const struct {
    const char* name;
    void (*run)(const std::function<bool()>& done);
  } loops[] = {
      {"busy",
       [](const std::function<bool()>& done) {
         const auto deadline = Clock::now() + 5s;
         while (!done() && Clock::now() < deadline) platform::DoEvents();
       }},
      {"modal", [](const std::function<bool()>& done) { platform::RunMessageLoopUntil(done); }},
  };
  for (const auto& loop : loops) {
    GLibTicks ticks(20);
    bridge.BeginCall();
    const auto start = Clock::now();
    loop.run([&] { return ticks.count >= 10 || Clock::now() - start > 5s; });
    const auto took = Clock::now() - start;
    bridge.EndCall();
    EXPECT_GE(ticks.count, 10) << loop.name;
    // Ten 20-ms ticks: late ticks would show as a much longer run.
    EXPECT_LT(took, 1s) << loop.name;
  }
  // Afterwards GLib runs on its own again.
  GLibTicks after(10);
  EXPECT_TRUE(IterateUntil([&] { return after.count >= 2; }, 2s));
}

}  // namespace
