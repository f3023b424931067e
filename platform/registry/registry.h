// The registry: keys by backslash-separated path below seven predefined roots, each key holding
// named values of a type and raw bytes. Stored in one SQLite file in the machine's folder
// ($PICTOSS_PREFIX, else $XDG_DATA_HOME/pictoss, else ~/.local/share/pictoss), looked up anew
// whenever a key is opened below a root. Key handles are 32-bit values from a process-wide
// table, owned by the caller until RegCloseKey. Names (ANSI, UTF-8 here) are matched without
// regard to case and kept as written; the empty value name is the key's default value.
// Thread-safe; safe across processes (every write is one transaction).
#pragma once

#include <string>
#include <string_view>

#include "platform/base/windef.h"

using REGSAM = DWORD;

// The predefined root keys. HKEY_PERFORMANCE_DATA and HKEY_DYN_DATA exist and hold nothing.
constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr HKEY HKEY_USERS = 0x80000003u;
constexpr HKEY HKEY_PERFORMANCE_DATA = 0x80000004u;
constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005u;
constexpr HKEY HKEY_DYN_DATA = 0x80000006u;

// The seven roots by name, in the order of their handles, with the short names that command
// lines accept ("" where there is none).
struct RootKeyName {
  HKEY handle;
  std::string_view name;
  std::string_view shortName;
};
inline constexpr RootKeyName kRootKeys[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
    {HKEY_USERS, "HKEY_USERS", "HKU"},
    {HKEY_PERFORMANCE_DATA, "HKEY_PERFORMANCE_DATA", ""},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"},
    {HKEY_DYN_DATA, "HKEY_DYN_DATA", ""},
};

// Status codes.
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;  // no such key or value
constexpr LONG ERROR_ACCESS_DENIED = 5;   // the handle's access mask, or a store that cannot
                                          // be written
constexpr LONG ERROR_INVALID_HANDLE = 6;  // 0, closed or never issued
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;      // buffer too small; the size needed is written back
constexpr LONG ERROR_NO_MORE_ITEMS = 259;  // enumeration past the last item
constexpr LONG ERROR_BADDB = 1009;         // the store file is corrupt or not a store
constexpr LONG ERROR_KEY_DELETED = 1018;   // the key behind an open handle was deleted
constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;  // the store file cannot be read or written

// Access rights of an opened key.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Value types. The store keeps the type as given and never interprets the bytes.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens an existing key below `key` (a root or an open key); never creates one. A null or empty
// sub-key opens a new handle to `key` itself. `options` must be 0.
PLATFORM_API LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                                HKEY* result);

// Opens the key, creating it and every missing key above it first. `reserved` must be 0;
// `keyClass` and `security` are ignored. `disposition` (may be null) receives
// REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
PLATFORM_API LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass,
                                  DWORD options, REGSAM access, void* security, HKEY* result,
                                  DWORD* disposition);

// Reads a value. `reserved` must be null. `type` (may be null) receives the stored type. With
// `data` null, only the size is written to `dataSize`; with a buffer shorter than the value, the
// status is ERROR_MORE_DATA and `dataSize` receives the size needed. Needs KEY_QUERY_VALUE.
PLATFORM_API LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                                   BYTE* data, DWORD* dataSize);

// Stores a value, replacing one of the same name (the name keeps the new spelling). Needs
// KEY_SET_VALUE.
PLATFORM_API LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                                 const BYTE* data, DWORD dataSize);

// Needs KEY_SET_VALUE.
PLATFORM_API LONG RegDeleteValueA(HKEY key, const char* valueName);

// Deletes a key below `key` with its values; a key that still has sub-keys is refused with
// ERROR_ACCESS_DENIED, and so is a root. Handles open on the deleted key go stale
// (ERROR_KEY_DELETED).
PLATFORM_API LONG RegDeleteKeyA(HKEY key, const char* subKey);

// Closing a root is allowed and does nothing.
PLATFORM_API LONG RegCloseKey(HKEY key);

// Enumeration, in the order of the names without regard to case. `nameSize` is in characters
// (bytes here) on the way in, without the NUL on the way out; a name that does not fit with its
// NUL gives ERROR_MORE_DATA. Past the last item: ERROR_NO_MORE_ITEMS. Needs
// KEY_ENUMERATE_SUB_KEYS for keys and KEY_QUERY_VALUE for values. Unused platform arguments
// (class, last write time) must be null.
PLATFORM_API LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                                char* keyClass, DWORD* classSize, void* lastWriteTime);
PLATFORM_API LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* valueNameSize,
                                DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize);

namespace platform {

// The store file that the next open below a root would use (for tests and the host's
// messages): the folder from the environment, then "registry.db".
PLATFORM_API std::string RegistryStoreFileName();

}  // namespace platform
