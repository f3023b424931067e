// Inside the registry store (platform/registry only): limits, the root rows, name folding and
// path splitting, the store file's path, and the SQLite connection with its cached statements and
// transactions. Threading: callers hold the registry's mutex.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry/registry.h"

namespace platform::registry_store {

inline constexpr char kStoreFileName[] = "registry.db";
inline constexpr int kApplicationId = 0x50544B59;  // marks a file as a store of ours
// How long a write waits for another process's write to finish before it fails.
inline constexpr auto kBusyTimeout = std::chrono::seconds(60);
inline constexpr size_t kMaxKeyNameBytes = 255;
inline constexpr size_t kMaxValueNameBytes = 16383;
inline constexpr DWORD kMaxValueBytes = 16u << 20;

inline bool IsRoot(HKEY key) {
  return key >= HKEY_CLASSES_ROOT && key <= HKEY_DYN_DATA;
}
inline std::int64_t RootId(HKEY root) {
  return static_cast<std::int64_t>(root - HKEY_CLASSES_ROOT) + 1;
}
inline bool HoldsNothing(HKEY root) {
  return root == HKEY_PERFORMANCE_DATA || root == HKEY_DYN_DATA;
}

// The form in which names are compared: upper case, code unit by code unit.
std::string FoldName(std::string_view name);
// The names of a backslash-separated subkey path; nullopt for a malformed one.
std::optional<std::vector<std::string_view>> SplitSubKey(const char* subKey);
// The store file's path.
std::string StorePath();
// The platform status of an SQLite result code.
LONG StatusOf(int rc, sqlite3* db);
// How a wait for another process's lock is told (null: not at all).
void SetWaitNotice(void (*notice)(const std::string& text));

// One connection to the store file of the current folder, reopened when the folder or the file
// changes. Key ids stay valid across connections to the same file. The connection can write
// whenever the file and its folder may be written, also for reads.
class Store {
 public:
  ~Store() { Close(); }
  // What an operation does to the store: reads it, changes what is in it, or may add to it.
  enum Access { kRead, kWrite, kCreate };
  // Makes a connection to `path` current, one that can write unless for kRead. When the file
  // does not exist or holds no store yet, `empty` is set; but for kCreate the file and the
  // tables are made first.
  LONG Open(const std::string& path, Access access, bool& empty);
  void Close();
  // Whether the connection cannot write (the file or its folder may not be written).
  bool readOnly() const { return !writer_; }
  sqlite3* db() const { return db_; }
  // A prepared statement kept for the life of the connection; `sql` must be a literal.
  sqlite3_stmt* Prepare(const char* sql, LONG& status);
  LONG Exec(const char* sql);
  // Notes what went wrong with the store file when `status` is the file's fault, unless the
  // operation has already failed so.
  LONG Note(LONG status);
  const std::string& problem() const { return problem_; }
  // SQLite's busy handler.
  static int WaitWhileBusy(void* store, int count);

 private:
  LONG Connect(const std::string& path, const struct stat& file, bool forWrite);
  LONG ConnectImmutable();
  LONG OpenFailed(int rc, const std::string& path);
  LONG CheckFolderAndFile(const std::string& path, Access access, struct stat& file, bool& missing);
  LONG CheckStore(Access access, bool& empty);
  LONG CreateTables();
  // SQLite's quick check of the whole file; ERROR_BADDB, with what it found, unless "ok".
  LONG CheckWhole();
  void LeaveWalJournal();
  LONG Fail(LONG status, std::string problem) {
    problem_ = std::move(problem);
    return status;
  }
  // The file's application id and its number of tables, read together.
  LONG ReadMark(std::int64_t& id, std::int64_t& tables);

  sqlite3* db_ = nullptr;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool writer_ = false;    // opened for writing, and the file may be written
  bool verified_ = false;  // the file is known to be a store of ours
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  std::string problem_;
  std::chrono::steady_clock::time_point waitStart_;
  bool noticed_ = false;
  uid_t me_ = 0;  // the user that the store's folder was last checked for
};

// A cached statement with its parameters bound, reset when it goes out of scope.
class Query {
 public:
  Query(Store& store, const char* sql) : store_(store), statement_(store.Prepare(sql, status_)) {}
  ~Query() {
    if (statement_) {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(std::int64_t value) {
    if (statement_) sqlite3_bind_int64(statement_, ++bound_, value);
    return *this;
  }
  Query& Bind(std::string_view text) {
    if (statement_) {
      sqlite3_bind_text(statement_, ++bound_, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
    }
    return *this;
  }
  Query& BindBlob(const BYTE* data, DWORD size) {
    // A zero-length blob must still be a blob, not NULL.
    if (statement_ && size) sqlite3_bind_blob(statement_, ++bound_, data, size, SQLITE_TRANSIENT);
    if (statement_ && !size) sqlite3_bind_zeroblob(statement_, ++bound_, 0);
    return *this;
  }
  // True for a row; status() tells a failure from the end of the rows.
  bool Step() {
    if (!statement_) return false;
    const int rc = sqlite3_step(statement_);
    if (rc != SQLITE_ROW) status_ = store_.Note(StatusOf(rc, store_.db()));
    return rc == SQLITE_ROW;
  }
  LONG status() const { return status_; }
  std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  std::string_view Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return text ? std::string_view(text, sqlite3_column_bytes(statement_, column)) : "";
  }
  std::string_view Blob(int column) const {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
    return data ? std::string_view(data, sqlite3_column_bytes(statement_, column)) : "";
  }

 private:
  Store& store_;
  LONG status_ = ERROR_SUCCESS;
  sqlite3_stmt* statement_;
  int bound_ = 0;
};

// BEGIN IMMEDIATE takes the write lock at once (waiting up to the busy timeout), so a write
// never fails half-way for want of the lock. Rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(Store& store) : store_(store) {
    status_ = store.readOnly() ? ERROR_ACCESS_DENIED : store.Exec("BEGIN IMMEDIATE");
    open_ = status_ == ERROR_SUCCESS;
  }
  ~Transaction() {
    if (open_) store_.Exec("ROLLBACK");
  }
  LONG status() const { return status_; }
  LONG Commit() {
    open_ = false;
    const LONG status = store_.Exec("COMMIT");
    if (status) store_.Exec("ROLLBACK");
    return status;
  }

 private:
  Store& store_;
  LONG status_;
  bool open_;
};

// One read transaction around several reads: each transaction takes and drops the file's
// shared lock, so reading a path of several names in one is cheaper, and sees one state.
class ReadTransaction {
 public:
  explicit ReadTransaction(Store& store) : store_(store) {
    Query begin(store, "BEGIN");
    begin.Step();
    open_ = begin.status() == ERROR_SUCCESS;
  }
  ~ReadTransaction() {
    if (open_) Query(store_, "COMMIT").Step();
  }

 private:
  Store& store_;
  bool open_;
};

}  // namespace platform::registry_store
