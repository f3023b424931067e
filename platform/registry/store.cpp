// The registry store's file and its SQLite connection: where the file lives, how it is created
// and checked, and the statements the operations run on it.
#include "platform/registry/store.h"

#include <fcntl.h>
#include <locale.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/base/text.h"

namespace platform::registry_store {
// ---------------------------------------------------------------------------------------------
// Names

namespace {
// The C library's Unicode case table, loaded when a name beyond ASCII is first folded.
locale_t Utf8Ctype() {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return utf8;
}
}  // namespace

// The form in which names are compared: upper case, code unit by code unit, with the C library's
// Unicode case table.
std::string FoldName(std::string_view name) {
  bool ascii = true;
  for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  std::string folded(name);
  const locale_t utf8 = ascii ? static_cast<locale_t>(0) : Utf8Ctype();
  if (!utf8) {
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

namespace {

// Whether this process may change the store file and make the journal file beside it.
bool CanWriteFolderAndFile(const std::string& path) {
  const std::string folder = path.substr(0, path.rfind('/'));
  return access(path.c_str(), W_OK) == 0 && access(folder.c_str(), W_OK) == 0;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ErrnoText(int error) {
  return std::strerror(error);
}

// A store is trusted as ssh trusts its folder: the file and its folder belong to this user (or
// to root), and nobody else may write them. Anyone else who could would choose the modules that
// the store names, and so the code that its reader runs. Returns the reason when not trusted.
std::optional<std::string> Untrusted(const std::string& name, const struct stat& st, uid_t me) {
  if (st.st_uid != me && st.st_uid != 0) {
    return name + ": not trusted: it belongs to another user (uid " + std::to_string(st.st_uid) +
           ")";
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return name + ": not trusted: other users may write it (mode " + mode + ")";
  }
  return std::nullopt;
}

// The journal files take the store file's permission bits when they are made. One made while
// the store file was read-only stays so and would refuse every later write: when the store file
// may be written again, so may our own journal files (the WAL journal's two of a store made
// before stores kept a rollback journal, or a rollback journal that a crash left behind).
void RepairJournalModes(const std::string& path, const struct stat& file) {
  if (!(file.st_mode & S_IWUSR)) return;
  for (const char* suffix : {"-shm", "-wal", "-journal"}) {
    const std::string journal = path + suffix;
    struct stat st {};
    if (lstat(journal.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        !(st.st_mode & S_IWUSR)) {
      chmod(journal.c_str(), file.st_mode & 0666);
    }
  }
}

LONG ExecOn(sqlite3* db, const char* sql) {
  return StatusOf(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db);
}

constexpr const char* kSchema[] = {
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL, folded TEXT NOT NULL)",
    "CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded)",
    "CREATE TABLE key_values(key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, folded)) WITHOUT ROWID",
};

// The tables, the seven roots and our mark. Call inside a transaction.
LONG CreateSchema(sqlite3* db) {
  LONG status = ERROR_SUCCESS;
  for (const char* sql : kSchema) {
    if (!status) status = ExecOn(db, sql);
  }
  // The roots are rows 1..7 of the key table, in the order of their handles.
  for (const RootKeyName& root : kRootKeys) {
    if (status) break;
    const std::string name(root.name);
    const std::string sql = "INSERT INTO keys(id, parent, name, folded) VALUES(" +
                            std::to_string(RootId(root.handle)) + ", 0, '" + name + "', '" + name +
                            "')";
    status = ExecOn(db, sql.c_str());
  }
  const std::string mark = "PRAGMA application_id=" + std::to_string(kApplicationId);
  if (!status) status = ExecOn(db, mark.c_str());
  return status;
}

// A whole new store in the empty file at `path`. It keeps SQLite's rollback journal: a reader
// opens the store file alone and makes no file beside it, where a WAL journal would have every
// reader create its two files (and a reader in a folder it may not write could not read).
LONG BuildStore(const std::string& path) {
  sqlite3* db = nullptr;
  LONG status = StatusOf(
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr), db);
  if (!status) status = ExecOn(db, "PRAGMA synchronous=FULL");
  if (!status) status = ExecOn(db, "BEGIN");
  if (!status) status = CreateSchema(db);
  if (!status) status = ExecOn(db, "COMMIT");
  if (sqlite3_close_v2(db) != SQLITE_OK && !status) status = ERROR_REGISTRY_IO_FAILED;
  return status;
}

// Creates the folder (and those above it) with mode 0700, and the store file with mode 0600.
// The store is made whole in a hidden file beside its place and then linked there, so that no
// process ever finds a store file without its tables: of several processes that create the
// store at once, the first link wins and the others use its file. Sets `problem` on failure.
LONG CreateStoreFile(const std::string& path, std::string& problem) {
  const std::string folder = FolderOf(path);
  size_t slash = 0;
  do {
    slash = folder.find('/', slash + 1);
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      problem = "cannot create the folder " + part + ": " + ErrnoText(errno);
      return StatusOfErrno(errno);
    }
  } while (slash != std::string::npos);
  std::string temp = folder + "/." + kStoreFileName + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    problem = "cannot create a file in " + folder + ": " + ErrnoText(errno);
    return StatusOfErrno(errno);
  }
  close(fd);
  LONG status = BuildStore(temp);
  if (status) {
    problem = "cannot make a new store in " + temp;
  } else if (link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    problem = "cannot create " + path + ": " + ErrnoText(errno);
    status = StatusOfErrno(errno);
  }
  for (const char* suffix : {"", "-journal"}) unlink((temp + suffix).c_str());
  if (!status) {
    // The new name reaches the disk with the folder.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  return status;
}

// How a wait for another process's lock is told to the user, and how long it lasts before that.
void (*waitNotice)(const std::string&) = nullptr;
constexpr auto kNoticeAfter = std::chrono::seconds(1);

}  // namespace

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
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_LOCK_VIOLATION;
    case SQLITE_CANTOPEN:
      return db ? StatusOfErrno(sqlite3_system_errno(db)) : ERROR_REGISTRY_IO_FAILED;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

// SQLite's own busy timeout sleeps longer and longer between tries, so under a stream of writes
// from other processes a waiting writer rarely finds the lock free; short sleeps keep its chance.
int Store::WaitWhileBusy(void* self, int count) {
  Store& store = *static_cast<Store*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) {
    store.waitStart_ = now;
    store.noticed_ = false;
  }
  if (now - store.waitStart_ > kBusyTimeout) return 0;
  if (!store.noticed_ && now - store.waitStart_ >= kNoticeAfter && waitNotice) {
    store.noticed_ = true;
    waitNotice("waiting for the registry store " + store.path_ +
               ": another process holds its lock (for up to " +
               std::to_string(kBusyTimeout.count()) + " s)");
  }
  usleep(200 + static_cast<unsigned>(count % 7) * 150);
  return 1;
}

void Store::Close() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  statements_.clear();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
  path_.clear();
  writer_ = verified_ = false;
}

