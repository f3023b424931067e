#include "platform/base/parallel.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace platform {
namespace {

// The threads that ran the pieces, and how often each piece ran.
struct Runs {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::vector<int> counts;

  explicit Runs(int count) : counts(static_cast<std::size_t>(count), 0) {}
  bool Note(int index) {
    std::lock_guard lock(mutex);
    threads.insert(std::this_thread::get_id());
    ++counts[static_cast<std::size_t>(index)];
    return true;
  }
};

// A single piece (a picture of one band) runs on the caller's thread: no thread is started
// for it, however many the picture is worth.
TEST(RunInParallel, OnePieceStartsNoThread) {
  for (int threads : {1, 2, 4}) {
    Runs runs(1);
    EXPECT_TRUE(RunInParallel(1, threads, [&](int i) { return runs.Note(i); }));
    EXPECT_EQ(runs.threads, std::set{std::this_thread::get_id()});
    EXPECT_EQ(runs.counts, std::vector<int>{1});
  }
  EXPECT_TRUE(RunInParallel(0, 4, [](int) { return false; }));
}

TEST(RunInParallel, EveryPieceRunsOnceOnAtMostTheThreadsAsked) {
  for (auto [count, threads] : {std::pair{7, 1}, {7, 2}, {2, 4}, {64, 4}}) {
    Runs runs(count);
    EXPECT_TRUE(RunInParallel(count, threads, [&](int i) { return runs.Note(i); }));
    EXPECT_EQ(runs.counts, std::vector<int>(static_cast<std::size_t>(count), 1));
    EXPECT_LE(runs.threads.size(), static_cast<std::size_t>(std::min(count, threads)));
  }
  std::atomic<int> ran{0};
  EXPECT_FALSE(RunInParallel(5, 2, [&](int i) {
    ++ran;
    return i != 3;
  }));
  EXPECT_EQ(ran, 5);  // a failed piece does not stop the others
}

cpu_set_t Cores() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  EXPECT_EQ(sched_getaffinity(0, sizeof cores, &cores), 0);
  return cores;
}

// A helper runs on the caller's cores less one, the caller's of the moment, so that the two do
// not share a core; the caller's own thread is left as it was.
TEST(RunInParallel, HelpersKeepOffTheCallersCore) {
  const cpu_set_t before = Cores();
  std::latch bothRunning(2);  // the caller cannot take both pieces: each waits for the other
  std::mutex mutex;
  std::map<std::thread::id, cpu_set_t> seen;
  EXPECT_TRUE(RunInParallel(2, 2, [&](int) {
    bothRunning.arrive_and_wait();
    std::lock_guard lock(mutex);
    seen[std::this_thread::get_id()] = Cores();
    return true;
  }));
  const cpu_set_t after = Cores();
  EXPECT_TRUE(CPU_EQUAL(&after, &before));
  ASSERT_EQ(seen.size(), 2u);
  ASSERT_TRUE(seen.contains(std::this_thread::get_id()));
  for (auto& [thread, cores] : seen) {
    if (thread == std::this_thread::get_id()) continue;
    cpu_set_t within;
    CPU_AND(&within, &cores, &before);
    EXPECT_TRUE(CPU_EQUAL(&within, &cores)) << "a core the caller may not use";
    const int expected = CPU_COUNT(&before) > 1 ? CPU_COUNT(&before) - 1 : CPU_COUNT(&before);
    EXPECT_EQ(CPU_COUNT(&cores), expected);
  }
}

TEST(ThreadsWorthFor, SmallPicturesGetOneThread) {
  EXPECT_EQ(ThreadsWorthFor(0), 1);
  EXPECT_EQ(ThreadsWorthFor(256 * 1024 - 1), 1);
  const int large = ThreadsWorthFor(3840 * 2160);
  EXPECT_GE(large, 1);
  EXPECT_LE(large, 4);
}

}  // namespace
}  // namespace platform
