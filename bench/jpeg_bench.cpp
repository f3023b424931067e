// WriteJpegFile of a 1920 x 1080 screen-like picture, against the least that any writer must do
// with the same encoder: tjCompress2 on the same pixels (same pitch, flags, subsampling and
// quality) and writing the bytes to the file. The difference is the writer's own work: the
// encoder created per call, the temp file, its attributes and the rename.
//
//   build-*/bench/jpeg_bench --benchmark_repetitions=15 --benchmark_enable_random_interleaving
//
// Bytes/s counts the picture's pixel bytes (3 a pixel); FileBytes is the size of the JPEG.
// TjCompress2OnEachCore/N runs N of the encodes at once, one a thread, each on pixels of its own:
// its time per encode against /1's shows how far the machine's cores really run side by side on
// this work (1.0: fully; 2.0: not at all), which bounds what encoding in bands on several cores
// can gain.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "imaging/dib_section.h"
#include "imaging/jpeg_writer.h"
#include "platform/base/text.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kQuality = 90;

// A desktop: a flat background with a soft gradient, a taskbar, windows with title bars, and
// lines of "text" (small dark glyph blocks on white), which is what makes a screenshot's JPEG
// large.
void PaintScreen(BYTE* bits, int stride) {
  auto put = [&](int x, int y, int b, int g, int r) {
    BYTE* p = bits + static_cast<std::size_t>(kHeight - 1 - y) * stride + 3 * x;
    p[0] = static_cast<BYTE>(b), p[1] = static_cast<BYTE>(g), p[2] = static_cast<BYTE>(r);
  };
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) put(x, y, 120 + y / 10, 80 + x / 24, 40);
  }
  for (int y = kHeight - 40; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) put(x, y, 48, 40, 32);
  }
  unsigned seed = 1;
  auto next = [&] { return (seed = seed * 1103515245 + 12345) >> 16; };
  const int windows[3][4] = {{100, 80, 900, 700}, {700, 200, 1700, 950}, {1200, 60, 1850, 500}};
  for (const auto& w : windows) {
    for (int y = w[1]; y < w[3]; ++y) {
      for (int x = w[0]; x < w[2]; ++x) {
        if (y < w[1] + 30) {
          put(x, y, 200, 120, 60);
        } else {
          const bool glyphRow = (y - w[1] - 30) % 18 < 12;
          const bool ink = glyphRow && (x / 7 + y / 18) % 11 != 0 && next() % 3 == 0;
          ink ? put(x, y, 30, 30, 30) : put(x, y, 255, 255, 255);
        }
      }
    }
  }
}

platform::Ref<pictoss::cDIBSection> Screen() {
  static platform::Ref<pictoss::cDIBSection> dib = [] {
    auto d = platform::MakeRef<pictoss::cDIBSection>();
    if (!d->Create(kWidth, kHeight)) std::abort();
    PaintScreen(reinterpret_cast<BYTE*>(d->DIBSectionBitsPtr()), d->BytesPerScanLine());
    return d;
  }();
  return dib;
}

std::string TargetPath(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + name;
}

void BM_WriteJpegFile(benchmark::State& state) {
  const auto dib = Screen();
  const std::string path = TargetPath("pictoss-bench-writer.jpg");
  const std::u16string widePath = platform::FromAnsi(path);
  for (auto _ : state) pictoss::WriteJpegFile(*dib, widePath, kQuality);
  state.SetBytesProcessed(state.iterations() * kWidth * kHeight * 3);
  struct stat st {};
  stat(path.c_str(), &st);
  state.counters["FileBytes"] = static_cast<double>(st.st_size);
  std::remove(path.c_str());
}

void BM_TjCompress2AndWrite(benchmark::State& state) {
  const auto dib = Screen();
  const std::string path = TargetPath("pictoss-bench-direct.jpg");
  tjhandle handle = tjInitCompress();
  unsigned long size = 0;
  for (auto _ : state) {
    unsigned char* jpeg = nullptr;
    size = 0;
    if (tjCompress2(handle, reinterpret_cast<const unsigned char*>(dib->DIBSectionBitsPtr()),
                    kWidth, dib->BytesPerScanLine(), kHeight, TJPF_BGR, &jpeg, &size, TJSAMP_420,
                    kQuality, TJFLAG_BOTTOMUP) != 0) {
      state.SkipWithError(tjGetErrorStr2(handle));
      break;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, jpeg, size) != static_cast<ssize_t>(size)) {
      state.SkipWithError("cannot write the file");
    }
    if (fd >= 0) close(fd);
    tjFree(jpeg);
  }
  tjDestroy(handle);
  state.SetBytesProcessed(state.iterations() * kWidth * kHeight * 3);
  state.counters["FileBytes"] = static_cast<double>(size);
  std::remove(path.c_str());
}

// Each thread encodes its own copy of the screen with its own handle ten times, all threads
// starting together: an iteration's time is the slowest thread's ten encodes.
void BM_TjCompress2OnEachCore(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  constexpr int kRounds = 10;
  const auto dib = Screen();
  const std::size_t bytes = static_cast<std::size_t>(dib->BytesPerScanLine()) * kHeight;
  const auto* screen = reinterpret_cast<const unsigned char*>(dib->DIBSectionBitsPtr());
  std::vector<std::vector<unsigned char>> copies(
      threads, std::vector<unsigned char>(screen, screen + bytes));
  auto encode = [&](int t) {
    tjhandle handle = tjInitCompress();
    for (int r = 0; r < kRounds; ++r) {
      unsigned char* jpeg = nullptr;
      unsigned long size = 0;
      tjCompress2(handle, copies[t].data(), kWidth, dib->BytesPerScanLine(), kHeight, TJPF_BGR,
                  &jpeg, &size, TJSAMP_420, kQuality, TJFLAG_BOTTOMUP);
      tjFree(jpeg);
    }
    tjDestroy(handle);
  };
  for (auto _ : state) {
    std::vector<std::thread> others;
    for (int t = 1; t < threads; ++t) others.emplace_back(encode, t);
    encode(0);
    for (std::thread& other : others) other.join();
  }
  state.counters["encodes_per_thread"] = kRounds;
}

BENCHMARK(BM_WriteJpegFile)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_TjCompress2AndWrite)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_TjCompress2OnEachCore)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
