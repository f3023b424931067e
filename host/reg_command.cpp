// pictoss reg: the registry tool, after the platform's own "reg" command. It reads and edits the
// same store that the plug-in uses, so that a user (or a script) can create the settings key.
#include <strings.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host/command.h"
#include "platform/registry/registry.h"

namespace host {
namespace {

// What the command line asks for: the key, and the value when /v, /ve or /d was given.
struct Request {
  HKEY root = 0;
  std::string rootName;  // the full name, for printing
  std::string subKey;
  std::optional<std::string> valueName;
  std::optional<std::string> data;
};

int Fail(const char* message) {
  std::fprintf(stderr, "ERROR: %s\n", message);
  return 1;
}

int FailStatus(LONG status) {
  switch (status) {
    case ERROR_FILE_NOT_FOUND:
      return Fail("The system was unable to find the specified registry key or value.");
    case ERROR_ACCESS_DENIED:
      return Fail("Access is denied.");
    case ERROR_BADDB:
      return Fail(("The registry store is corrupt: " + platform::RegistryStoreFileName()).c_str());
    case ERROR_REGISTRY_IO_FAILED:
      return Fail(
          ("The registry store cannot be read or written: " + platform::RegistryStoreFileName())
              .c_str());
    default:
      std::fprintf(stderr, "ERROR: The operation failed with status %d.\n", status);
      return 1;
  }
}

bool ParseKey(const std::string& key, Request& request) {
  const size_t slash = key.find('\\');
  const std::string root = key.substr(0, slash);
  for (const RootKeyName& name : kRootKeys) {
    if (strcasecmp(root.c_str(), std::string(name.name).c_str()) == 0 ||
        (!name.shortName.empty() &&
         strcasecmp(root.c_str(), std::string(name.shortName).c_str()) == 0)) {
      request.root = name.handle;
      request.rootName = name.name;
    }
  }
  if (slash != std::string::npos) request.subKey = key.substr(slash + 1);
  while (!request.subKey.empty() && request.subKey.back() == '\\') request.subKey.pop_back();
  return request.root != 0;
}

// Reads KEY and the options; /d only where `allowData`. Prints what is wrong and returns false.
bool ParseRequest(const std::vector<std::string>& args, bool allowData, Request& request) {
  if (args.size() < 2) return Fail("No key name given (try: pictoss help)."), false;
  if (!ParseKey(args[1], request)) return Fail("Invalid key name."), false;
  for (size_t i = 2; i < args.size(); ++i) {
    const char* option = args[i].c_str();
    const bool hasArgument = i + 1 < args.size();
    if (strcasecmp(option, "/v") == 0 && hasArgument) {
      request.valueName = args[++i];
    } else if (strcasecmp(option, "/ve") == 0) {
      request.valueName = "";
    } else if (strcasecmp(option, "/d") == 0 && hasArgument && allowData) {
      request.data = args[++i];
    } else if (strcasecmp(option, "/t") == 0 && hasArgument && allowData) {
      if (strcasecmp(args[++i].c_str(), "REG_SZ") != 0) {
        return Fail("Only REG_SZ values can be added."), false;
      }
    } else if (strcasecmp(option, "/f") != 0) {
      std::fprintf(stderr, "ERROR: Invalid syntax near '%s'.\n", option);
      return false;
    }
  }
  return true;
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    default:
      return "REG_UNKNOWN";
  }
}

std::string FormatData(DWORD type, const std::string& data) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) return data.substr(0, data.find('\0'));
  if (type == REG_DWORD && data.size() == 4) {
    DWORD value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[i]);
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
  }
  if (type == REG_MULTI_SZ) {
    std::string text = data;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    for (size_t at; (at = text.find('\0')) != std::string::npos;) text.replace(at, 1, "\\0");
    return text;
  }
  std::string hex;
  for (unsigned char c : data) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", c);
    hex += pair;
  }
  return hex;
}

void PrintValue(const std::string& name, DWORD type, const std::string& data) {
  std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), TypeName(type),
              FormatData(type, data).c_str());
}

