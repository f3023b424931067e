// floor_tool: grabs the X screen and writes it as a JPEG the cheapest way we know (see floor.h),
// as the yardstick for the capture pipeline and the screenshot tools.
//
//   floor_tool [--band ROWS] [--repeat N] [--quality Q] [--444] OUT.jpg
//
// One capture by default, as a one-shot process. --band grabs ROWS rows at a time through one
// small segment. --repeat runs N captures in this process with the same buffers and prints each
// one's times and the median of the second and later ones (the "running host" case).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/floor.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: floor_tool [--band ROWS] [--repeat N] [--quality Q] [--444] OUT\n");
  return 2;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int Repeat(floorbench::Floor& floor, const std::string& out, int repeat) {
  std::vector<double> grab, encode, write, total;
  for (int i = 0; i < repeat; ++i) {
    floorbench::FloorTimes t = floor.Capture(out);
    std::printf("capture %d: grab %.3f ms, encode %.3f ms, write %.3f ms, total %.3f ms\n", i + 1,
                t.grabMs, t.encodeMs, t.writeMs, t.totalMs());
    if (i == 0) continue;
    grab.push_back(t.grabMs);
    encode.push_back(t.encodeMs);
    write.push_back(t.writeMs);
    total.push_back(t.totalMs());
  }
  if (!total.empty())
    std::printf(
        "median of captures 2-%d: grab %.3f ms, encode %.3f ms, write %.3f ms, total %.3f ms\n",
        repeat, Median(grab), Median(encode), Median(write), Median(total));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  floorbench::FloorOptions options;
  int repeat = 0;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--band" && hasValue)
      options.bandRows = std::atoi(argv[++i]);
    else if (a == "--repeat" && hasValue)
      repeat = std::atoi(argv[++i]);
    else if (a == "--quality" && hasValue)
      options.quality = std::atoi(argv[++i]);
    else if (a == "--444")
      options.subsampling = TJSAMP_444;
    else if (out.empty() && a.rfind("--", 0) != 0)
      out = a;
    else
      return Usage();
  }
  if (out.empty() || options.bandRows < 0) return Usage();
  try {
    floorbench::Floor floor(options);
    if (repeat > 0) return Repeat(floor, out, repeat);
    floor.Capture(out);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "floor_tool: %s\n", e.what());
    return 1;
  }
  return 0;
}
