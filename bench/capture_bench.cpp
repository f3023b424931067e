// GrabFullScreen of a 1920 × 1080 × 24 screen against a bare XShmGetImage of the same screen
// into a full-frame segment attached beforehand, in the same run on the same private X server;
// and the peak memory of repeated captures above the process's baseline, in frames.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "capture/screen_capture.h"
#include "platform/gdi/bitmap.h"
#include "platform/user/window.h"
#include "tests/support/xvfb.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr double kFrameBytes = 4.0 * kWidth * kHeight;

Display* bench_display = nullptr;
long baseline_kb = 0;  // resident memory before the first capture

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

// Reads one byte a page of the bitmap, as the conversion into the DIB section would, so that
// memory the server filled counts in this process's resident size.
void Touch(HBITMAP bitmap) {
  auto* b = platform::FindGdi<platform::BitmapObject>(bitmap);
  std::size_t bytes = static_cast<std::size_t>(b->stride()) * b->height();
  unsigned sum = 0;
  for (std::size_t i = 0; i < bytes; i += 4096) sum += b->bits()[i];
  benchmark::DoNotOptimize(sum);
}

// Peak resident memory in frames above the process's baseline: 20 captures, each picture
// released before the next (holder false) or, as the holder does, only after the next one is
// made (holder true). Runs first, before anything else touches memory.
void BM_PeakMemory(benchmark::State& state) {
  bool holder = state.range(0) != 0;
  for (auto _ : state) {
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    for (int i = 0; i < 20; ++i) {
      auto picture = pictoss::GrabFullScreen();
      Touch(picture->Handle());
      if (holder) pictoss::main().Picture1.SetPicture(picture);
    }
    pictoss::main().Picture1.SetPicture(nullptr);
  }
  state.counters["frames_above_baseline"] =
      (StatusKb("VmHWM:") - baseline_kb) * 1024.0 / kFrameBytes;
}
BENCHMARK(BM_PeakMemory)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_GrabFullScreen(benchmark::State& state) {
  for (auto _ : state) {
    auto picture = pictoss::GrabFullScreen();
    benchmark::DoNotOptimize(picture.get());
  }
}
BENCHMARK(BM_GrabFullScreen)->Unit(benchmark::kMillisecond)->UseRealTime();

// A full-frame image in a shared segment attached beforehand: the least a grab can cost.
struct BareGrab {
  BareGrab() {
    Display* d = bench_display;
    image = XShmCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, nullptr, &segment,
                            kWidth, kHeight);
    segment.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image->bytes_per_line) * kHeight,
                           IPC_CREAT | 0600);
    segment.shmaddr = image->data = static_cast<char*>(shmat(segment.shmid, nullptr, 0));
    segment.readOnly = False;
    XShmAttach(d, &segment);
    XSync(d, False);
    shmctl(segment.shmid, IPC_RMID, nullptr);
  }
  ~BareGrab() {
    XShmDetach(bench_display, &segment);
    XDestroyImage(image);
    shmdt(segment.shmaddr);
  }
  void Grab() {
    XShmGetImage(bench_display, DefaultRootWindow(bench_display), image, 0, 0, AllPlanes);
  }
  XShmSegmentInfo segment{};
  XImage* image = nullptr;
};

void BM_BareXShmGetImage(benchmark::State& state) {
  BareGrab bare;
  for (auto _ : state) {
    bare.Grab();
    benchmark::DoNotOptimize(bare.image->data);
  }
}
BENCHMARK(BM_BareXShmGetImage)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both, alternating in one loop, so that a busy machine slows both alike: the medians of each
// and their ratio.
void BM_SideBySide(benchmark::State& state) {
  BareGrab bare;
  std::vector<double> ours, theirs;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    auto t0 = Clock::now();
    bare.Grab();
    auto t1 = Clock::now();
    { auto picture = pictoss::GrabFullScreen(); }
    auto t2 = Clock::now();
    theirs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    ours.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  auto median = [](std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  double a = median(ours), b = median(theirs);
  state.counters["grab_ms"] = a;
  state.counters["bare_ms"] = b;
  state.counters["ratio"] = a / b;
}
BENCHMARK(BM_SideBySide)->Unit(benchmark::kMillisecond)->Iterations(400);

}  // namespace

int main(int argc, char** argv) {
  testsupport::XvfbServer server(kWidth, kHeight, 24);
  bench_display = XOpenDisplay(nullptr);
  if (!bench_display) return 1;
  PaintScreen(bench_display);
  GetDesktopWindow();  // the connection is part of the baseline, the captures are not
  baseline_kb = StatusKb("VmRSS:");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  XCloseDisplay(bench_display);
  return 0;
}
