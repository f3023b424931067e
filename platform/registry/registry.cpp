// The registry store: one SQLite file, a table of keys (each with its parent's id) and a table
// of values. Every write is one BEGIN IMMEDIATE transaction on a WAL journal with
// synchronous=FULL, so a crash leaves the old or the new state and other processes see whole
// writes. A file that is not a store of ours is never written to.
#include "platform/registry/registry.h"

#include <fcntl.h>
#include <locale.h>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/base/text.h"

namespace {

constexpr char kStoreFileName[] = "registry.db";
constexpr int kApplicationId = 0x50544B59;  // marks a file as a store of ours
// How long a write waits for another process's write to finish before it fails.
constexpr auto kBusyTimeout = std::chrono::seconds(60);
constexpr size_t kMaxKeyNameBytes = 255;
constexpr size_t kMaxValueNameBytes = 16383;
constexpr DWORD kMaxValueBytes = 16u << 20;

// The roots are rows 1..7 of the key table, in the order of their handles.
constexpr const char* kRootNames[] = {
    "HKEY_CLASSES_ROOT",     "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

bool IsRoot(HKEY key) {
  return key >= HKEY_CLASSES_ROOT && key <= HKEY_DYN_DATA;
}
std::int64_t RootId(HKEY root) {
  return static_cast<std::int64_t>(root - HKEY_CLASSES_ROOT) + 1;
}
bool HoldsNothing(HKEY root) {
  return root == HKEY_PERFORMANCE_DATA || root == HKEY_DYN_DATA;
}

// ---------------------------------------------------------------------------------------------
// Names

// The form in which names are compared: upper case, code unit by code unit, with the C library's
// Unicode case table.
std::string FoldName(std::string_view name) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  bool ascii = true;
  for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  std::string folded(name);
  if (ascii || !utf8) {
    for (char& c : folded) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
  }
  std::u16string wide = platform::FromAnsi(name);
  for (char16_t& c : wide) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const wint_t upper = towupper_l(c, utf8);
    if (upper < 0xD800 || (upper > 0xDFFF && upper < 0x10000)) c = static_cast<char16_t>(upper);
  }
  return platform::ToAnsi(wide);
}

// The names of a backslash-separated sub-key path; nullopt when a name is empty or too long.
// A null or empty path gives no names.
std::optional<std::vector<std::string_view>> SplitSubKey(const char* subKey) {
  std::vector<std::string_view> names;
  if (subKey == nullptr || *subKey == '\0') return names;
  std::string_view rest(subKey);
  for (;;) {
    const size_t cut = rest.find('\\');
    const std::string_view name = rest.substr(0, cut);
    if (name.empty() || name.size() > kMaxKeyNameBytes) return std::nullopt;
    names.push_back(name);
    if (cut == std::string_view::npos) return names;
    rest.remove_prefix(cut + 1);
  }
}

std::string StoreFolder() {
  if (const char* prefix = std::getenv("PICTOSS_PREFIX"); prefix && *prefix) return prefix;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
    return std::string(data) + "/pictoss";
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env && *env) {
    home = env;
  } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  return home + "/.local/share/pictoss";
}

std::string StorePath() {
  return StoreFolder() + "/" + kStoreFileName;
}

LONG StatusOfErrno(int error) {
  return error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED
                                                             : ERROR_REGISTRY_IO_FAILED;
}

// Whether this process may change the store file and make the journal files beside it.
bool CanWriteFolderAndFile(const std::string& path) {
  const std::string folder = path.substr(0, path.rfind('/'));
  return access(path.c_str(), W_OK) == 0 && access(folder.c_str(), W_OK) == 0;
}

