#include "platform/base/parallel.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {

int ThreadsWorthFor(std::int64_t pixels) {
  constexpr std::int64_t kPixelsForThreads = 256 * 1024;
  if (pixels < kPixelsForThreads) return 1;
  static const unsigned cores = std::thread::hardware_concurrency();  // read from /sys once
  return static_cast<int>(std::clamp(cores, 1u, 4u));
}

bool RunInParallel(int count, int threads, const std::function<bool(int)>& work) {
  std::atomic<int> next{0};
  std::atomic<bool> ok{true};
  auto run = [&] {
    for (int i; (i = next.fetch_add(1)) < count;)
      if (!work(i)) ok = false;
  };
  std::vector<std::thread> helpers;
  for (int t = 1; t < std::min(count, threads); ++t) {
    try {
      helpers.emplace_back(run);
    } catch (const std::system_error&) {
      break;  // no thread to be had: this one does the rest
    }
  }
  run();
  for (std::thread& helper : helpers) helper.join();
  return ok;
}

}  // namespace platform
