// Captures inside a running process, on the X server of DISPLAY (bench/capture_tools.sh starts
// one with known content and runs this beside the whole-process tools):
// - Floor/band:0 and Floor/band:64: the floor program's grab, encode and write, buffers reused;
// - HostCapture: "/xptfull 0" sent to a running `pictoss chat`, timed from the command line
//   written to the reply read back (the second and later captures: the first is warm-up);
// - WarmSideBySide: the two above in turn, one capture of each an iteration, so that a busy
//   machine slows both alike: their medians and the ratio host / floor;
// - WaitCpu: the host's CPU time during the wait of "/xptfull 3" as a share of the wall time
//   of the wait (a capture without delay is subtracted).
// The host program is found at $PICTOSS_HOST, else beside this program (../host/pictoss).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/floor.h"
#include "tests/host_harness.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path HostPath() {
  if (const char* p = getenv("PICTOSS_HOST")) return p;
  return fs::canonical("/proc/self/exe").parent_path().parent_path() / "host" / "pictoss";
}

fs::path OutputDir() {
  static harness::TempDir dir;
  return dir.path();
}

void Floor(benchmark::State& state) {
  floorbench::FloorOptions options;
  options.bandRows = static_cast<int>(state.range(0));
  floorbench::Floor floor(options);
  const std::string out = (OutputDir() / "floor.jpg").string();
  floor.Capture(out);  // first use of the buffers is not what is measured here
  for (auto _ : state) floor.Capture(out);
  state.counters["width"] = floor.width();
  state.counters["height"] = floor.height();
}
BENCHMARK(Floor)->Arg(0)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

// One `pictoss chat` for all the benchmarks that need a host, writing into its own temp folder.
class Host {
 public:
  Host() : tmp_("TMPDIR", OutputDir().string()), child_({HostPath().string(), "chat"}) {}

  // Sends one command and waits for the host's report of the file it sent; returns that line.
  std::string Send(const std::string& line) {
    child_.WriteLine(line);
    for (;;) {
      auto reply = child_.ReadLine(std::chrono::seconds(60));
      if (!reply) throw std::runtime_error("the host did not answer: " + child_.err());
      if (reply->starts_with("sent file ")) return *reply;
      if (reply->starts_with("error")) throw std::runtime_error("the host failed: " + *reply);
    }
  }

  // The CPU time the host has used so far: /proc/<pid>/schedstat counts it in nanoseconds
  // (stat only in clock ticks of 10 ms, too coarse for a wait that costs a few milliseconds).
  double CpuSeconds() const {
    FILE* f = std::fopen(("/proc/" + std::to_string(child_.pid()) + "/schedstat").c_str(), "r");
    if (!f) throw std::runtime_error("no /proc/<pid>/schedstat");
    unsigned long long ns = 0;
    int n = std::fscanf(f, "%llu", &ns);
    std::fclose(f);
    if (n != 1) throw std::runtime_error("unreadable schedstat");
    return double(ns) / 1e9;
  }

 private:
  harness::ScopedEnv tmp_;
  harness::Child child_;
};

Host& TheHost() {
  static Host host;
  return host;
}

void HostCapture(benchmark::State& state) {
  Host& host = TheHost();
  host.Send("/xptfull 0");
  for (auto _ : state) host.Send("/xptfull 0");
}
BENCHMARK(HostCapture)->Unit(benchmark::kMillisecond)->UseRealTime();

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void WarmSideBySide(benchmark::State& state) {
  floorbench::Floor floor(floorbench::FloorOptions{});
  Host& host = TheHost();
  const std::string out = (OutputDir() / "floor.jpg").string();
  floor.Capture(out);
  host.Send("/xptfull 0");
  std::vector<double> floorMs, hostMs;
  for (auto _ : state) {
    auto t0 = Clock::now();
    floor.Capture(out);
    auto t1 = Clock::now();
    host.Send("/xptfull 0");
    auto t2 = Clock::now();
    floorMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    hostMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  state.counters["floor_ms"] = Median(floorMs);
  state.counters["host_ms"] = Median(hostMs);
  state.counters["ratio"] = Median(hostMs) / Median(floorMs);
}
BENCHMARK(WarmSideBySide)->Iterations(60)->Unit(benchmark::kMillisecond);

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void WaitCpu(benchmark::State& state) {
  Host& host = TheHost();
  double waitCpu = 0, waitWall = 0;
  for (auto _ : state) {
    double c0 = host.CpuSeconds();
    auto t0 = Clock::now();
    host.Send("/xptfull 0");
    double c1 = host.CpuSeconds();
    auto t1 = Clock::now();
    host.Send("/xptfull 3");
    double c2 = host.CpuSeconds();
    auto t2 = Clock::now();
    waitCpu += (c2 - c1) - (c1 - c0);
    waitWall += Seconds(t2 - t1) - Seconds(t1 - t0);
    state.SetIterationTime(Seconds(t2 - t1));
  }
  state.counters["wait_cpu_ms"] = 1000 * waitCpu;
  state.counters["wait_wall_ms"] = 1000 * waitWall;
  state.counters["cpu_share_percent"] = 100 * waitCpu / waitWall;
}
BENCHMARK(WaitCpu)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