// Creates the folder (and those above it) and an empty store file with mode 0600. Another
// process may create the file at the same moment; that is fine.
LONG CreateStoreFile(const std::string& path) {
  const std::string folder = path.substr(0, path.rfind('/'));
  size_t slash = 0;
  do {
    slash = folder.find('/', slash + 1);
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return StatusOfErrno(errno);
  } while (slash != std::string::npos);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno == EEXIST ? ERROR_SUCCESS : StatusOfErrno(errno);
  close(fd);
  return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The store file

namespace {

LONG StatusOf(int rc, sqlite3* db) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return ERROR_BADDB;
    case SQLITE_CANTOPEN:
      return db ? StatusOfErrno(sqlite3_system_errno(db)) : ERROR_REGISTRY_IO_FAILED;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

// SQLite's own busy timeout sleeps longer and longer between tries, so under a stream of writes
// from other processes a waiting writer rarely finds the lock free; short sleeps keep its chance.
int WaitWhileBusy(void*, int count) {
  thread_local std::chrono::steady_clock::time_point start;
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) start = now;
  if (now - start > kBusyTimeout) return 0;
  usleep(200 + static_cast<unsigned>(count % 7) * 150);
  return 1;
}

constexpr const char* kSchema[] = {
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL, folded TEXT NOT NULL)",
    "CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded)",
    "CREATE TABLE key_values(key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, folded)) WITHOUT ROWID",
};

// One connection to the store file of the current folder, reopened when the folder or the file
// changes. Key ids stay valid across connections to the same file.
class Store {
 public:
  // Closing the last connection folds the journal back into the file.
  ~Store() { Close(); }
  // Makes the connection to `path` current. When the file does not exist or holds no store yet,
  // a read finds `empty` true; a write creates the file and the tables first.
  LONG Open(const std::string& path, bool forWrite, bool& empty);
  void Close();
  bool readOnly() const { return readOnly_; }
  sqlite3* db() const { return db_; }
  // A prepared statement kept for the life of the connection; `sql` must be a literal.
  sqlite3_stmt* Prepare(const char* sql, LONG& status);
  LONG Exec(const char* sql);

 private:
  LONG Connect(const std::string& path, const struct stat& file);
  LONG ConnectImmutable();
  LONG CheckStore(bool forWrite, bool& empty);
  LONG CreateTables();
  LONG QueryInt(const char* sql, std::int64_t& value);

  sqlite3* db_ = nullptr;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool readOnly_ = false;
  bool verified_ = false;  // the file is known to be a store of ours
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

void Store::Close() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  statements_.clear();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
  path_.clear();
  readOnly_ = verified_ = false;
}

LONG Store::Open(const std::string& path, bool forWrite, bool& empty) {
  empty = false;
  struct stat file {};
  if (stat(path.c_str(), &file) != 0) {
    if (errno != ENOENT) return StatusOfErrno(errno);
    Close();
    if (!forWrite) {
      empty = true;
      return ERROR_SUCCESS;
    }
    if (LONG status = CreateStoreFile(path)) return status;
    if (stat(path.c_str(), &file) != 0) return StatusOfErrno(errno);
  }
  if (db_ && (path != path_ || file.st_dev != device_ || file.st_ino != inode_)) Close();
  if (!db_) {
    if (LONG status = Connect(path, file)) return status;
  }
  if (verified_) return forWrite && readOnly_ ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  return CheckStore(forWrite, empty);
}

LONG Store::Connect(const std::string& path, const struct stat& file) {
  const int rc =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const LONG status = StatusOf(rc, db_);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return status;
  }
  path_ = path;
  device_ = file.st_dev;
  inode_ = file.st_ino;
  readOnly_ = sqlite3_db_readonly(db_, "main") == 1;
  sqlite3_busy_handler(db_, WaitWhileBusy, nullptr);
  sqlite3_extended_result_codes(db_, 0);
  return ERROR_SUCCESS;
}

// A store in a folder or file that we cannot write: SQLite cannot make the journal files that
// WAL readers need, so such a store is read as an unchanging file instead (and never written).
LONG Store::ConnectImmutable() {
  const std::string path = path_;
  const dev_t device = device_;
  const ino_t inode = inode_;
  Close();
  const std::string uri = "file:" + path + "?mode=ro&immutable=1";
  const int rc =
      sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  if (rc != SQLITE_OK) {
    const LONG status = StatusOf(rc, db_);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return status;
  }
  path_ = path;
  device_ = device;
  inode_ = inode;
  readOnly_ = true;
  return ERROR_SUCCESS;
}

