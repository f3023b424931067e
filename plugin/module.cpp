// The module's four entry points (C linkage, the only symbols PT.so exports), its class
// factory, its registration in the registry store, and its version record, which lives in an
// ELF note so that it can be read without loading the module.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <atomic>
#include <new>
#include <string>

#include "platform/base/text.h"
#include "platform/ole/com.h"
#include "platform/registry/registry.h"
#include "plugin/pt.h"
#include "product/product.h"

namespace pictoss {
namespace {

// The version record: the name "Pictoss", type 1, and NUL-separated "Key=Value" entries of
// the string table for language 0x0409, Unicode.
#define PICTOSS_VERSION_ENTRIES                                                  \
  "Translation=040904B0\0FileVersion=" PICTOSS_FILE_VERSION_TEXT                 \
  "\0ProductVersion=" PICTOSS_FILE_VERSION_TEXT                                  \
  "\0ProductName=Pictoss " PICTOSS_VERSION_MAJOR_TEXT                            \
  "\0FileDescription=Pictoss Plugin for Messenger Plus!\0"                       \
  "InternalName=PT\0OriginalFilename=PT.dll\0CompanyName=Brindlemoor Software\0" \
  "OLESelfRegister=\0"

struct VersionNote {
  std::uint32_t nameSize;
  std::uint32_t descSize;
  std::uint32_t type;
  char name[8];
  char desc[(sizeof(PICTOSS_VERSION_ENTRIES) + 3) / 4 * 4];
};

[[gnu::used, gnu::section(".note.pictoss.version"),
  gnu::aligned(4)]] const VersionNote kVersionNote = {8, sizeof(PICTOSS_VERSION_ENTRIES), 1,
                                                      "Pictoss", PICTOSS_VERSION_ENTRIES};

std::atomic<long> serverLocks{0};

class PTFactory : public platform::ClassFactory {
 public:
  PTFactory() { ++serverLocks; }
  ~PTFactory() override { --serverLocks; }

  HRESULT CreateInstance(platform::Object* outer, const IID& iid,
                         platform::Ref<platform::Dispatch>* object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (!(iid == IID_IUnknown || iid == IID_IDispatch || iid == IID__PT)) return E_NOINTERFACE;
    PT* pt = new (std::nothrow) PT();
    if (!pt) return E_OUTOFMEMORY;
    *object = platform::Ref<platform::Dispatch>::Adopt(pt);
    return S_OK;
  }

  HRESULT LockServer(BOOL lock) override {
    if (lock)
      ++serverLocks;
    else
      --serverLocks;
    return S_OK;
  }
};

// The module's absolute path, as the in-process server entry records it.
std::string ModulePath() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&ModulePath), &info) || !info.dli_fname) return "";
  char resolved[PATH_MAX];
  if (!realpath(info.dli_fname, resolved)) return "";
  return resolved;
}

std::string Ansi(std::u16string_view text) {
  return platform::ToAnsi(text);
}

LONG SetDefault(const std::string& path, const char* name, const std::string& text) {
  HKEY key = 0;
  LONG status = RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
  return status;
}

std::string ClsidKey() {
  return "CLSID\\" + Ansi(StringFromCLSID(CLSID_PT));
}

// The class's keys, leaves before the keys that hold them.
std::string ClassKeys(int i) {
  const std::string progId = std::string(product::kProgId.narrow());
  switch (i) {
    case 0:
      return ClsidKey() + "\\InprocServer32";
    case 1:
      return ClsidKey() + "\\ProgID";
    case 2:
      return ClsidKey() + "\\TypeLib";
    case 3:
      return ClsidKey();
    case 4:
      return progId + "\\CLSID";
    default:
      return progId;
  }
}
constexpr int kClassKeyCount = 6;

HRESULT RegisterClass(const std::string& path) {
  const std::string progId = std::string(product::kProgId.narrow());
  const std::string libid = Ansi(StringFromCLSID(kVorlickTypeLib.libid));
  const std::string clsid = Ansi(StringFromCLSID(CLSID_PT));
  bool ok =
      SetDefault(progId, nullptr, progId) == ERROR_SUCCESS &&
      SetDefault(progId + "\\CLSID", nullptr, clsid) == ERROR_SUCCESS &&
      SetDefault(ClsidKey(), nullptr, progId) == ERROR_SUCCESS &&
      SetDefault(ClsidKey() + "\\ProgID", nullptr, progId) == ERROR_SUCCESS &&
      SetDefault(ClsidKey() + "\\InprocServer32", nullptr, path) == ERROR_SUCCESS &&
      SetDefault(ClsidKey() + "\\InprocServer32", "ThreadingModel", "Apartment") == ERROR_SUCCESS &&
      SetDefault(ClsidKey() + "\\TypeLib", nullptr, libid) == ERROR_SUCCESS;
  return ok ? S_OK : SELFREG_E_CLASS;
}

}  // namespace
}  // namespace pictoss

using namespace pictoss;

extern "C" {

HRESULT DllGetClassObject(const CLSID* clsid, const IID* iid, void** factory) {
  if (!clsid || !iid || !factory) return E_POINTER;
  *factory = nullptr;
  if (!(*clsid == CLSID_PT)) return CLASS_E_CLASSNOTAVAILABLE;
  if (!(*iid == IID_IClassFactory || *iid == IID_IUnknown)) return E_NOINTERFACE;
  PTFactory* created = new (std::nothrow) PTFactory();
  if (!created) return E_OUTOFMEMORY;
  *factory = static_cast<platform::ClassFactory*>(created);
  return S_OK;
}

HRESULT DllCanUnloadNow() {
  return LiveObjects() == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

HRESULT DllRegisterServer() {
  try {
    std::string path = ModulePath();
    if (path.empty()) return SELFREG_E_CLASS;
    HRESULT hr = RegisterClass(path);
    if (FAILED(hr)) return hr;
    std::string dir = path.substr(0, path.rfind('/') + 1);
    return FAILED(RegisterTypeLib(kVorlickTypeLib, path.c_str(), dir.c_str())) ? SELFREG_E_TYPELIB
                                                                               : S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT DllUnregisterServer() {
  try {
    bool ok = true;
    for (int i = 0; i < kClassKeyCount; ++i) {
      LONG status = RegDeleteKeyA(HKEY_CLASSES_ROOT, ClassKeys(i).c_str());
      // A key that holds someone else's entries stays, and the call says so.
      ok = ok && (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND);
    }
    const auto& lib = kVorlickTypeLib;
    HRESULT hr = UnRegisterTypeLib(lib.libid, lib.majorVersion, lib.minorVersion, lib.lcid);
    if (!ok) return SELFREG_E_CLASS;
    return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // extern "C"
