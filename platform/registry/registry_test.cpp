#include "platform/registry/registry.h"
#include "tests/support/child_process.h"
#include "tests/support/private_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Each test gets a machine folder of its own.
class RegistryTest : public ::testing::Test {
 protected:
  using Reach = testsupport::PrivateStore::Reach;
  explicit RegistryTest(Reach reach = Reach::kOwner) : store_(reach) {}

  std::string StoreFile() const { return store_.StoreFile(); }

  HKEY Create(const char* path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = 0;
    EXPECT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    return key;
  }
  static LONG SetText(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
  }
  // The value's bytes, or the status as text when the query fails.
  static std::string Get(HKEY key, const char* name) {
    BYTE data[256];
    DWORD size = sizeof data;
    const LONG status = RegQueryValueExA(key, name, nullptr, nullptr, data, &size);
    if (status) return "status " + std::to_string(status);
    return std::string(reinterpret_cast<char*>(data), size);
  }
  // The names of the key's subkeys, or of its values, in the order the enumeration gives them.
  static std::vector<std::string> Names(HKEY key, bool subkeys) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[64];
      DWORD size = sizeof name;
      const LONG status =
          subkeys ? RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr)
                  : RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS) return names;
      EXPECT_EQ(status, ERROR_SUCCESS) << "at " << i;
      if (status) return names;
      names.emplace_back(name, size);
    }
  }

  testsupport::PrivateStore store_;
  const std::string& root_ = store_.root();
  const std::string& prefix_ = store_.prefix();
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

using testsupport::InChild;

TEST_F(RegistryTest, MissingStoreReadsAsEmptyAndIsCreatedByTheFirstWrite) {
  HKEY key = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, "x"), "status 2");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, ""), "status 2");
  EXPECT_FALSE(fs::exists(prefix_)) << "a read created the store";

  EXPECT_EQ(SetText(HKEY_CURRENT_USER, "x", "1"), ERROR_SUCCESS);
  struct stat info {};
  ASSERT_EQ(stat(StoreFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(Get(HKEY_CURRENT_USER, "x"), std::string("1\0", 2));
  EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "x"), "status 2");
}