LONG Store::QueryInt(const char* sql, std::int64_t& value) {
  LONG status;
  sqlite3_stmt* statement = Prepare(sql, status);
  if (!statement) return status;
  const int rc = sqlite3_step(statement);
  value = rc == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
  sqlite3_reset(statement);
  return StatusOf(rc, db_);
}

LONG Store::Exec(const char* sql) {
  return StatusOf(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), db_);
}

sqlite3_stmt* Store::Prepare(const char* sql, LONG& status) {
  status = ERROR_SUCCESS;
  if (auto found = statements_.find(sql); found != statements_.end()) return found->second;
  sqlite3_stmt* statement = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (rc != SQLITE_OK) {
    status = StatusOf(rc, db_);
    return nullptr;
  }
  statements_[sql] = statement;
  return statement;
}

// Tells a store of ours from a new empty file (which a write turns into a store) and from any
// other file (which is never touched).
LONG Store::CheckStore(bool forWrite, bool& empty) {
  std::int64_t id = 0, tables = 0;
  LONG status = QueryInt("PRAGMA application_id", id);
  if (status == ERROR_ACCESS_DENIED && !CanWriteFolderAndFile(path_)) {
    if ((status = ConnectImmutable())) return status;
    status = QueryInt("PRAGMA application_id", id);
  }
  if (status == ERROR_SUCCESS && id != kApplicationId) {
    status = QueryInt("SELECT count(*) FROM sqlite_master", tables);
  }
  // Set only once the file has been read: the pragma itself reads the file.
  if (status == ERROR_SUCCESS && !readOnly_) status = Exec("PRAGMA synchronous=FULL");
  if (status) return status;
  if (id == kApplicationId) {
    verified_ = true;
    return forWrite && readOnly_ ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  }
  if (id != 0 || tables != 0) return ERROR_BADDB;
  if (!forWrite) {
    empty = true;
    return ERROR_SUCCESS;
  }
  if (readOnly_) return ERROR_ACCESS_DENIED;
  return CreateTables();
}

