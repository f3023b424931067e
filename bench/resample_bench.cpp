// Resample of a full-HD picture down to 1280 x 720 and up to 3840 x 2160, in output megapixels
// a second, beside OpenCV's cv::resize (INTER_LINEAR, same picture, same sizes; its own
// thread count and one thread) and beside the step-by-step method that defines the bytes. The
// resampled bytes are checked against the step-by-step method before timing. Runs without a
// display.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/bilinear.h"
#include "imaging/dib_section.h"
#include "imaging/resample_reference.h"
#include "platform/base/row_bytes.h"

#ifdef PICTOSS_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr LONG kWidth = 1920;
constexpr LONG kHeight = 1080;
constexpr std::u16string_view kSource = u"Vorlick.cDIBSection";

// A screenshot-like picture: smooth gradients with noise over them.
pictoss::cDIBSection& ThePicture() {
  static platform::Ref<pictoss::cDIBSection> dib = [] {
    auto d = platform::MakeRef<pictoss::cDIBSection>();
    if (!d->Create(kWidth, kHeight)) std::abort();
    auto* bits = reinterpret_cast<BYTE*>(d->DIBSectionBitsPtr());
    std::mt19937 rng(1);
    for (LONG y = 0; y < kHeight; ++y)
      for (LONG x = 0; x < kWidth * 3; ++x)
        bits[std::size_t(y) * d->BytesPerScanLine() + x] =
            BYTE((x / 3 + y + x % 3 * 60) / 8 + rng() % 24);
    return d;
  }();
  return *dib;
}

pictoss::ConstPixelGrid SourceGrid() {
  auto& d = ThePicture();
  return {reinterpret_cast<const BYTE*>(d.DIBSectionBitsPtr()), d.BytesPerScanLine(), d.Width(),
          d.Height()};
}

struct Target {
  Target(LONG w, LONG h)
      : stride(static_cast<LONG>(platform::DibRowBytes(w))), bytes(std::size_t(stride) * h) {
    grid = {bytes.data(), stride, w, h};
  }
  LONG stride;
  std::vector<BYTE> bytes;
  pictoss::PixelGrid grid{};
};

// The step-by-step method's bytes for a target size, computed once.
const std::vector<BYTE>& ReferenceBytes(LONG w, LONG h) {
  static std::vector<BYTE> small, large;
  std::vector<BYTE>& out = w < kWidth ? small : large;
  if (out.empty()) {
    Target t(w, h);
    pictoss::reference::Interpolate(SourceGrid(), t.grid, kSource);
    out = std::move(t.bytes);
  }
  return out;
}

void SetRate(benchmark::State& state) {
  state.counters["MPix/s"] = benchmark::Counter(double(state.range(0)) * state.range(1) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

// The public operation: a new object each time (its DIB section included).
void BM_Resample(benchmark::State& state) {
  const LONG w = LONG(state.range(0)), h = LONG(state.range(1));
  auto& source = ThePicture();
  {
    auto result = source.Resample(h, w);
    const auto* bits = reinterpret_cast<const BYTE*>(result->DIBSectionBitsPtr());
    const auto& expected = ReferenceBytes(w, h);
    if (std::memcmp(bits, expected.data(), expected.size()) != 0)
      state.SkipWithError("bytes differ from the step-by-step method");
  }
  for (auto _ : state) {
    auto result = source.Resample(h, w);
    benchmark::DoNotOptimize(result->DIBSectionBitsPtr());
  }
  SetRate(state);
}

// The interpolation alone, into memory that stays allocated.
void BM_Interpolate(benchmark::State& state, pictoss::PixelKernel kernel) {
  const LONG w = LONG(state.range(0)), h = LONG(state.range(1));
  Target t(w, h);
  pictoss::BilinearInterpolate(SourceGrid(), t.grid, kSource, kernel);
  if (t.bytes != ReferenceBytes(w, h))
    state.SkipWithError("bytes differ from the step-by-step method");
  for (auto _ : state) {
    pictoss::BilinearInterpolate(SourceGrid(), t.grid, kSource, kernel);
    benchmark::ClobberMemory();
  }
  SetRate(state);
}

void BM_StepByStep(benchmark::State& state) {
  const LONG w = LONG(state.range(0)), h = LONG(state.range(1));
  Target t(w, h);
  for (auto _ : state) {
    pictoss::reference::Interpolate(SourceGrid(), t.grid, kSource);
    benchmark::ClobberMemory();
  }
  SetRate(state);
}

#ifdef PICTOSS_HAVE_OPENCV
void BM_OpenCvResize(benchmark::State& state, int threads) {
  const LONG w = LONG(state.range(0)), h = LONG(state.range(1));
  auto& d = ThePicture();
  const cv::Mat source(kHeight, kWidth, CV_8UC3, reinterpret_cast<void*>(d.DIBSectionBitsPtr()),
                       std::size_t(d.BytesPerScanLine()));
  cv::Mat target(h, w, CV_8UC3);
  const int before = cv::getNumThreads();
  if (threads > 0) cv::setNumThreads(threads);
  for (auto _ : state) {
    cv::resize(source, target, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
    benchmark::ClobberMemory();
  }
  cv::setNumThreads(before);
  state.counters["threads"] = threads > 0 ? threads : before;
  SetRate(state);
}
BENCHMARK_CAPTURE(BM_OpenCvResize, own_threads, 0)
    ->Args({1280, 720})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_OpenCvResize, one_thread, 1)
    ->Args({1280, 720})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

BENCHMARK(BM_Resample)
    ->Args({1280, 720})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Interpolate, best, pictoss::PixelKernel::kBest)
    ->Args({1280, 720})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Interpolate, portable, pictoss::PixelKernel::kPortable)
    ->Args({1280, 720})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_StepByStep)
    ->Args({1280, 720})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