TEST_F(RegistryTest, StoreLocationFollowsTheEnvironment) {
  EXPECT_EQ(platform::RegistryStoreFileName(), StoreFile());
  unsetenv("PICTOSS_PREFIX");
  setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
  EXPECT_EQ(platform::RegistryStoreFileName(), root_ + "/data/pictoss/registry.db");
  EXPECT_EQ(SetText(HKEY_USERS, "x", "1"), ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(root_ + "/data/pictoss/registry.db"));
  unsetenv("XDG_DATA_HOME");
  const std::string home = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", root_.c_str(), 1);
  EXPECT_EQ(platform::RegistryStoreFileName(), root_ + "/.local/share/pictoss/registry.db");
  setenv("HOME", home.c_str(), 1);
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCaseAndKeepTheirSpelling) {
  DWORD disposition = 0;
  HKEY key = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Brindlemoor\\Pictoss", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(SetText(key, "Timedelay", "3"), ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\brindlemoor\\PICTOSS", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(Get(key, "TIMEDELAY"), std::string("3\0", 2));
  EXPECT_EQ(SetText(key, "TimeDelay", "4"), ERROR_SUCCESS);  // replaces, not adds

  EXPECT_EQ(Names(key, false), std::vector<std::string>{"TimeDelay"});
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software", 0, KEY_READ, &key), ERROR_SUCCESS);
  char name[64];
  DWORD nameSize = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_STREQ(name, "Brindlemoor");
  EXPECT_EQ(nameSize, 11u);
  nameSize = 11;  // no room for the NUL
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  RegCloseKey(key);
  // Other roots are other trees.
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ValuesKeepTypeAndBytesAndReportTheSizeNeeded) {
  HKEY key = Create("Software\\Test");
  const BYTE raw[] = {0, 1, 2, 0, 255};
  ASSERT_EQ(RegSetValueExA(key, "", 0, REG_BINARY, raw, sizeof raw), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "empty", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(size, 5u);
  BYTE data[8] = {};
  size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "", nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(RegQueryValueExA(key, "", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(data, data + size), std::string(raw, raw + 5));
  size = sizeof data;
  EXPECT_EQ(RegQueryValueExA(key, "EMPTY", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);

  EXPECT_EQ(RegDeleteValueA(key, "Empty"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "Empty"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Get(key, "empty"), "status 2");
  RegCloseKey(key);
}

TEST_F(RegistryTest, AccessMaskHandlesAndParametersAreChecked) {
  RegCloseKey(Create("Software\\Test"));
  HKEY readable = 0, writable = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, KEY_READ, &readable), 0);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, KEY_WRITE, &writable), 0);
  EXPECT_EQ(SetText(readable, "v", "1"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(readable, "v"), ERROR_ACCESS_DENIED);
  HKEY sub = 0;
  EXPECT_EQ(RegCreateKeyExA(readable, "Sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetText(writable, "v", "1"), ERROR_SUCCESS);
  EXPECT_EQ(Get(writable, "v"), "status 5");
  EXPECT_EQ(Get(readable, "v"), std::string("1\0", 2));

  EXPECT_EQ(RegCloseKey(writable), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(writable), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetText(writable, "v", "2"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Get(0, "v"), "status 6");
  EXPECT_EQ(Get(0x12345, "v"), "status 6");
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

  DWORD reserved = 0, size = 4;
  BYTE data[4];
  EXPECT_EQ(RegQueryValueExA(readable, "v", &reserved, nullptr, data, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(readable, "v", nullptr, nullptr, data, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 1, KEY_READ, &sub),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  const std::string tooLong(256, 'k');
  for (const char* bad : {"\\Software", "Software\\\\Test", "Software\\", tooLong.c_str()}) {
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, bad, 0, KEY_READ, &sub), ERROR_INVALID_PARAMETER)
        << bad;
  }
  RegCloseKey(readable);
}

TEST_F(RegistryTest, RootsThatHoldNothingStayEmpty) {
  for (HKEY root : {HKEY_PERFORMANCE_DATA, HKEY_DYN_DATA}) {
    HKEY key = 0;
    EXPECT_EQ(RegCreateKeyExA(root, "X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetText(root, "v", "1"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Get(root, "v"), "status 2");
    ASSERT_EQ(RegOpenKeyExA(root, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
  }
}

TEST_F(RegistryTest, DeletingAKeyLeavesItsOpenHandlesStale) {
  HKEY parent = Create("Software\\Parent");
  HKEY child = Create("Software\\Parent\\Child");
  EXPECT_EQ(SetText(child, "v", "1"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Parent"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(parent, "CHILD"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Get(child, "v"), "status 1018");
  EXPECT_EQ(SetText(child, "v", "2"), ERROR_KEY_DELETED);
  HKEY again = 0;
  EXPECT_EQ(RegOpenKeyExA(parent, "Child", 0, KEY_READ, &again), ERROR_FILE_NOT_FOUND);
  // A key made again under the same name is a new key, not the old handle's.
  RegCloseKey(Create("Software\\Parent\\Child"));
  EXPECT_EQ(Get(child, "v"), "status 1018");
  EXPECT_EQ(RegDeleteKeyA(parent, ""), ERROR_INVALID_PARAMETER);
  RegCloseKey(child);
  RegCloseKey(parent);
}

TEST_F(RegistryTest, AnEmptyStoreFileIsMadeIntoAStore) {
  // What a crash between creating the file and creating the tables leaves behind.
  fs::create_directories(prefix_);
  std::ofstream(StoreFile()).close();
  EXPECT_EQ(Get(HKEY_USERS, "v"), "status 2");
  EXPECT_EQ(SetText(HKEY_USERS, "v", "1"), ERROR_SUCCESS);
  EXPECT_EQ(Get(HKEY_USERS, "v"), std::string("1\0", 2));
}

TEST_F(RegistryTest, ACorruptStoreFailsAndIsNeverWritten) {
  fs::create_directories(prefix_);
  std::string garbage;
  for (int i = 0; i < 8192; ++i) garbage.push_back(static_cast<char>(i * 7 + 3));
  std::ofstream(StoreFile(), std::ios::binary) << garbage;
  // And a database of some other program.
  const std::string other = root_ + "/other/registry.db";
  fs::create_directories(root_ + "/other");
  ASSERT_EQ(
      std::system(("sqlite3 " + other + " 'CREATE TABLE t(a); INSERT INTO t VALUES(1)'").c_str()),
      0);
  const std::string otherBytes = ReadFile(other);

  for (const std::string& prefix : {prefix_, root_ + "/other"}) {
    SCOPED_TRACE(prefix);
    setenv("PICTOSS_PREFIX", prefix.c_str(), 1);
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "v"), "status 1009");
    EXPECT_EQ(SetText(HKEY_LOCAL_MACHINE, "v", "1"), ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "S", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_BADDB);
  }
  EXPECT_EQ(ReadFile(StoreFile()), garbage);
  EXPECT_EQ(ReadFile(other), otherBytes);
  EXPECT_FALSE(fs::exists(StoreFile() + "-wal"));
}

// A user to whom permission bits apply: as root, a child that becomes "nobody";
// otherwise the permission bits stop this process itself.
template <typename Body>
int AsUnprivileged(Body body) {
  return InChild([body] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 99;
    return body();
  });
}

// For tests that run a part of themselves as that user: the store's folder is one that user can
// reach, whatever the temporary folder's mode.
class RegistryAsAnotherUserTest : public RegistryTest {
 protected:
  RegistryAsAnotherUserTest() : RegistryTest(Reach::kAnyUser) {}

  // The store's folder as that user's own, for tests done by a user to whom the permission bits
  // apply; the store file's path.
  std::string StoreInTheUsersFolder() {
    fs::create_directories(prefix_);
    fs::permissions(root_, fs::perms::owner_all | fs::perms::others_exec);
    if (geteuid() == 0) {
      EXPECT_EQ(chown(prefix_.c_str(), 65534, 65534), 0);
    }
    return StoreFile();
  }
};

TEST_F(RegistryAsAnotherUserTest, AStoreThatCannotBeWrittenRefusesWritesAndStillReads) {
  HKEY key = Create("Software\\Test");
  ASSERT_EQ(SetText(key, "v", "1"), ERROR_SUCCESS);
  RegCloseKey(key);
  fs::permissions(root_, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
  const auto readerBody = [] {
    HKEY key = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, KEY_ALL_ACCESS, &key)) return 1;
    if (Get(key, "v") != std::string("1\0", 2)) return 2;
    if (SetText(key, "v", "2") != ERROR_ACCESS_DENIED) return 3;
    HKEY sub = 0;
    if (RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) !=
        ERROR_ACCESS_DENIED) {
      return 4;
    }
    return 0;
  };
  // A read-only file in a read-only folder (where not even the journal's shared-memory file can
  // be made), then in a folder that its owner may write.
  fs::permissions(StoreFile(),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(prefix_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                               fs::perms::others_exec | fs::perms::group_exec);
  EXPECT_EQ(AsUnprivileged(+readerBody), 0);
  fs::permissions(prefix_, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec |
                               fs::perms::group_exec);
  EXPECT_EQ(AsUnprivileged(+readerBody), 0);
  fs::permissions(StoreFile(), fs::perms::owner_read | fs::perms::owner_write);
  key = Create("Software\\Test");  // the owner still reads and writes
  EXPECT_EQ(Get(key, "v"), std::string("1\0", 2));
  EXPECT_EQ(SetText(key, "v", "3"), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, TwoProcessesSeeEachOthersWrites) {
  RegCloseKey(Create("Software\\Shared"));
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    char go;
    HKEY key = 0;
    int failed = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, KEY_ALL_ACCESS, &key);
    failed |= SetText(key, "fromChild", "c");
    failed |= write(toParent[1], "1", 1) != 1;
    failed |= read(toChild[0], &go, 1) != 1;
    failed |= Get(key, "fromParent") != std::string("p\0", 2);
    _exit(failed ? 1 : 0);
  }
  char go;
  ASSERT_EQ(read(toParent[0], &go, 1), 1);
  HKEY key = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, KEY_ALL_ACCESS, &key), 0);
  EXPECT_EQ(Get(key, "FromChild"), std::string("c\0", 2));
  EXPECT_EQ(SetText(key, "fromParent", "p"), ERROR_SUCCESS);
  ASSERT_EQ(write(toChild[1], "1", 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  RegCloseKey(key);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

TEST_F(RegistryTest, FourWritersLoseNothing) {
  constexpr int kWriters = 4, kWrites = 1000;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      // Every writer creates the same key: only one of them really creates it.
      HKEY key = 0;
      LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Busy", 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &key, nullptr);
      for (int i = 0; i < kWrites && status == ERROR_SUCCESS; ++i) {
        const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
        status = SetText(key, name.c_str(), name + "=" + std::to_string(i * w));
      }
      if (status) std::fprintf(stderr, "writer %d: status %d\n", w, status);
      _exit(status ? 1 : 0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  HKEY key = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Busy", 0, KEY_READ, &key), 0);
  int missing = 0;
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kWrites; ++i) {
      const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
      const std::string expected = name + "=" + std::to_string(i * w) + '\0';
      missing += Get(key, name.c_str()) != expected;
    }
  }
  EXPECT_EQ(missing, 0);
  char name[32];
  DWORD nameSize = sizeof name;
  EXPECT_EQ(
      RegEnumValueA(key, kWriters * kWrites, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
      ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

// The names in the store's folder, sorted.
std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A reader makes no file beside the store, not even while its connection is open; a store
// that an earlier version left on a WAL journal is moved off it by the first process that may
// write it, and reads the same.
TEST_F(RegistryTest, AReadMakesNoFileBesideTheStore) {
  HKEY key = Create("Software\\Quiet");
  ASSERT_EQ(SetText(key, "v", "1"), ERROR_SUCCESS);
  RegCloseKey(key);
  const auto readInChild = [this] {
    return InChild([this] {
      HKEY key = 0;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quiet", 0, KEY_READ, &key)) return 1;
      if (Get(key, "v") != std::string("1\0", 2)) return 2;
      if (FolderEntries(prefix_) != std::vector<std::string>{"registry.db"}) return 3;
      RegCloseKey(key);
      return 0;
    });
  };
  EXPECT_EQ(readInChild(), 0);

  const std::string wal = "sqlite3 " + StoreFile() + " 'PRAGMA journal_mode=WAL' >/dev/null";
  ASSERT_EQ(std::system(wal.c_str()), 0);
  ASSERT_EQ(ReadFile(StoreFile()).substr(18, 2), std::string("\2\2", 2));
  EXPECT_EQ(InChild([this] { return Get(HKEY_LOCAL_MACHINE, "x") == "status 2" ? 0 : 1; }), 0);
  EXPECT_EQ(ReadFile(StoreFile()).substr(18, 2), std::string("\1\1", 2));
  EXPECT_EQ(readInChild(), 0);
}

TEST_F(RegistryTest, AWriterKilledMidWriteLeavesTheOldOrTheNewValue) {
  RegCloseKey(Create("Software\\Crash"));
  const std::string oldText(60000, 'o'), newText(60000, 'n');
  for (int round = 0; round < 6; ++round) {
    HKEY key = Create("Software\\Crash");
    ASSERT_EQ(SetText(key, "v", oldText), ERROR_SUCCESS);
    RegCloseKey(key);
    const pid_t pid = fork();
    if (pid == 0) {
      HKEY key = 0;
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Crash", 0, KEY_WRITE, &key);
      for (int i = 0;; ++i) SetText(key, i % 2 ? "v" : "w", newText);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + 17 * round));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    const std::string check = "sqlite3 " + StoreFile() + " 'PRAGMA integrity_check'";
    FILE* pipe = popen(check.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    fgets(line, sizeof line, pipe);
    pclose(pipe);
    EXPECT_STREQ(line, "ok\n") << "round " << round;
    key = Create("Software\\Crash");
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), 0);
    std::string data(size, '\0');
    ASSERT_EQ(
        RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size),
        0);
    RegCloseKey(key);
    EXPECT_TRUE(data == oldText + '\0' || data == newText + '\0') << "round " << round;
  }
}

// Many processes that find no store at all create it at the same moment: every one succeeds
// and every value is there.
TEST_F(RegistryTest, ParallelFirstWritersAllSucceed) {
  constexpr int kRounds = 30, kWriters = 12;
  for (int round = 0; round < kRounds; ++round) {
    const std::string prefix = root_ + "/race" + std::to_string(round);
    setenv("PICTOSS_PREFIX", prefix.c_str(), 1);
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
      const pid_t pid = fork();
      if (pid == 0) {
        close(start[1]);
        char go;
        (void)!read(start[0], &go, 1);  // all start when the parent closes the pipe
        HKEY key = 0;
        LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Race", 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (!status) status = SetText(key, ("w" + std::to_string(w)).c_str(), "x");
        _exit(status ? 100 + status % 100 : 0);
      }
      children.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t pid : children) {
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << "round " << round << ": " << status;
    }
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Race", 0, KEY_READ, &key), 0);
    for (int w = 0; w < kWriters; ++w) {
      EXPECT_EQ(Get(key, ("w" + std::to_string(w)).c_str()), std::string("x\0", 2));
    }
    RegCloseKey(key);
    // Nothing of the making is left beside the store.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(prefix)) {
      files += entry.path().filename().string().starts_with(".");
    }
    EXPECT_EQ(files, 0);
  }
}

// The store file is made read-only, read, and made writable again: writes work again (the
// journal files made during the read must not stay read-only).
TEST_F(RegistryAsAnotherUserTest, WritesRecoverAfterAReadOnlySpell) {
  // Done by a user to whom the permission bits apply, in a folder of that user's own.
  const std::string file = StoreInTheUsersFolder();
  ASSERT_FALSE(HasFailure());
  const auto write = [](const std::string& text) {
    return AsUnprivileged([&text] {
      HKEY key = 0;
      LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Spell", 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &key, nullptr);
      // A clean exit, as of the host program: the last connection folds the journal away.
      std::exit(status ? 100 + status % 100 : SetText(key, "v", text) % 100);
      return 0;
    });
  };
  ASSERT_EQ(write("1"), 0);
  ASSERT_EQ(chmod(file.c_str(), 0400), 0);
  ASSERT_EQ(AsUnprivileged([] {
              HKEY key = 0;
              if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Spell", 0, KEY_READ, &key)) return 1;
              if (Get(key, "v") != std::string("1\0", 2)) return 2;
              return SetText(key, "v", "2") == ERROR_ACCESS_DENIED ? 0 : 3;
            }),
            0);
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  EXPECT_EQ(write("2"), 0);
  EXPECT_EQ(AsUnprivileged([] {
              HKEY key = 0;
              if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Spell", 0, KEY_READ, &key)) return 1;
              return Get(key, "v") == std::string("2\0", 2) ? 0 : 2;
            }),
            0);
}

// A store file that its user may not read is named, with the system's reason, not SQLite's.
TEST_F(RegistryAsAnotherUserTest, AnUnreadableStoreIsNamedWithTheSystemsReason) {
  const std::string file = StoreInTheUsersFolder();
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(AsUnprivileged([] {
              HKEY key = 0;
              const LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shut", 0, nullptr,
                                                  0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
              std::exit(status % 100);
              return 0;
            }),
            0);
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  EXPECT_EQ(AsUnprivileged([&file] {
              HKEY key = 0;
              if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shut", 0, KEY_READ, &key) == 0) {
                return 1;
              }
              const std::string problem = platform::RegistryStoreProblem();
              std::fprintf(stderr, "problem: %s\n", problem.c_str());
              return problem == file + ": the store file cannot be read (Permission denied)" ? 0
                                                                                             : 2;
            }),
            0);
}

// A store is trusted as ssh trusts its folder: a store or folder of another user, or one that
// others may write, is refused, with the reason, and nothing in it is read.
TEST_F(RegistryTest, AStoreThatOthersControlIsRefused) {
  HKEY key = Create("Software\\Trust");
  ASSERT_EQ(SetText(key, "v", "1"), ERROR_SUCCESS);
  RegCloseKey(key);
  struct Case {
    const char* what;
    std::string path;
    mode_t mode;
    uid_t owner;  // -1: unchanged
    const char* reason;
  };
  const uid_t other = 65534;
  const Case cases[] = {
      {"folder writable by all", prefix_, 0777, uid_t(-1), "other users may write it (mode 0777)"},
      {"folder writable by its group", prefix_, 0770, uid_t(-1), "other users may write it"},
      {"store writable by its group", StoreFile(), 0660, uid_t(-1), "other users may write it"},
      {"store of another user", StoreFile(), 0600, other, "belongs to another user (uid 65534)"},
      {"folder of another user", prefix_, 0700, other, "belongs to another user (uid 65534)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.owner != uid_t(-1) && geteuid() != 0) continue;  // only root can give a file away
    struct stat before {};
    ASSERT_EQ(stat(c.path.c_str(), &before), 0);
    ASSERT_EQ(chmod(c.path.c_str(), c.mode), 0);
    if (c.owner != uid_t(-1)) {
      ASSERT_EQ(chown(c.path.c_str(), c.owner, c.owner), 0);
    }
    // Another process, which opens the store anew.
    EXPECT_EQ(InChild([&c] {
                HKEY key = 0;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Trust", 0, KEY_READ, &key) !=
                    ERROR_ACCESS_DENIED) {
                  return 1;
                }
                if (Get(HKEY_LOCAL_MACHINE, "v") != "status 5") return 2;
                if (SetText(HKEY_LOCAL_MACHINE, "v", "2") != ERROR_ACCESS_DENIED) return 3;
                const std::string problem = platform::RegistryStoreProblem();
                if (problem.rfind(c.path + ": not trusted: ", 0) != 0) return 4;
                return problem.find(c.reason) == std::string::npos ? 5 : 0;
              }),
              0);
    ASSERT_EQ(chmod(c.path.c_str(), before.st_mode & 07777), 0);
    ASSERT_EQ(chown(c.path.c_str(), before.st_uid, before.st_gid), 0);
  }
  key = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Trust", 0, KEY_READ, &key), 0);
  EXPECT_EQ(Get(key, "v"), std::string("1\0", 2));
  RegCloseKey(key);
}

// A key with 40,000 levels below it is deleted whole, in one write, without deep recursion.
TEST_F(RegistryTest, ADeepTreeIsDeletedWhole) {
  std::string path = "Software\\Deep";
  for (int i = 0; i < 40000; ++i) path += "\\k";
  HKEY key = Create(path.c_str());
  ASSERT_EQ(SetText(key, "leaf", "1"), ERROR_SUCCESS);
  HKEY top = Create("Software\\Deep");
  ASSERT_EQ(SetText(top, "top", "1"), ERROR_SUCCESS);
  RegCloseKey(Create("Software\\Kept"));
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Deep"), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, "leaf"), "status 1018");  // the open handles went stale
  EXPECT_EQ(Get(top, "top"), "status 1018");
  RegCloseKey(key);
  RegCloseKey(top);
  HKEY software = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &software), 0);
  EXPECT_EQ(Names(software, true), std::vector<std::string>{"Kept"});
  RegCloseKey(software);
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Deep"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, ""), ERROR_INVALID_PARAMETER);
}

