#include "platform/ole/com.h"

#include <dlfcn.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/text.h"
#include "platform/registry/registry.h"

namespace platform {
namespace {

thread_local std::string lastModuleError;

// Modules loaded by CoGetClassObject, by path; each is loaded once.
std::mutex modulesMutex;
std::map<std::string, void*>& LoadedModules() {
  static auto* modules = new std::map<std::string, void*>;  // lives as long as the modules
  return *modules;
}

// One opened or created key, closed when it goes.
class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (handle_) RegCloseKey(handle_);
  }
  LONG Open(HKEY parent, const std::string& path, REGSAM access) {
    return RegOpenKeyExA(parent, path.c_str(), 0, access, &handle_);
  }
  LONG Create(HKEY parent, const std::string& path) {
    return RegCreateKeyExA(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                           nullptr, &handle_, nullptr);
  }
  HKEY get() const { return handle_; }

 private:
  HKEY handle_ = 0;
};

// A string value (the default value when name is null); nothing when it cannot be read.
bool ReadString(HKEY root, const std::string& path, const char* name, std::string& text) {
  Key key;
  if (key.Open(root, path, KEY_READ) != ERROR_SUCCESS) return false;
  DWORD size = 0, type = 0;
  if (RegQueryValueExA(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  std::vector<BYTE> data(size + 1, 0);
  if (RegQueryValueExA(key.get(), name, nullptr, nullptr, data.data(), &size) != ERROR_SUCCESS) {
    return false;
  }
  text.assign(reinterpret_cast<const char*>(data.data()));  // up to the first NUL
  return true;
}

LONG WriteString(HKEY root, const std::string& path, const char* name, const std::string& text) {
  Key key;
  LONG status = key.Create(root, path);
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The hex number of `digits` digits at text[at], or -1.
long long ReadHex(std::u16string_view text, std::size_t at, int digits) {
  long long value = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexDigit(text[at + i]);
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

std::string TypeLibVersionKey(const GUID& libid, WORD major, WORD minor) {
  char version[32];
  std::snprintf(version, sizeof version, "%x.%x", major, minor);
  return "TypeLib\\" + ToAnsi(StringFromCLSID(libid)) + "\\" + version;
}

}  // namespace

ClassFactory::~ClassFactory() = default;

std::string LastModuleError() {
  return lastModuleError;
}

std::string StatusText(HRESULT hr) {
  switch (hr) {
    case REGDB_E_CLASSNOTREG:
      return "Class not registered";
    case CO_E_CLASSSTRING:
      return "Invalid class string";
    case CO_E_DLLNOTFOUND:
      return "DLL for class not found";
    case CO_E_ERRORINDLL:
      return "Error in the DLL";
    case CLASS_E_CLASSNOTAVAILABLE:
      return "ClassFactory cannot supply requested class";
    case E_NOINTERFACE:
      return "No such interface supported";
    case E_OUTOFMEMORY:
      return "Out of memory";
    case DISP_E_UNKNOWNNAME:
      return "Unknown name";
    case DISP_E_MEMBERNOTFOUND:
      return "Member not found";
    case DISP_E_BADPARAMCOUNT:
      return "Invalid number of parameters";
    case DISP_E_TYPEMISMATCH:
      return "Type mismatch";
    case DISP_E_OVERFLOW:
      return "Out of present range";
    case DISP_E_PARAMNOTOPTIONAL:
      return "Parameter not optional";
    case RPC_E_WRONG_THREAD:
      return "The application called an interface that was marshalled for a different thread";
    case SELFREG_E_CLASS:
      return "Failed to register/unregister class";
    case SELFREG_E_TYPELIB:
      return "Failed to register/unregister type library";
    default: {
      char text[48];
      std::snprintf(text, sizeof text, "Error 0x%08X", static_cast<unsigned>(hr));
      return text;
    }
  }
}

}  // namespace platform

using platform::Ref;

std::u16string StringFromCLSID(const CLSID& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.Data1,
                id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4],
                id.Data4[5], id.Data4[6], id.Data4[7]);
  return platform::FromAnsi(text);
}

HRESULT CLSIDFromString(std::u16string_view text, CLSID* clsid) {
  if (!clsid) return E_POINTER;
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' ||
      text[14] != u'-' || text[19] != u'-' || text[24] != u'-') {
    return CO_E_CLASSSTRING;
  }
  using platform::ReadHex;
  long long parts[11] = {ReadHex(text, 1, 8),  ReadHex(text, 10, 4), ReadHex(text, 15, 4),
                         ReadHex(text, 20, 2), ReadHex(text, 22, 2), ReadHex(text, 25, 2),
                         ReadHex(text, 27, 2), ReadHex(text, 29, 2), ReadHex(text, 31, 2),
                         ReadHex(text, 33, 2), ReadHex(text, 35, 2)};
  for (long long part : parts) {
    if (part < 0) return CO_E_CLASSSTRING;
  }
  CLSID id;
  id.Data1 = static_cast<std::uint32_t>(parts[0]);
  id.Data2 = static_cast<std::uint16_t>(parts[1]);
  id.Data3 = static_cast<std::uint16_t>(parts[2]);
  for (int i = 0; i < 8; ++i) id.Data4[i] = static_cast<std::uint8_t>(parts[3 + i]);
  *clsid = id;
  return S_OK;
}

