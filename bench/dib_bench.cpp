// CreateFromPicture of a full-HD 32-bit picture (what the capture hands over) against a plain
// memcpy of the same picture's bytes, in the same run. Runs without a display: the screen's
// format is then 32 bits a pixel, as on a 24-bit X server.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "imaging/dib_section.h"
#include "platform/gdi/bitmap.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// A 32-bit picture with varied pixels, and its bitmap's memory.
struct Capture {
  Capture() {
    HDC screen = GetDC(0);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, kWidth, kHeight);
    ReleaseDC(0, screen);
    auto* object = platform::FindGdi<platform::BitmapObject>(bitmap);
    if (object == nullptr || object->format().bits != 32) std::abort();
    bits = object->bits();
    bytes = static_cast<std::size_t>(object->stride()) * kHeight;
    for (std::size_t i = 0; i < bytes; ++i) bits[i] = static_cast<std::uint8_t>(i * 13 + i / 4099);
    picture = OleCreatePictureIndirect(PICTDESC{sizeof(PICTDESC), PICTYPE_BITMAP, bitmap, 0}, true);
  }
  platform::Ref<Picture> picture;
  std::uint8_t* bits = nullptr;
  std::size_t bytes = 0;
};

Capture& TheCapture() {
  static Capture capture;
  return capture;
}

void BM_CreateFromPicture(benchmark::State& state) {
  Capture& capture = TheCapture();
  auto dib = platform::MakeRef<pictoss::cDIBSection>();
  for (auto _ : state) {
    dib->CreateFromPicture(capture.picture.get());
    benchmark::DoNotOptimize(dib->DIBSectionBitsPtr());
  }
  if (dib->Width() != kWidth || dib->Height() != kHeight) state.SkipWithError("no picture");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * capture.bytes));
}
BENCHMARK(BM_CreateFromPicture)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemcpyOfThePicture(benchmark::State& state) {
  Capture& capture = TheCapture();
  std::vector<std::uint8_t> copy(capture.bytes);
  for (auto _ : state) {
    std::memcpy(copy.data(), capture.bits, capture.bytes);
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * capture.bytes));
}
BENCHMARK(BM_MemcpyOfThePicture)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  unsetenv("DISPLAY");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
