// The noise generator's draws, in the drawing order and from a fixed seed, through a fixed set
// of dieharder's tests. Each draw goes in as its 24 bits (three bytes, low first), so that
// dieharder reads the draws back to back as one bit stream. The seed is fixed, so the outcome
// is too: a change to the generator that fails here has made its output measurably worse.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/noise.h"

extern char** environ;

namespace pictoss {
namespace {

// The bits of 10:01:48.25 in the morning as single-precision seconds.
constexpr std::uint32_t kSeed = 0x470D0C40u;

// A p-value fails when it lies within 1e-5 of either end: over the about 40 p-values below, a
// perfect generator would fail somewhere with a probability under 0.001.
constexpr double kTail = 1e-5;

struct Result {
  std::string test;
  double p;
};

// The p-values that dieharder printed: the fifth column of its result lines.
std::vector<Result> ParseResults(const std::string& output) {
  std::vector<Result> results;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cells;
    std::istringstream row(line);
    for (std::string cell; std::getline(row, cell, '|');) cells.push_back(cell);
    if (cells.size() < 6 || cells[5].find_first_of("PFW") == std::string::npos) continue;
    const auto name = cells[0].find_first_not_of(' ');
    results.push_back({cells[0].substr(name == std::string::npos ? 0 : name) + cells[1],
                       std::strtod(cells[4].c_str(), nullptr)});
  }
  return results;
}

// Runs dieharder with the arguments on the draws of kSeed, k = 0, 1, 2, ... until it has read
// what it needs; returns what it printed.
std::string RunDieharder(const std::vector<std::string>& args) {
  int feed[2];
  if (pipe2(feed, O_CLOEXEC) != 0) return "pipe failed";
  char outPath[] = "/tmp/pictoss-dieharder-XXXXXX";
  const int out = mkstemp(outPath);
  if (out < 0) return "mkstemp failed";
  close(out);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, feed[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath, O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> all = {"dieharder", "-g", "200"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "dieharder", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(feed[0]);
  if (spawned != 0) {
    close(feed[1]);
    unlink(outPath);
    return "dieharder could not be started (is the dieharder package installed?)";
  }

  // dieharder stops reading when its test is done; the write then fails with EPIPE.
  signal(SIGPIPE, SIG_IGN);
  const NoiseSequence noise(kSeed);
  std::vector<unsigned char> chunk(3 * 65536);
  for (std::uint32_t k = 0;;) {
    for (std::size_t i = 0; i < chunk.size(); i += 3, ++k) {
      const std::uint32_t bits = noise.Bits(k);
      chunk[i] = static_cast<unsigned char>(bits);
      chunk[i + 1] = static_cast<unsigned char>(bits >> 8);
      chunk[i + 2] = static_cast<unsigned char>(bits >> 16);
    }
    std::size_t done = 0;
    while (done < chunk.size()) {
      const ssize_t n = write(feed[1], chunk.data() + done, chunk.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (done < chunk.size()) break;
  }
  close(feed[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream file(outPath);
  std::stringstream text;
  text << file.rdbuf();
  unlink(outPath);
  return text.str();
}

// Tests that read the stream in many ways (bits, bytes, words, tuples, geometry) and finish in
// seconds each.
const std::vector<std::vector<std::string>> kTests = {
    {"-d", "0"},               // birthday spacings
    {"-d", "3"},               // 6x8 binary rank
    {"-d", "4"},               // bitstream (overlapping 20-bit words)
    {"-d", "8"},               // count the ones, stream
    {"-d", "9"},               // count the ones, bytes
    {"-d", "11"},              // minimum distance in 2D
    {"-d", "15"},              // runs up and down
    {"-d", "100"},             // monobit
    {"-d", "101"},             // runs of bits
    {"-d", "200", "-n", "2"},  // 2-bit tuples
    {"-d", "200", "-n", "3"},  // 3-bit tuples
    {"-d", "202"},             // permutations of 5
    {"-d", "206"},             // DCT: frequencies within 256 words
    {"-d", "209"},             // monobit over blocks
};

TEST(NoiseQuality, PassesDieharder) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int checked = 0;
  for (const auto& test : kTests) {
    const std::string output = RunDieharder(test);
    const std::vector<Result> results = ParseResults(output);
    ASSERT_FALSE(results.empty()) << "dieharder " << test[1] << " gave no result:\n" << output;
    for (const Result& r : results) {
      std::printf("%-28s p = %.8f\n", r.test.c_str(), r.p);
      EXPECT_GT(r.p, kTail) << r.test;
      EXPECT_LT(r.p, 1 - kTail) << r.test;
      ++checked;
    }
  }
  EXPECT_GE(checked, static_cast<int>(kTests.size()));
}

}  // namespace
}  // namespace pictoss