LONG Store::Note(LONG status) {
  // The first failure of an operation is its cause; a rollback after it may fail too.
  if (!problem_.empty()) return status;
  if (status == ERROR_BADDB) {
    problem_ = path_ + ": the store is corrupt (" + sqlite3_errmsg(db_) + ")";
  } else if (status == ERROR_LOCK_VIOLATION) {
    problem_ = path_ + ": another process held its lock for longer than " +
               std::to_string(kBusyTimeout.count()) + " s";
  } else if (status == ERROR_REGISTRY_IO_FAILED) {
    problem_ = path_ + ": " + sqlite3_errmsg(db_);
    if (const int error = sqlite3_system_errno(db_)) problem_ += " (" + ErrnoText(error) + ")";
  }
  return status;
}

// The folder is checked whenever a connection is to be made: a file that takes the store's place
// later has another identity, and is checked with its folder again. The file itself is checked
// on every use (its owner and mode come with the stat that tells its identity).
LONG Store::CheckFolderAndFile(const std::string& path, Access access, struct stat& file,
                               bool& missing) {
  missing = false;
  const bool exists = stat(path.c_str(), &file) == 0;
  if (!exists && errno != ENOENT) return Fail(StatusOfErrno(errno), path + ": " + ErrnoText(errno));
  if (!exists && access != kCreate) {
    missing = true;
    return ERROR_SUCCESS;
  }
  const bool connected =
      db_ && exists && path == path_ && file.st_dev == device_ && file.st_ino == inode_;
  if (!connected) {
    me_ = geteuid();
    const std::string folder = FolderOf(path);
    struct stat dir {};
    if (stat(folder.c_str(), &dir) == 0) {
      if (auto why = Untrusted(folder, dir, me_)) return Fail(ERROR_ACCESS_DENIED, *why);
    } else if (errno != ENOENT) {
      return Fail(StatusOfErrno(errno), folder + ": " + ErrnoText(errno));
    }
  }
  if (!exists) {
    std::string problem;
    if (LONG status = CreateStoreFile(path, problem)) return Fail(status, problem);
    if (stat(path.c_str(), &file) != 0) {
      return Fail(StatusOfErrno(errno), path + ": " + ErrnoText(errno));
    }
  }
  if (!S_ISREG(file.st_mode)) return Fail(ERROR_BADDB, path + ": not a file");
  if (auto why = Untrusted(path, file, me_)) return Fail(ERROR_ACCESS_DENIED, *why);
  return ERROR_SUCCESS;
}