// Value names match without regard to case; the name is shown as it was stored.
std::string StoredValueName(HKEY key, const std::string& name) {
  for (DWORD index = 0;; ++index) {
    char stored[16384];
    DWORD size = sizeof stored;
    if (RegEnumValueA(key, index, stored, &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return name;
    }
    if (strcasecmp(stored, name.c_str()) == 0) return stored;
  }
}

LONG QueryOne(HKEY key, const std::string& name) {
  DWORD type = 0, size = 0;
  LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
  std::string data(size, '\0');
  if (status == ERROR_SUCCESS) {
    status = RegQueryValueExA(key, name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &size);
  }
  if (status == ERROR_SUCCESS) PrintValue(StoredValueName(key, name), type, data.substr(0, size));
  return status;
}

// Lists the values of the key, then the full paths of its sub-keys.
LONG QueryAll(HKEY key, const std::string& path) {
  for (DWORD index = 0;; ++index) {
    char name[16384];
    DWORD nameSize = sizeof name, type = 0, size = 0;
    LONG status = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, nullptr, &size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    std::string data(size, '\0');
    nameSize = sizeof name;
    if (status == ERROR_SUCCESS) {
      status = RegEnumValueA(key, index, name, &nameSize, nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &size);
    }
    if (status != ERROR_SUCCESS) return status;
    PrintValue(name, type, data.substr(0, size));
  }
  std::printf("\n");
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameSize = sizeof name;
    const LONG status =
        RegEnumKeyExA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return status;
    std::printf("%s\\%s\n", path.c_str(), name);
  }
  return ERROR_SUCCESS;
}

std::string FullPath(const Request& request) {
  return request.subKey.empty() ? request.rootName : request.rootName + "\\" + request.subKey;
}

int Query(const std::vector<std::string>& args) {
  Request request;
  if (!ParseRequest(args, false, request)) return 1;
  HKEY key = 0;
  LONG status = RegOpenKeyExA(request.root, request.subKey.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return FailStatus(status);
  std::printf("\n%s\n", FullPath(request).c_str());
  status = request.valueName ? QueryOne(key, *request.valueName) : QueryAll(key, FullPath(request));
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return FailStatus(status);
  return 0;
}

int Add(const std::vector<std::string>& args) {
  Request request;
  if (!ParseRequest(args, true, request)) return 1;
  if (request.subKey.empty() && !request.valueName && !request.data) {
    return Fail("Invalid key name.");
  }
  HKEY key = 0;
  LONG status = RegCreateKeyExA(request.root, request.subKey.c_str(), 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return FailStatus(status);
  if (request.valueName || request.data) {
    // A string value is stored with its terminating NUL.
    const std::string data = request.data.value_or("");
    status = RegSetValueExA(key, request.valueName.value_or("").c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>(data.size() + 1));
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return FailStatus(status);
  std::printf("The operation completed successfully.\n");
  return 0;
}

// Deletes the key below `parent` with everything below it.
LONG DeleteTree(HKEY parent, const std::string& subKey) {
  HKEY key = 0;
  LONG status = RegOpenKeyExA(parent, subKey.c_str(), 0, KEY_READ | KEY_WRITE, &key);
  if (status != ERROR_SUCCESS) return status;
  for (;;) {
    char name[256];
    DWORD nameSize = sizeof name;
    // Always the first sub-key: the one before it has just been deleted.
    status = RegEnumKeyExA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) status = DeleteTree(key, name);
    if (status != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  if (status != ERROR_NO_MORE_ITEMS) return status;
  return RegDeleteKeyA(parent, subKey.c_str());
}

int Delete(const std::vector<std::string>& args) {
  Request request;
  if (!ParseRequest(args, false, request)) return 1;
  LONG status;
  if (request.valueName) {
    HKEY key = 0;
    status = RegOpenKeyExA(request.root, request.subKey.c_str(), 0, KEY_WRITE, &key);
    if (status == ERROR_SUCCESS) {
      status = RegDeleteValueA(key, request.valueName->c_str());
      RegCloseKey(key);
    }
  } else if (request.subKey.empty()) {
    return Fail("A root key cannot be deleted.");
  } else {
    status = DeleteTree(request.root, request.subKey);
  }
  if (status != ERROR_SUCCESS) return FailStatus(status);
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Reg(const std::vector<std::string>& args) {
  if (!args.empty()) {
    if (args[0] == "query") return Query(args);
    if (args[0] == "add") return Add(args);
    if (args[0] == "delete") return Delete(args);
  }
  std::fprintf(stderr,
               "usage: pictoss reg query KEY [/v NAME | /ve]\n"
               "       pictoss reg add KEY [/v NAME | /ve] [/t REG_SZ] [/d DATA] [/f]\n"
               "       pictoss reg delete KEY [/v NAME | /ve] [/f]\n"
               "KEY is ROOT\\SubKey, ROOT one of HKLM, HKCU, HKCR, HKU, HKCC or the full name.\n");
  return 2;
}

const HostCommand kRegCommand("reg", "reg query|add|delete KEY [/v NAME] [/d DATA]", Reg);

}  // namespace
}  // namespace host