LONG Store::CreateTables() {
  // The journal mode is kept in the file, so it is set once, before the first transaction.
  if (LONG status = Exec("PRAGMA journal_mode=WAL")) return status;
  if (LONG status = Exec("BEGIN IMMEDIATE")) return status;
  std::int64_t id = 0, tables = 0;
  LONG status = QueryInt("PRAGMA application_id", id);
  if (!status) status = QueryInt("SELECT count(*) FROM sqlite_master", tables);
  if (!status && id != kApplicationId) {
    // Another process may have made the tables since we looked.
    if (id != 0 || tables != 0) status = ERROR_BADDB;
    for (const char* sql : kSchema) {
      if (!status) status = Exec(sql);
    }
    for (int root = 0; root < 7 && !status; ++root) {
      const std::string sql = "INSERT INTO keys(id, parent, name, folded) VALUES(" +
                              std::to_string(root + 1) + ", 0, '" + kRootNames[root] + "', '" +
                              kRootNames[root] + "')";
      status = Exec(sql.c_str());
    }
    if (!status) status = Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
  }
  if (!status) status = Exec("COMMIT");
  if (status) {
    Exec("ROLLBACK");
    return status;
  }
  verified_ = true;
  return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Statements, transactions and the handle table

namespace {

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
    if (rc != SQLITE_ROW) status_ = StatusOf(rc, store_.db());
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

// One read transaction around several reads: each transaction takes and drops the journal's
// read lock, so reading a path of several names in one is cheaper, and sees one state.
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

struct OpenKey {
  std::string store;  // the file the key lives in
  std::int64_t id;
  REGSAM access;
  HKEY root;
};

// The store connection and the handle table, shared by every thread of the process.
std::mutex registryMutex;
Store& TheStore() {
  static Store store;
  return store;
}
std::unordered_map<HKEY, OpenKey>& Handles() {
  static std::unordered_map<HKEY, OpenKey> handles;
  return handles;
}

// An SQLite connection must not be used on both sides of a fork: the connection is closed before
// the fork, and each side opens its own again when it needs it.
void CloseBeforeFork() {
  registryMutex.lock();
  TheStore().Close();
}
void UnlockAfterFork() {
  registryMutex.unlock();
}
const int forkHandlers = pthread_atfork(CloseBeforeFork, UnlockAfterFork, UnlockAfterFork);

std::optional<OpenKey> Lookup(HKEY key) {
  if (IsRoot(key)) return OpenKey{StorePath(), RootId(key), KEY_ALL_ACCESS, key};
  const auto found = Handles().find(key);
  if (found == Handles().end()) return std::nullopt;
  return found->second;
}

HKEY Issue(OpenKey key) {
  static HKEY next = 0x100;
  do {
    next += 4;
    if (next >= HKEY_CLASSES_ROOT) next = 0x104;
  } while (Handles().count(next));
  Handles().emplace(next, std::move(key));
  return next;
}

// ---------------------------------------------------------------------------------------------
// Keys and values

bool KeyExists(Store& store, std::int64_t id) {
  Query query(store, "SELECT 1 FROM keys WHERE id = ?");
  return query.Bind(id).Step();
}

// The status for something not found below an open key: a key deleted since it was opened is
// told apart from a missing name.
LONG NotFound(Store& store, bool empty, const OpenKey& key) {
  if (key.id == RootId(key.root)) return ERROR_FILE_NOT_FOUND;
  if (empty || !KeyExists(store, key.id)) return ERROR_KEY_DELETED;
  return ERROR_FILE_NOT_FOUND;
}

LONG FindChild(Store& store, std::int64_t parent, std::string_view name, std::int64_t& id) {
  Query query(store, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
  if (query.Bind(parent).Bind(FoldName(name)).Step()) {
    id = query.Int(0);
    return ERROR_SUCCESS;
  }
  return query.status() ? query.status() : ERROR_FILE_NOT_FOUND;
}

LONG FindKey(Store& store, std::int64_t id, const std::vector<std::string_view>& names,
             std::int64_t& found) {
  for (std::string_view name : names) {
    if (LONG status = FindChild(store, id, name, id)) return status;
  }
  found = id;
  return ERROR_SUCCESS;
}

// Walks the names below `id`, adding the keys that are missing. Call inside a transaction.
LONG CreateKeys(Store& store, std::int64_t id, const std::vector<std::string_view>& names,
                std::int64_t& found, bool& created) {
  created = false;
  for (std::string_view name : names) {
    LONG status = FindChild(store, id, name, id);
    if (status == ERROR_FILE_NOT_FOUND) {
      Query insert(store, "INSERT INTO keys(parent, name, folded) VALUES(?, ?, ?)");
      const std::int64_t parent = id;
      insert.Bind(parent).Bind(name).Bind(FoldName(name)).Step();
      if ((status = insert.status())) return status;
      id = sqlite3_last_insert_rowid(store.db());
      created = true;
    } else if (status) {
      return status;
    }
  }
  found = id;
  return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The platform operations

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = 0;
  const auto names = SplitSubKey(subKey);
  if (options != 0 || !names) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(registryMutex);
  std::optional<OpenKey> parent = Lookup(key);
  if (!parent) return ERROR_INVALID_HANDLE;
  OpenKey opened{parent->store, parent->id, access, parent->root};
  if (!names->empty()) {
    if (HoldsNothing(parent->root)) return ERROR_FILE_NOT_FOUND;
    bool empty;
    Store& store = TheStore();
    if (LONG status = store.Open(parent->store, false, empty)) return status;
    if (empty) return NotFound(store, empty, *parent);
    ReadTransaction transaction(store);
    LONG status = FindKey(store, parent->id, *names, opened.id);
    if (status == ERROR_FILE_NOT_FOUND) status = NotFound(store, empty, *parent);
    if (status) return status;
  }
  *result = Issue(std::move(opened));
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char*, DWORD options,
                     REGSAM access, void*, HKEY* result, DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = 0;
  const auto names = SplitSubKey(subKey);
  if (reserved != 0 || options != REG_OPTION_NON_VOLATILE || !names) return ERROR_INVALID_PARAMETER;
  // An existing key is opened without a write, so that a read-only store still opens it.
  if (LONG status = RegOpenKeyExA(key, subKey, 0, access, result); status != ERROR_FILE_NOT_FOUND) {
    if (status == ERROR_SUCCESS && disposition) *disposition = REG_OPENED_EXISTING_KEY;
    return status;
  }
  std::lock_guard lock(registryMutex);
  std::optional<OpenKey> parent = Lookup(key);
  if (!parent) return ERROR_INVALID_HANDLE;
  if (HoldsNothing(parent->root) || !(parent->access & KEY_CREATE_SUB_KEY)) {
    return ERROR_ACCESS_DENIED;
  }
  bool empty, created;
  Store& store = TheStore();
  if (LONG status = store.Open(parent->store, true, empty)) return status;
  Transaction transaction(store);
  if (transaction.status()) return transaction.status();
  if (!KeyExists(store, parent->id)) return ERROR_KEY_DELETED;
  OpenKey opened{parent->store, 0, access, parent->root};
  if (LONG status = CreateKeys(store, parent->id, *names, opened.id, created)) return status;
  if (LONG status = transaction.Commit()) return status;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = Issue(std::move(opened));
  return ERROR_SUCCESS;
}

namespace {

// Copies bytes to a caller's buffer by the platform's rules: with no buffer only the size is
// told; a buffer that is too small gets nothing and learns the size needed.
LONG CopyOut(std::string_view bytes, BYTE* data, DWORD* dataSize) {
  const auto size = static_cast<DWORD>(bytes.size());
  if (!data) {
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  if (size) std::memcpy(data, bytes.data(), size);
  *dataSize = size;
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize) {
  if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
  const std::string_view name = valueName ? valueName : "";
  std::lock_guard lock(registryMutex);
  std::optional<OpenKey> open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (HoldsNothing(open->root)) return ERROR_FILE_NOT_FOUND;
  bool empty;
  Store& store = TheStore();
  if (LONG status = store.Open(open->store, false, empty)) return status;
  if (empty) return NotFound(store, empty, *open);
  Query query(store, "SELECT type, data FROM key_values WHERE key = ? AND folded = ?");
  if (!query.Bind(open->id).Bind(FoldName(name)).Step()) {
    return query.status() ? query.status() : NotFound(store, empty, *open);
  }
  if (type) *type = static_cast<DWORD>(query.Int(0));
  return CopyOut(query.Blob(1), data, dataSize);
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD, DWORD type, const BYTE* data,
                    DWORD dataSize) {
  const std::string_view name = valueName ? valueName : "";
  if ((!data && dataSize) || dataSize > kMaxValueBytes || name.size() > kMaxValueNameBytes) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard lock(registryMutex);
  std::optional<OpenKey> open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_SET_VALUE) || HoldsNothing(open->root)) return ERROR_ACCESS_DENIED;
  bool empty;
  Store& store = TheStore();
  if (LONG status = store.Open(open->store, true, empty)) return status;
  Transaction transaction(store);
  if (transaction.status()) return transaction.status();
  if (!KeyExists(store, open->id)) return ERROR_KEY_DELETED;
  Query insert(store,
               "INSERT OR REPLACE INTO key_values(key, name, folded, type, data)"
               " VALUES(?, ?, ?, ?, ?)");
  insert.Bind(open->id).Bind(name).Bind(FoldName(name)).Bind(type).BindBlob(data, dataSize);
  insert.Step();
  if (insert.status()) return insert.status();
  return transaction.Commit();
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
  const std::string_view name = valueName ? valueName : "";
  std::lock_guard lock(registryMutex);
  std::optional<OpenKey> open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (HoldsNothing(open->root)) return ERROR_FILE_NOT_FOUND;
  bool empty;
  Store& store = TheStore();
  if (LONG status = store.Open(open->store, false, empty)) return status;
  if (empty) return NotFound(store, empty, *open);
  if (store.readOnly()) return ERROR_ACCESS_DENIED;
  Transaction transaction(store);
  if (transaction.status()) return transaction.status();
  Query remove(store, "DELETE FROM key_values WHERE key = ? AND folded = ?");
  remove.Bind(open->id).Bind(FoldName(name)).Step();
  if (remove.status()) return remove.status();
  if (sqlite3_changes(store.db()) == 0) return NotFound(store, empty, *open);
  return transaction.Commit();
}

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
  const auto names = SplitSubKey(subKey);
  if (!names || names->empty()) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(registryMutex);
  std::optional<OpenKey> parent = Lookup(key);
  if (!parent) return ERROR_INVALID_HANDLE;
  if (HoldsNothing(parent->root)) return ERROR_FILE_NOT_FOUND;
  bool empty;
  Store& store = TheStore();
  if (LONG status = store.Open(parent->store, false, empty)) return status;
  if (empty) return NotFound(store, empty, *parent);
  Transaction transaction(store);
  if (transaction.status()) return transaction.status();
  std::int64_t id;
  LONG status = FindKey(store, parent->id, *names, id);
  if (status == ERROR_FILE_NOT_FOUND) status = NotFound(store, empty, *parent);
  if (status) return status;
  Query children(store, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
  if (children.Bind(id).Step()) return ERROR_ACCESS_DENIED;
  if (children.status()) return children.status();
  Query values(store, "DELETE FROM key_values WHERE key = ?");
  values.Bind(id).Step();
  Query remove(store, "DELETE FROM keys WHERE id = ?");
  if (!values.status()) remove.Bind(id).Step();
  if (LONG failed = values.status() ? values.status() : remove.status()) return failed;
  return transaction.Commit();
}

LONG RegCloseKey(HKEY key) {
  if (IsRoot(key)) return ERROR_SUCCESS;
  std::lock_guard lock(registryMutex);
  return Handles().erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

namespace {

LONG CopyName(std::string_view text, char* name, DWORD* nameSize) {
  if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
  if (text.size() + 1 > *nameSize) return ERROR_MORE_DATA;
  std::memcpy(name, text.data(), text.size());
  name[text.size()] = '\0';
  *nameSize = static_cast<DWORD>(text.size());
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                   char* keyClass, DWORD* classSize, void* lastWriteTime) {
  if (reserved || keyClass || classSize || lastWriteTime) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(registryMutex);
  std::optional<OpenKey> open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  bool empty;
  Store& store = TheStore();
  if (LONG status = store.Open(open->store, false, empty)) return status;
  if (empty || HoldsNothing(open->root)) return ERROR_NO_MORE_ITEMS;
  Query query(store, "SELECT name FROM keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
  if (!query.Bind(open->id).Bind(static_cast<std::int64_t>(index)).Step()) {
    return query.status() ? query.status() : ERROR_NO_MORE_ITEMS;
  }
  return CopyName(query.Text(0), name, nameSize);
}

LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* valueNameSize, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* dataSize) {
  if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(registryMutex);
  std::optional<OpenKey> open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  bool empty;
  Store& store = TheStore();
  if (LONG status = store.Open(open->store, false, empty)) return status;
  if (empty || HoldsNothing(open->root)) return ERROR_NO_MORE_ITEMS;
  Query query(store,
              "SELECT name, type, data FROM key_values WHERE key = ? ORDER BY folded"
              " LIMIT 1 OFFSET ?");
  if (!query.Bind(open->id).Bind(static_cast<std::int64_t>(index)).Step()) {
    return query.status() ? query.status() : ERROR_NO_MORE_ITEMS;
  }
  if (LONG status = CopyName(query.Text(0), valueName, valueNameSize)) return status;
  if (type) *type = static_cast<DWORD>(query.Int(1));
  return CopyOut(query.Blob(2), data, dataSize);
}

namespace platform {

std::string RegistryStoreFileName() {
  return StorePath();
}

}  // namespace platform
