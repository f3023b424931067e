// ReadKeyValue of an existing value with a warm store: what every capture command pays twice.
// Also the platform calls it is made of, and a write, for comparison. The store lives in a
// private folder under /tmp for the run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registry/registry.h"
#include "product/product.h"
#include "settings/key_path.h"

namespace {

class PrivateStore {
 public:
  PrivateStore() {
    char pattern[] = "/tmp/pictoss-bench-XXXXXX";
    folder_ = mkdtemp(pattern);
    setenv("PICTOSS_PREFIX", folder_.c_str(), 1);
    HKEY key = 0;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, product::kSettingsSubKey.a, 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &key, nullptr);
    RegCloseKey(key);
    pictoss::WriteKeyValue(product::kSettingsKeyPath.wide(), product::kTimeDelayValue.wide(), u"3");
    pictoss::WriteKeyValue(product::kSettingsKeyPath.wide(), product::kFileNameValue.wide(),
                           u"My_Screenshot.jpg");
  }
  ~PrivateStore() {
    unsetenv("PICTOSS_PREFIX");
    std::filesystem::remove_all(folder_);
  }

 private:
  std::string folder_;
};

void BM_ReadKeyValue(benchmark::State& state) {
  PrivateStore store;
  if (pictoss::ReadKeyValue(product::kSettingsKeyPath.wide(), product::kFileNameValue.wide()) !=
      u"My_Screenshot.jpg") {
    state.SkipWithError("the value did not read back");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        pictoss::ReadKeyValue(product::kSettingsKeyPath.wide(), product::kFileNameValue.wide()));
  }
}
BENCHMARK(BM_ReadKeyValue)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_OpenQueryClose(benchmark::State& state) {
  PrivateStore store;
  for (auto _ : state) {
    HKEY key = 0;
    char data[255];
    DWORD size = sizeof data;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, product::kSettingsSubKey.a, 0, KEY_READ, &key);
    RegQueryValueExA(key, "FileName", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    benchmark::DoNotOptimize(data);
  }
}
BENCHMARK(BM_OpenQueryClose)->Repetitions(9)->ReportAggregatesOnly(true);

// A write waits for the journal to reach the disk (synchronous=FULL), so it costs far more.
void BM_WriteKeyValue(benchmark::State& state) {
  PrivateStore store;
  for (auto _ : state) {
    pictoss::WriteKeyValue(product::kSettingsKeyPath.wide(), product::kTimeDelayValue.wide(), u"5");
  }
}
BENCHMARK(BM_WriteKeyValue)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
