#include "platform/user/messageloop.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/loop_testing.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe(ends_), 0); }
  ~Pipe() {
    close(ends_[0]);
    close(ends_[1]);
  }
  int readEnd() const { return ends_[0]; }
  void Write() { ASSERT_EQ(write(ends_[1], "x", 1), 1); }
  void ReadOne() {
    char c;
    ASSERT_EQ(read(ends_[0], &c, 1), 1);
  }

 private:
  int ends_[2] = {-1, -1};
};

TEST(MessageLoop, WaitMessageTimesOutWhenNothingIsPending) {
  platform::testing::DrainMessages();
  auto start = Clock::now();
  platform::WaitMessage(60ms);
  EXPECT_GE(Clock::now() - start, 60ms);
  EXPECT_FALSE(platform::DoEvents());
}

TEST(MessageLoop, PostedMessageFromAnotherThreadWakesTheWaitButRunsOnlyInDoEvents) {
  platform::testing::DrainMessages();
  int runs = 0;
  std::thread poster([&] {
    std::this_thread::sleep_for(50ms);
    platform::PostThreadMessage([&] { ++runs; });
  });
  auto start = Clock::now();
  platform::WaitMessage(20s);
  EXPECT_LT(Clock::now() - start, 10s);
  poster.join();
  EXPECT_EQ(runs, 0);  // waiting dispatches nothing
  EXPECT_TRUE(platform::DoEvents());
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(platform::DoEvents());
  EXPECT_EQ(runs, 1);
}

TEST(MessageLoop, MessagesPostedByAMessageRunInOrder) {
  platform::testing::DrainMessages();
  std::string order;
  platform::PostThreadMessage([&] {
    order += 'a';
    platform::PostThreadMessage([&] { order += 'c'; });
  });
  platform::PostThreadMessage([&] { order += 'b'; });
  platform::testing::DrainMessages();
  EXPECT_EQ(order, "abc");
}

TEST(MessageLoop, SourceIsCalledWhenReadableAndNotAfterRemoval) {
  platform::testing::DrainMessages();
  Pipe pipe;
  int calls = 0;
  int id = platform::AddMessageSource(pipe.readEnd(), [&] {
    ++calls;
    pipe.ReadOne();
  });
  ASSERT_NE(id, 0);
  EXPECT_FALSE(platform::DoEvents());
  EXPECT_EQ(calls, 0);

  pipe.Write();
  auto start = Clock::now();
  platform::WaitMessage(20s);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(platform::DoEvents());
  EXPECT_EQ(calls, 1);

  platform::RemoveMessageSource(id);
  platform::RemoveMessageSource(id);  // a stale id is ignored
  pipe.Write();
  platform::DoEvents();
  EXPECT_EQ(calls, 1);
}

TEST(MessageLoop, AddMessageSourceRefusesBadArguments) {
  Pipe pipe;
  EXPECT_EQ(platform::AddMessageSource(-1, [] {}), 0);
  EXPECT_EQ(platform::AddMessageSource(pipe.readEnd(), nullptr), 0);
  int id = platform::AddMessageSource(pipe.readEnd(), [] {});
  ASSERT_NE(id, 0);
  EXPECT_EQ(platform::AddMessageSource(pipe.readEnd(), [] {}), 0);
  platform::RemoveMessageSource(id);
}

TEST(MessageLoop, SourceMayRemoveItselfWhileCalled) {
  platform::testing::DrainMessages();
  Pipe pipe;
  int calls = 0;
  int id = 0;
  id = platform::AddMessageSource(pipe.readEnd(), [&] {
    ++calls;
    platform::RemoveMessageSource(id);
  });
  pipe.Write();
  platform::DoEvents();
  platform::DoEvents();
  EXPECT_EQ(calls, 1);
}

TEST(MessageLoop, RunMessageLoopUntilServicesPostedMessages) {
  bool done = false;
  std::thread poster([&] {
    std::this_thread::sleep_for(50ms);
    platform::PostThreadMessage([&] { done = true; });
  });
  platform::RunMessageLoopUntil([&] { return done; });
  poster.join();
  EXPECT_TRUE(done);
}

}  // namespace
