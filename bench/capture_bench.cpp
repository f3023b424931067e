// GrabFullScreen of a 1920 × 1080 × 24 screen against a bare XShmGetImage of the same screen
// into a full-frame segment attached beforehand, in the same run on the same private X server;
// and the peak memory of repeated captures above the process's baseline, in frames.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "capture/module1.h"
#include "platform/gdiobj.h"
#include "tests/support/xvfb.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr double kFrameBytes = 4.0 * kWidth * kHeight;

Display* bench_display = nullptr;

// Fills the root window with a photo-like gradient so no run is helped by a flat screen.
void PaintScreen(Display* d) {
  Visual* v = DefaultVisual(d, DefaultScreen(d));
  XImage* image = XCreateImage(d, v, 24, ZPixmap, 0, nullptr, kWidth, kHeight, 32, 0);
  image->data =
      static_cast<char*>(std::malloc(static_cast<std::size_t>(image->bytes_per_line) * kHeight));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      XPutPixel(image, x, y,
                ((x * 255 / kWidth) << 16) | ((y * 255 / kHeight) << 8) | ((x ^ y) & 0xFF));
  GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
  XPutImage(d, DefaultRootWindow(d), gc, image, 0, 0, 0, 0, kWidth, kHeight);
  XFreeGC(d, gc);
  XDestroyImage(image);
  XSync(d, False);
}

long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  return -1;
}

void BM_GrabFullScreen(benchmark::State& state) {
  for (auto _ : state) {
    auto picture = pictoss::GrabFullScreen();
    benchmark::DoNotOptimize(picture.get());
  }
}
BENCHMARK(BM_GrabFullScreen)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareXShmGetImage(benchmark::State& state) {
  Display* d = bench_display;
  XShmSegmentInfo segment{};
  XImage* image = XShmCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, nullptr,
                                  &segment, kWidth, kHeight);
  segment.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image->bytes_per_line) * kHeight,
                         IPC_CREAT | 0600);
  segment.shmaddr = image->data = static_cast<char*>(shmat(segment.shmid, nullptr, 0));
  segment.readOnly = False;
  XShmAttach(d, &segment);
  XSync(d, False);
  shmctl(segment.shmid, IPC_RMID, nullptr);
  for (auto _ : state) {
    XShmGetImage(d, DefaultRootWindow(d), image, 0, 0, AllPlanes);
    benchmark::DoNotOptimize(image->data);
  }
  XShmDetach(d, &segment);
  XDestroyImage(image);
  shmdt(segment.shmaddr);
}
BENCHMARK(BM_BareXShmGetImage)->Unit(benchmark::kMillisecond)->UseRealTime();

// Peak resident memory of 20 captures, in frames above what the process used before them; the
// previous picture is released only after the next one is made, as the holder does.
void BM_PeakMemoryOfCaptures(benchmark::State& state) {
  double frames = 0;
  for (auto _ : state) {
    pictoss::main().Picture1.SetPicture(nullptr);
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to the current size
    long baseline = StatusKb("VmRSS:");
    for (int i = 0; i < 20; ++i) pictoss::main().Picture1.SetPicture(pictoss::GrabFullScreen());
    long peak = StatusKb("VmHWM:");
    frames = (peak - baseline) * 1024.0 / kFrameBytes;
  }
  pictoss::main().Picture1.SetPicture(nullptr);
  state.counters["peak_frames_above_baseline"] = frames;
}
BENCHMARK(BM_PeakMemoryOfCaptures)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  testsupport::XvfbServer server(kWidth, kHeight, 24);
  bench_display = XOpenDisplay(nullptr);
  if (!bench_display) return 1;
  PaintScreen(bench_display);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  XCloseDisplay(bench_display);
  return 0;
}
