// ReadKeyValue of an existing value with a warm store: what every capture command pays twice.
// Also the platform calls it is made of, and a write, for comparison. The store lives in a
// private folder under /tmp for the run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/ole/com.h"
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
    const char clsid[] = "{FFFB2456-8ACC-4047-AB4D-235FC58EFF56}";
    RegCreateKeyExA(HKEY_CLASSES_ROOT, "Vorlick.PT\\CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key, nullptr);
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid), sizeof clsid);
    RegCloseKey(key);
  }
  ~PrivateStore() {
    unsetenv("PICTOSS_PREFIX");
    std::filesystem::remove_all(folder_);
  }

  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

// Times call once a first call has given what works() accepts; otherwise says `why` it is not
// timed.
template <class Call, class Works>
void TimeWhenItWorks(benchmark::State& state, Call call, Works works, const char* why) {
  if (!works(call())) {
    state.SkipWithError(why);
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(call());
}

std::optional<std::u16string> ReadFileName() {
  return pictoss::ReadKeyValue(product::kSettingsKeyPath.wide(), product::kFileNameValue.wide());
}

void BM_ReadKeyValue(benchmark::State& state) {
  PrivateStore store;
  TimeWhenItWorks(
      state, ReadFileName,
      [](const std::optional<std::u16string>& v) { return v == u"My_Screenshot.jpg"; },
      "the value did not read back");
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

// What the host pays to find the plug-in's class before it creates the object.
void BM_ProgIdLookup(benchmark::State& state) {
  PrivateStore store;
  CLSID clsid;
  TimeWhenItWorks(
      state, [&clsid] { return CLSIDFromProgID(u"Vorlick.PT", &clsid); },
      [](HRESULT hr) { return !FAILED(hr); }, "the ProgID was not found");
}
BENCHMARK(BM_ProgIdLookup)->Repetitions(9)->ReportAggregatesOnly(true);

// The first read of a process: two stores taken in turn, so that every read connects anew
// (opens the file, checks that it is a store of ours) before it reads.
void BM_FirstReadOfAStore(benchmark::State& state) {
  PrivateStore stores[2];
  int turn = 0;
  for (auto _ : state) {
    setenv("PICTOSS_PREFIX", stores[turn ^= 1].folder().c_str(), 1);
    benchmark::DoNotOptimize(ReadFileName());
  }
}
BENCHMARK(BM_FirstReadOfAStore)->Repetitions(9)->ReportAggregatesOnly(true);

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
