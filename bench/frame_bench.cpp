// Fresh frames of the screen's size, mapped three ways and written once through, as a capture
// writes its DIB section: small pages faulted in one by one, small pages populated by mmap
// (MAP_POPULATE), and huge pages (MADV_HUGEPAGE on a 2 MiB-aligned mapping of whole huge pages,
// as platform/gdi/bitmap.cpp maps a frame). Reports CPU time (the faults are the kernel's work)
// and faults per frame. Huge pages need transparent huge pages at "madvise" or "always".
//   bench/frame_bench --benchmark_filter=Frame
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <cstddef>
#include <cstdint>

namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;

enum Way { kSmallPages, kPopulated, kHugePages };

long MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

void Frame(benchmark::State& state) {
  const auto way = static_cast<Way>(state.range(0));
  const std::size_t bytes = static_cast<std::size_t>(state.range(1)) * state.range(2) * 3;
  const std::size_t length =
      way == kHugePages ? (bytes + kHuge - 1) & ~(kHuge - 1) : (bytes + 4095) & ~std::size_t{4095};
  long faults = 0;
  for (auto _ : state) {
    const long before = MinorFaults();
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (way == kPopulated ? MAP_POPULATE : 0);
    const std::size_t asked = way == kHugePages ? length + kHuge : length;
    auto* m =
        static_cast<std::uint8_t*>(mmap(nullptr, asked, PROT_READ | PROT_WRITE, flags, -1, 0));
    if (m == MAP_FAILED) {
      state.SkipWithError("mmap failed");
      break;
    }
    std::uint8_t* frame = m;
    if (way == kHugePages) {
      frame = reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(m) + kHuge - 1) &
                                              ~(kHuge - 1));
      if (frame > m) munmap(m, static_cast<std::size_t>(frame - m));
      munmap(frame + length, asked - length - static_cast<std::size_t>(frame - m));
      madvise(frame, length, MADV_HUGEPAGE);
    }
    for (std::size_t at = 0; at < bytes; at += 64) frame[at] = static_cast<std::uint8_t>(at);
    benchmark::DoNotOptimize(frame);
    munmap(frame, length);
    faults += MinorFaults() - before;
  }
  state.counters["faults"] =
      benchmark::Counter(static_cast<double>(faults), benchmark::Counter::kAvgIterations);
}
BENCHMARK(Frame)
    ->ArgNames({"way", "w", "h"})
    ->ArgsProduct({{kSmallPages, kPopulated, kHugePages}, {1920}, {1080}})
    ->Args({kSmallPages, 3840, 2160})
    ->Args({kPopulated, 3840, 2160})
    ->Args({kHugePages, 3840, 2160})
    ->Unit(benchmark::kMicrosecond)
    ->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