LONG Store::Open(const std::string& path, Access access, bool& empty) {
  empty = false;
  problem_.clear();
  struct stat file {};
  bool missing;
  if (LONG status = CheckFolderAndFile(path, access, file, missing)) return status;
  if (missing) {
    Close();
    empty = true;
    return ERROR_SUCCESS;
  }
  if (db_ && (path != path_ || file.st_dev != device_ || file.st_ino != inode_)) Close();
  // Reads too go through a connection that can write where the file may be written, so that a
  // reader rolls back the journal of a writer that died half-way (a read-only connection fails
  // on it). One that cannot write is replaced once the file may be written again.
  if (db_ && !writer_ && CanWriteFolderAndFile(path)) Close();
  if (!db_) {
    const bool forWrite = access != kRead || CanWriteFolderAndFile(path);
    if (LONG status = Connect(path, file, forWrite)) return status;
  }
  if (verified_) return access != kRead && !writer_ ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  return CheckStore(access, empty);
}

// A connection that could not be opened: says why, and leaves none. SQLite says only that it
// cannot open the file; the system's reason comes from opening it ourselves.
LONG Store::OpenFailed(int rc, const std::string& path) {
  const LONG status = StatusOf(rc, db_);
  problem_ = path + ": " + sqlite3_errmsg(db_);
  if ((rc & 0xff) == SQLITE_CANTOPEN) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
      problem_ = path + ": the store file cannot be read (" + ErrnoText(errno) + ")";
    } else {
      close(fd);
    }
  }
  sqlite3_close_v2(db_);
  db_ = nullptr;
  return status;
}

LONG Store::Connect(const std::string& path, const struct stat& file, bool forWrite) {
  if (forWrite) RepairJournalModes(path, file);
  const int flags = (forWrite ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) return OpenFailed(rc, path);
  path_ = path;
  device_ = file.st_dev;
  inode_ = file.st_ino;
  writer_ = forWrite && sqlite3_db_readonly(db_, "main") == 0;
  sqlite3_busy_handler(db_, WaitWhileBusy, this);
  sqlite3_extended_result_codes(db_, 0);
  return ERROR_SUCCESS;
}

// A store on a WAL journal (as stores were made before) in a folder or file that we cannot
// write: SQLite cannot make the journal files that WAL readers need, so such a store is read as
// an unchanging file instead (and never written).
LONG Store::ConnectImmutable() {
  const std::string path = path_;
  const dev_t device = device_;
  const ino_t inode = inode_;
  Close();
  const std::string uri = "file:" + path + "?mode=ro&immutable=1";
  const int rc =
      sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  if (rc != SQLITE_OK) return OpenFailed(rc, path);
  path_ = path;
  device_ = device;
  inode_ = inode;
  writer_ = false;
  return ERROR_SUCCESS;
}

// One statement reads both, so both come from one state of the file: another process that is
// making the tables commits them together with the mark, never in between the two reads.
LONG Store::ReadMark(std::int64_t& id, std::int64_t& tables) {
  LONG status;
  sqlite3_stmt* statement = Prepare(
      "SELECT application_id, (SELECT count(*) FROM sqlite_master) FROM pragma_application_id",
      status);
  if (!statement) return status;
  const int rc = sqlite3_step(statement);
  id = rc == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
  tables = rc == SQLITE_ROW ? sqlite3_column_int64(statement, 1) : 0;
  sqlite3_reset(statement);
  return Note(StatusOf(rc, db_));
}