HRESULT CLSIDFromProgID(std::u16string_view progId, CLSID* clsid) {
  if (!clsid) return E_POINTER;
  std::string text;
  std::string name = platform::ToAnsi(progId);
  if (name.empty() || name.find('\\') != std::string::npos ||
      !platform::ReadString(HKEY_CLASSES_ROOT, name + "\\CLSID", nullptr, text)) {
    return CO_E_CLASSSTRING;
  }
  return CLSIDFromString(platform::FromAnsi(text), clsid);
}

HRESULT CoGetClassObject(const CLSID& clsid, DWORD context, const IID& iid,
                         Ref<platform::ClassFactory>* factory) {
  if (!factory) return E_POINTER;
  *factory = nullptr;
  if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  std::string path;
  std::string key = "CLSID\\" + platform::ToAnsi(StringFromCLSID(clsid)) + "\\InprocServer32";
  if (!platform::ReadString(HKEY_CLASSES_ROOT, key, nullptr, path) || path.empty()) {
    return REGDB_E_CLASSNOTREG;
  }
  void* module = nullptr;
  {
    std::lock_guard lock(platform::modulesMutex);
    auto& modules = platform::LoadedModules();
    auto found = modules.find(path);
    if (found != modules.end()) {
      module = found->second;
    } else {
      module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!module) {
        const char* why = dlerror();
        platform::lastModuleError = why ? why : path + ": cannot be loaded";
        return CO_E_DLLNOTFOUND;
      }
      modules[path] = module;
    }
  }
  auto getClassObject =
      reinterpret_cast<DllGetClassObjectFunction>(dlsym(module, "DllGetClassObject"));
  if (!getClassObject) {
    platform::lastModuleError = path + ": no DllGetClassObject";
    return CO_E_ERRORINDLL;
  }
  void* raw = nullptr;
  HRESULT hr = getClassObject(&clsid, &iid, &raw);
  if (FAILED(hr)) return hr;
  if (!raw) return E_UNEXPECTED;
  *factory = Ref<platform::ClassFactory>::Adopt(static_cast<platform::ClassFactory*>(raw));
  return S_OK;
}

HRESULT CoCreateInstance(const CLSID& clsid, platform::Object* outer, DWORD context, const IID& iid,
                         Ref<platform::Dispatch>* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  Ref<platform::ClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, context, IID_IClassFactory, &factory);
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, iid, object);
}

void CoFreeUnusedLibraries() {
  std::lock_guard lock(platform::modulesMutex);
  auto& modules = platform::LoadedModules();
  for (auto it = modules.begin(); it != modules.end();) {
    auto canUnload =
        reinterpret_cast<DllCanUnloadNowFunction>(dlsym(it->second, "DllCanUnloadNow"));
    if (canUnload && canUnload() == S_OK) {
      dlclose(it->second);
      it = modules.erase(it);
    } else {
      ++it;
    }
  }
}

// The platform names the system-kind key after itself; readers of the layout look there.
HRESULT RegisterTypeLib(const platform::TypeLibDesc& lib, const char* modulePath,
                        const char* helpDir) {
  if (!modulePath) return E_INVALIDARG;
  std::string base = platform::TypeLibVersionKey(lib.libid, lib.majorVersion, lib.minorVersion);
  char lcid[16];
  std::snprintf(lcid, sizeof lcid, "%x", lib.lcid);
  bool ok =
      platform::WriteString(HKEY_CLASSES_ROOT, base, nullptr, platform::ToAnsi(lib.helpString)) ==
          ERROR_SUCCESS &&
      platform::WriteString(HKEY_CLASSES_ROOT, base + "\\FLAGS", nullptr, "0") == ERROR_SUCCESS &&
      platform::WriteString(HKEY_CLASSES_ROOT, base + "\\" + lcid + "\\win32", nullptr,
                            modulePath) == ERROR_SUCCESS &&
      platform::WriteString(HKEY_CLASSES_ROOT, base + "\\HELPDIR", nullptr,
                            helpDir ? helpDir : "") == ERROR_SUCCESS;
  return ok ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT UnRegisterTypeLib(const GUID& libid, WORD major, WORD minor, LCID lcid) {
  std::string base = platform::TypeLibVersionKey(libid, major, minor);
  char locale[16];
  std::snprintf(locale, sizeof locale, "%x", lcid);
  // Leaves first; a key that still holds something of someone else's is refused and stays.
  const std::string keys[] = {base + "\\" + locale + "\\win32", base + "\\" + locale,
                              base + "\\FLAGS", base + "\\HELPDIR", base};
  for (const auto& key : keys) RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
  RegDeleteKeyA(HKEY_CLASSES_ROOT,
                ("TypeLib\\" + platform::ToAnsi(StringFromCLSID(libid))).c_str());
  platform::Key check;
  if (check.Open(HKEY_CLASSES_ROOT, base, KEY_READ) == ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
  return S_OK;
}
