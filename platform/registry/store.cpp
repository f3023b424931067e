// The registry store's file and its SQLite connection: where the file lives, how it is created
// and checked, and the statements the operations run on it.
#include "platform/registry/store.h"

#include <fcntl.h>
#include <locale.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/base/text.h"

namespace platform::registry_store {
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

// ---------------------------------------------------------------------------------------------
// The store file

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
    // The roots are rows 1..7 of the key table, in the order of their handles.
    for (const RootKeyName& root : kRootKeys) {
      if (status) break;
      const std::string name(root.name);
      const std::string sql = "INSERT INTO keys(id, parent, name, folded) VALUES(" +
                              std::to_string(RootId(root.handle)) + ", 0, '" + name + "', '" +
                              name + "')";
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

}  // namespace platform::registry_store
