// Late-bound calls of the plug-in object: one GetPublishInfo by name (names to id, invoke with
// three by-reference arguments, result), beside the same method called directly; and the whole
// host process `pictoss commands` (load the module by ProgID, four calls, print the table).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/ole/dispatch.h"
#include "plugin/pt.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using platform::Argument;
using platform::Variant;

void BM_LateBoundGetPublishInfo(benchmark::State& state) {
  auto pt = platform::MakeRef<pictoss::PT>();
  Variant name, commands, tags, result;
  for (auto _ : state) {
    DISPID id = 0;
    if (FAILED(pt->GetIDsOfNames(u"GetPublishInfo", &id))) state.SkipWithError("no such name");
    Argument args[] = {Argument::ByRef(name), Argument::ByRef(commands), Argument::ByRef(tags)};
    HRESULT hr = pt->Invoke(id, DISPATCH_METHOD, args, &result, nullptr, nullptr);
    if (FAILED(hr) || result.boolVal() != VARIANT_TRUE) state.SkipWithError("call failed");
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_LateBoundGetPublishInfo);

void BM_DirectGetPublishInfo(benchmark::State& state) {
  auto pt = platform::MakeRef<pictoss::PT>();
  std::u16string name;
  std::int32_t commands = 0, tags = 0;
  for (auto _ : state) {
    bool ok = pt->GetPublishInfo(name, commands, tags);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(name);
  }
}
BENCHMARK(BM_DirectGetPublishInfo);

// Runs the host with its output thrown away; returns its exit status.
int RunHost(const std::string& host, std::vector<std::string> args) {
  args.insert(args.begin(), host);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int status = -1;
  if (posix_spawn(&pid, host.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_HostCommandsProcess(benchmark::State& state) {
  // The build tree keeps the host in host/ beside this program's bench/ folder.
  std::string host =
      (fs::canonical("/proc/self/exe").parent_path().parent_path() / "host" / "pictoss").string();
  std::string prefix = (fs::temp_directory_path() / "pictoss-bench.XXXXXX").string();
  if (!mkdtemp(prefix.data())) return state.SkipWithError("mkdtemp failed");
  setenv("PICTOSS_PREFIX", prefix.c_str(), 1);
  if (RunHost(host, {"setup"}) != 0) state.SkipWithError("pictoss setup failed");
  for (auto _ : state) {
    if (RunHost(host, {"commands"}) != 0) state.SkipWithError("pictoss commands failed");
  }
  unsetenv("PICTOSS_PREFIX");
  std::error_code ec;
  fs::remove_all(prefix, ec);
}
BENCHMARK(BM_HostCommandsProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
