// The registry store: one SQLite file, a table of keys (each with its parent's id) and a table
// of values. Every write is one BEGIN IMMEDIATE transaction on SQLite's rollback journal with
// synchronous=FULL, so a crash leaves the old or the new state and other processes see whole
// writes; a read opens the store file alone. A file that is not a store of ours is never
// written to.
#include "platform/registry/registry.h"

#include <pthread.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/base/text.h"
#include "platform/registry/store.h"

using namespace platform::registry_store;

// ---------------------------------------------------------------------------------------------
// Statements, transactions and the handle table

namespace {

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

// A key whose values or subkeys a call reads or changes, and whether its store was empty.
struct Below {
  OpenKey key{};
  bool empty = false;
};

// The checks before a call reads or changes what lies below a key: a live handle, opened with
// `access`, a root that holds something, and its store open for `mode` and not empty.
// Requires: registryMutex is held.
LONG OpenBelow(HKEY key, REGSAM access, Store::Access mode, Below& below) {
  std::optional<OpenKey> found = Lookup(key);
  if (!found) return ERROR_INVALID_HANDLE;
  if ((found->access & access) != access) return ERROR_ACCESS_DENIED;
  if (HoldsNothing(found->root)) return ERROR_FILE_NOT_FOUND;
  below.key = std::move(*found);
  Store& store = TheStore();
  if (LONG status = store.Open(below.key.store, mode, below.empty)) return status;
  return below.empty ? NotFound(store, below.empty, below.key) : ERROR_SUCCESS;
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
    if (LONG status = store.Open(parent->store, Store::kRead, empty)) return status;
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
  if (LONG status = store.Open(parent->store, Store::kCreate, empty)) return status;
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
  Below open;
  if (LONG status = OpenBelow(key, KEY_QUERY_VALUE, Store::kRead, open)) return status;
  Store& store = TheStore();
  Query query(store, "SELECT type, data FROM key_values WHERE key = ? AND folded = ?");
  if (!query.Bind(open.key.id).Bind(FoldName(name)).Step()) {
    return query.status() ? query.status() : NotFound(store, open.empty, open.key);
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
  if (LONG status = store.Open(open->store, Store::kCreate, empty)) return status;
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
  Below open;
  if (LONG status = OpenBelow(key, KEY_SET_VALUE, Store::kWrite, open)) return status;
  Store& store = TheStore();
  if (store.readOnly()) return ERROR_ACCESS_DENIED;
  Transaction transaction(store);
  if (transaction.status()) return transaction.status();
  Query remove(store, "DELETE FROM key_values WHERE key = ? AND folded = ?");
  remove.Bind(open.key.id).Bind(FoldName(name)).Step();
  if (remove.status()) return remove.status();
  if (sqlite3_changes(store.db()) == 0) return NotFound(store, open.empty, open.key);
  return transaction.Commit();
}

namespace {

// Finds subKey below key in a write transaction and hands its id to erase, which deletes what
// it must; commits when erase succeeds.
template <typename Erase>
LONG DeleteSubKey(HKEY key, const char* subKey, Erase erase) {
  const auto names = SplitSubKey(subKey);
  if (!names || names->empty()) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(registryMutex);
  Below parent;
  if (LONG status = OpenBelow(key, 0, Store::kWrite, parent)) return status;
  Store& store = TheStore();
  Transaction transaction(store);
  if (transaction.status()) return transaction.status();
  std::int64_t id;
  LONG status = FindKey(store, parent.key.id, *names, id);
  if (status == ERROR_FILE_NOT_FOUND) status = NotFound(store, parent.empty, parent.key);
  if (status) return status;
  if (LONG failed = erase(store, id)) return failed;
  return transaction.Commit();
}

// Deletes the values, then the keys, that the two statements select by the key's id.
LONG DeleteRows(Store& store, std::int64_t id, const char* valuesSql, const char* keysSql) {
  Query values(store, valuesSql);
  values.Bind(id).Step();
  Query remove(store, keysSql);
  if (!values.status()) remove.Bind(id).Step();
  return values.status() ? values.status() : remove.status();
}

}  // namespace

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
  return DeleteSubKey(key, subKey, [](Store& store, std::int64_t id) -> LONG {
    Query children(store, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
    if (children.Bind(id).Step()) return ERROR_ACCESS_DENIED;
    if (children.status()) return children.status();
    return DeleteRows(store, id, "DELETE FROM key_values WHERE key = ?",
                      "DELETE FROM keys WHERE id = ?");
  });
}

LONG RegDeleteTreeA(HKEY key, const char* subKey) {
  // SQLite walks a recursive query with a queue, so a tree of any depth is deleted without
  // deep recursion.
  return DeleteSubKey(key, subKey, [](Store& store, std::int64_t id) {
    return DeleteRows(store, id,
                      "WITH RECURSIVE tree(id) AS (SELECT ? UNION ALL SELECT keys.id FROM keys"
                      " JOIN tree ON keys.parent = tree.id)"
                      " DELETE FROM key_values WHERE key IN tree",
                      "WITH RECURSIVE tree(id) AS (SELECT ? UNION ALL SELECT keys.id FROM keys"
                      " JOIN tree ON keys.parent = tree.id)"
                      " DELETE FROM keys WHERE id IN tree");
  });
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

// Row `index` of sql (which takes the key's id and the offset) for a key opened with `access`,
// handed to take; ERROR_NO_MORE_ITEMS past the last row.
template <typename Take>
LONG EnumRow(HKEY key, REGSAM access, DWORD index, const char* sql, Take take) {
  std::lock_guard lock(registryMutex);
  std::optional<OpenKey> open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & access)) return ERROR_ACCESS_DENIED;
  bool empty;
  Store& store = TheStore();
  if (LONG status = store.Open(open->store, Store::kRead, empty)) return status;
  if (empty || HoldsNothing(open->root)) return ERROR_NO_MORE_ITEMS;
  Query query(store, sql);
  if (!query.Bind(open->id).Bind(static_cast<std::int64_t>(index)).Step()) {
    return query.status() ? query.status() : ERROR_NO_MORE_ITEMS;
  }
  return take(query);
}

}  // namespace

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                   char* keyClass, DWORD* classSize, void* lastWriteTime) {
  if (reserved || keyClass || classSize || lastWriteTime) return ERROR_INVALID_PARAMETER;
  return EnumRow(key, KEY_ENUMERATE_SUB_KEYS, index,
                 "SELECT name FROM keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?",
                 [&](Query& row) { return CopyName(row.Text(0), name, nameSize); });
}

LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* valueNameSize, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* dataSize) {
  if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
  return EnumRow(key, KEY_QUERY_VALUE, index,
                 "SELECT name, type, data FROM key_values WHERE key = ? ORDER BY folded"
                 " LIMIT 1 OFFSET ?",
                 [&](Query& row) {
                   if (LONG status = CopyName(row.Text(0), valueName, valueNameSize)) return status;
                   if (type) *type = static_cast<DWORD>(row.Int(1));
                   return CopyOut(row.Blob(2), data, dataSize);
                 });
}

namespace platform {

std::string RegistryStoreFileName() {
  return StorePath();
}

std::string RegistryStoreProblem() {
  std::lock_guard lock(registryMutex);
  return TheStore().problem();
}

void SetRegistryWaitNotice(void (*notice)(const std::string& text)) {
  std::lock_guard lock(registryMutex);
  SetWaitNotice(notice);
}

}  // namespace platform
