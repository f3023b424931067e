// The disk fails under the host: the LD_PRELOAD shim of tests/support makes the k-th write,
// rename or fsync on the store's folder or the temp folder fail with EIO or ENOSPC, for every k
// until a run goes through untouched. After each failure the old value or the old file is
// intact, and nothing is left beside it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tests/host_harness.h"
#include "tests/support/xvfb.h"

namespace {

namespace fs = harness::fs;

constexpr int kErrors[] = {EIO, ENOSPC};
constexpr char kKey[] = "HKLM\\Software\\Brindlemoor\\Pictoss";

class FaultInjectionTest : public ::testing::Test {
 protected:
  fs::path Store() const { return store_.path() / "machine"; }

  // Runs the host; with k > 0 the k-th counted call on a file below `watched` fails.
  harness::Run Run(std::vector<std::string> args, long k = 0, int error = EIO,
                   const fs::path& watched = {}) const {
    args.insert(args.begin(), PICTOSS_HOST_PATH);
    std::vector<std::string> env = {"PICTOSS_PREFIX=" + Store().string(),
                                    "TMPDIR=" + tmp_.path().string()};
    if (k > 0) {
      const char* asan = std::getenv("ASAN_OPTIONS");
      env.insert(env.end(),
                 {std::string("LD_PRELOAD=") + PICTOSS_FAULT_SHIM,
                  "PICTOSS_FAULT_CALLS=write,rename,fsync", "PICTOSS_FAULT_AT=" + std::to_string(k),
                  "PICTOSS_FAULT_ERRNO=" + std::to_string(error),
                  "PICTOSS_FAULT_PATH=" + watched.string(), "PICTOSS_FAULT_REPORT=" + Report(),
                  // The shim is loaded ahead of the sanitizer's runtime.
                  std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
    }
    return harness::RunProgram(args, env);
  }
  std::string Report() const { return (report_.path() / "fired").string(); }
  // Whether the last run met its fault; forgets it.
  bool Fired() const {
    std::error_code ec;
    return fs::remove(Report(), ec);
  }
  // The stored value, or what went wrong reading it.
  std::string Value(const char* key, const char* name) const {
    harness::Run r = Run({"reg", "query", key, "/v", name});
    if (r.status != 0) return "(error) " + r.err;
    std::string line = r.out.substr(0, r.out.size() - 1);
    return line.substr(line.rfind("    ") + 4);
  }
  // Files in the folder other than these.
  static std::set<std::string> Strays(const fs::path& folder, const std::set<std::string>& known) {
    std::set<std::string> strays;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      const std::string name = entry.path().filename().string();
      if (!known.count(name)) strays.insert(name);
    }
    return strays;
  }

  harness::TempDir store_, tmp_, report_;
  int injected_ = 0;
  int survived_ = 0;
};

const std::set<std::string> kStoreFiles = {"registry.db", "registry.db-wal", "registry.db-shm"};

TEST_F(FaultInjectionTest, ASettingsWriteKeepsTheOldValue) {
  ASSERT_EQ(Run({"setup"}).status, 0);
  for (int error : kErrors) {
    for (long k = 1;; ++k) {
      SCOPED_TRACE("errno " + std::to_string(error) + ", call " + std::to_string(k));
      ASSERT_LT(k, 200);
      ASSERT_EQ(Run({"reg", "add", kKey, "/v", "TimeDelay", "/d", "old", "/f"}).status, 0);
      harness::Run r =
          Run({"reg", "add", kKey, "/v", "TimeDelay", "/d", "new", "/f"}, k, error, Store());
      const std::string value = Value(kKey, "TimeDelay");
      if (!Fired()) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(value, "new");
        break;
      }
      ++injected_;
      // A write that reports a failure has not happened; one that reports success has.
      EXPECT_EQ(value, r.status == 0 ? "new" : "old") << r.err;
      EXPECT_EQ(Strays(Store(), kStoreFiles), std::set<std::string>());
      survived_ += value == (r.status == 0 ? "new" : "old") && Strays(Store(), kStoreFiles).empty();
    }
  }
  EXPECT_EQ(survived_, injected_);
  std::printf("settings write: %d faults injected, %d survived\n", injected_, survived_);
}

TEST_F(FaultInjectionTest, TheFirstWriteMakesAWholeStoreOrNone) {
  for (int error : kErrors) {
    for (long k = 1;; ++k) {
      SCOPED_TRACE("errno " + std::to_string(error) + ", call " + std::to_string(k));
      ASSERT_LT(k, 400);
      fs::remove_all(Store());
      harness::Run r =
          Run({"reg", "add", kKey, "/v", "TimeDelay", "/d", "1", "/f"}, k, error, store_.path());
      if (!Fired()) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Value(kKey, "TimeDelay"), "1");
        break;
      }
      ++injected_;
      // Either no store, or a whole one that reads (with the value when the write said so).
      const std::string value = Value(kKey, "TimeDelay");
      const bool whole = r.status == 0
                             ? value == "1"
                             : value.find("unable to find") != std::string::npos || value == "1";
      EXPECT_TRUE(whole) << value << " after " << r.err;
      EXPECT_EQ(Strays(Store(), kStoreFiles), std::set<std::string>());
      survived_ += whole && Strays(Store(), kStoreFiles).empty();
    }
  }
  EXPECT_EQ(survived_, injected_);
  std::printf("store creation: %d faults injected, %d survived\n", injected_, survived_);
}

TEST_F(FaultInjectionTest, ACaptureKeepsTheOldPicture) {
  testsupport::XvfbServer display(64, 48);
  ASSERT_EQ(Run({"setup"}).status, 0);
  const fs::path picture = tmp_.path() / "My_Screenshot.jpg";
  const std::string old = "the picture of the capture before";
  for (int error : kErrors) {
    for (long k = 1;; ++k) {
      SCOPED_TRACE("errno " + std::to_string(error) + ", call " + std::to_string(k));
      ASSERT_LT(k, 100);
      { std::ofstream(picture, std::ios::binary | std::ios::trunc) << old; }
      harness::Run r = Run({"send", "/xptfull"}, k, error, tmp_.path());
      const std::string now = harness::ReadFile(picture).value_or("(gone)");
      if (!Fired()) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(now, old);
        break;
      }
      ++injected_;
      EXPECT_EQ(r.status, 1) << r.out;
      EXPECT_EQ(now, old);
      EXPECT_EQ(Strays(tmp_.path(), {"My_Screenshot.jpg"}), std::set<std::string>());
      survived_ +=
          r.status == 1 && now == old && Strays(tmp_.path(), {"My_Screenshot.jpg"}).empty();
    }
  }
  EXPECT_EQ(survived_, injected_);
  std::printf("picture replace: %d faults injected, %d survived\n", injected_, survived_);
}

}  // namespace