// A store locked by another process: the wait is told once, and the write goes through when
// the lock is let go; a corrupt store is named with what is wrong with it.
TEST_F(RegistryTest, ProblemsOfTheStoreAreToldWithItsName) {
  RegCloseKey(Create("Software\\Lock"));
  static std::vector<std::string> notices;
  notices.clear();
  platform::SetRegistryWaitNotice(+[](const std::string& text) { notices.push_back(text); });
  const std::string hold = "python3 -c \"import sqlite3,time; c=sqlite3.connect('" + StoreFile() +
                           "', isolation_level=None); c.execute('BEGIN IMMEDIATE');"
                           " print('locked', flush=True); time.sleep(2.5)\"";
  FILE* holder = popen(hold.c_str(), "r");
  ASSERT_NE(holder, nullptr);
  char line[16] = {};
  ASSERT_NE(fgets(line, sizeof line, holder), nullptr);
  EXPECT_EQ(SetText(HKEY_LOCAL_MACHINE, "v", "1"), ERROR_SUCCESS);
  pclose(holder);
  platform::SetRegistryWaitNotice(nullptr);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "waiting for the registry store " + StoreFile() +
                            ": another process holds its lock (for up to 60 s)");
  EXPECT_EQ(platform::RegistryStoreProblem(), "");

  // A new file in its place, as a user or another program might leave it.
  std::ofstream(StoreFile() + ".new", std::ios::binary) << std::string(4096, 'x');
  fs::rename(StoreFile() + ".new", StoreFile());
  HKEY key = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(platform::RegistryStoreProblem().rfind(StoreFile() + ": ", 0), 0u)
      << platform::RegistryStoreProblem();
  EXPECT_NE(platform::RegistryStoreProblem().find("not a database"), std::string::npos)
      << platform::RegistryStoreProblem();
}

}  // namespace