LONG Store::Exec(const char* sql) {
  return Note(ExecOn(db_, sql));
}

sqlite3_stmt* Store::Prepare(const char* sql, LONG& status) {
  status = ERROR_SUCCESS;
  if (auto found = statements_.find(sql); found != statements_.end()) return found->second;
  sqlite3_stmt* statement = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (rc != SQLITE_OK) {
    status = Note(StatusOf(rc, db_));
    return nullptr;
  }
  statements_[sql] = statement;
  return statement;
}

// Tells a store of ours from a new empty file (which a write turns into a store) and from any
// other file (which is never touched).
LONG Store::CheckStore(Access access, bool& empty) {
  std::int64_t id = 0, tables = 0;
  LONG status = ReadMark(id, tables);
  if (status && status != ERROR_BADDB && !CanWriteFolderAndFile(path_)) {
    if ((status = ConnectImmutable())) return status;
    status = ReadMark(id, tables);
  }
  // Set only once the file has been read: the pragma itself reads the file.
  if (status == ERROR_SUCCESS && writer_) status = Exec("PRAGMA synchronous=FULL");
  if (status) return status;
  if (id == kApplicationId) {
    verified_ = true;
    if (writer_) LeaveWalJournal();
    return access != kRead && !writer_ ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  }
  if (id != 0 || tables != 0) {
    return Fail(ERROR_BADDB, path_ + ": not a registry store (a database of another program)");
  }
  if (access != kCreate) {
    empty = true;
    return ERROR_SUCCESS;
  }
  if (!writer_) return ERROR_ACCESS_DENIED;
  return CreateTables();
}

// Makes an empty store file, such as a crash between creating a file and filling it may have
// left, into a store.
LONG Store::CreateTables() {
  // A file that only looks empty (a damaged one whose table list reads as none) must not be
  // written to: it is checked whole first, which reads without writing.
  if (LONG status = CheckWhole()) return status;
  if (LONG status = Exec("BEGIN IMMEDIATE")) return status;
  std::int64_t id = 0, tables = 0;
  LONG status = ReadMark(id, tables);
  if (!status && id != kApplicationId) {
    // Another process may have made the tables since we looked.
    if (id != 0 || tables != 0) status = ERROR_BADDB;
    if (!status) status = Note(CreateSchema(db_));
  }
  if (!status) status = Exec("COMMIT");
  if (status) {
    Exec("ROLLBACK");
    return status;
  }
  verified_ = true;
  return ERROR_SUCCESS;
}

// A store made on a WAL journal is moved to the rollback journal, so that its readers stop
// making the WAL's files. The switch needs the only connection to the file: while another
// process has it open, it is left for a later connection, without waiting.
void Store::LeaveWalJournal() {
  LONG status;
  sqlite3_stmt* mode = Prepare("PRAGMA journal_mode", status);
  if (!mode) return;
  const bool wal =
      sqlite3_step(mode) == SQLITE_ROW &&
      sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal") == 0;
  sqlite3_reset(mode);
  if (!wal) return;
  sqlite3_busy_handler(db_, nullptr, nullptr);
  sqlite3_exec(db_, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
  sqlite3_busy_handler(db_, WaitWhileBusy, this);
}

LONG Store::CheckWhole() {
  LONG status;
  sqlite3_stmt* statement = Prepare("PRAGMA quick_check(1)", status);
  if (!statement) return status;
  const int rc = sqlite3_step(statement);
  const char* result =
      rc == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)) : nullptr;
  std::string verdict = result ? result : "";
  std::replace(verdict.begin(), verdict.end(), '\n', ' ');  // one line for the message
  sqlite3_reset(statement);
  if (rc != SQLITE_ROW) return Note(StatusOf(rc, db_));
  if (verdict == "ok") return ERROR_SUCCESS;
  return Fail(ERROR_BADDB, path_ + ": the store is corrupt (" + verdict + ")");
}

void SetWaitNotice(void (*notice)(const std::string& text)) {
  waitNotice = notice;
}

}  // namespace platform::registry_store
