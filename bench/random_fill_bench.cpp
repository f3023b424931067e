// RandomiseBits on a full-HD picture, grey and colour, beside a memset of the same pixel
// memory and OpenCV's cv::RNG::fill of a 1920x1080x3 buffer in the same run; the portable
// and AVX2 kernels show what the widest one gains. Runs without a display.
#include <benchmark/benchmark.h>

#include <cstring>

#ifdef PICTOSS_HAVE_OPENCV
#include <opencv2/core.hpp>
#endif

#include "imaging/dib_section.h"
#include "imaging/noise.h"

namespace {

constexpr LONG kWidth = 1920;
constexpr LONG kHeight = 1080;

pictoss::cDIBSection& ThePicture() {
  static platform::Ref<pictoss::cDIBSection> dib = [] {
    auto d = platform::MakeRef<pictoss::cDIBSection>();
    if (!d->Create(kWidth, kHeight)) std::abort();
    return d;
  }();
  return *dib;
}

std::size_t PictureBytes() {
  return std::size_t(ThePicture().BytesPerScanLine()) * kHeight;
}

void SetRate(benchmark::State& state) {
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(PictureBytes()));
}

void BM_RandomiseBits(benchmark::State& state, bool gray) {
  auto& dib = ThePicture();
  for (auto _ : state) {
    dib.RandomiseBits(gray);
    benchmark::ClobberMemory();
  }
  SetRate(state);
}
BENCHMARK_CAPTURE(BM_RandomiseBits, grey, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RandomiseBits, colour, false)->Unit(benchmark::kMicrosecond);

void BM_FillNoise(benchmark::State& state, bool gray, pictoss::PixelKernel kernel) {
  auto& dib = ThePicture();
  const pictoss::PixelGrid grid{reinterpret_cast<BYTE*>(dib.DIBSectionBitsPtr()),
                                dib.BytesPerScanLine(), kWidth, kHeight};
  for (auto _ : state) {
    pictoss::FillNoise(grid, gray, 12345, kernel);
    benchmark::ClobberMemory();
  }
  SetRate(state);
}
BENCHMARK_CAPTURE(BM_FillNoise, grey_portable, true, pictoss::PixelKernel::kPortable)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FillNoise, colour_portable, false, pictoss::PixelKernel::kPortable)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FillNoise, grey_avx2, true, pictoss::PixelKernel::kAvx2)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FillNoise, colour_avx2, false, pictoss::PixelKernel::kAvx2)
    ->Unit(benchmark::kMicrosecond);

void BM_MemsetOfThePicture(benchmark::State& state) {
  auto* bits = reinterpret_cast<BYTE*>(ThePicture().DIBSectionBitsPtr());
  int value = 0;
  for (auto _ : state) {
    std::memset(bits, ++value & 0xFF, PictureBytes());
    benchmark::ClobberMemory();
  }
  SetRate(state);
}
BENCHMARK(BM_MemsetOfThePicture)->Unit(benchmark::kMicrosecond);

#ifdef PICTOSS_HAVE_OPENCV
// The same number of bytes filled with uniform values 0..255 by OpenCV's generator.
void BM_OpenCvRngFill(benchmark::State& state) {
  cv::Mat picture(kHeight, kWidth, CV_8UC3);
  cv::RNG rng(12345);
  for (auto _ : state) {
    rng.fill(picture, cv::RNG::UNIFORM, 0, 256);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kWidth * kHeight * 3);
}
BENCHMARK(BM_OpenCvRngFill)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

BENCHMARK_MAIN();
