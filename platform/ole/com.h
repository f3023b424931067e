// In-process servers, the platform's way: a class is found by its ProgID and CLSID in the
// registry store under HKEY_CLASSES_ROOT, its module (InprocServer32) is loaded with dlopen and
// asked for a class factory through DllGetClassObject, and the factory creates the object.
// Loaded modules stay loaded until CoFreeUnusedLibraries finds them unused. The caller owns one
// reference to each object or factory it receives. Threading: objects are apartment-threaded
// (see Dispatch); these functions themselves may be called from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/windef.h"
#include "platform/ole/dispatch.h"
#include "platform/ole/object.h"

using platform::GUID;
using CLSID = GUID;
using IID = GUID;

constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154);
constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3);
constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9);
constexpr HRESULT SELFREG_E_TYPELIB = MakeHresult(0x80040200);
constexpr HRESULT SELFREG_E_CLASS = MakeHresult(0x80040201);
constexpr HRESULT TYPE_E_REGISTRYACCESS = MakeHresult(0x8002801C);

namespace platform {

// Creates the objects of one class of a module.
class PLATFORM_API ClassFactory : public Object {
 public:
  ~ClassFactory() override;
  // outer must be null (no aggregation). iid: IID_IUnknown, IID_IDispatch or the class's own
  // interface; anything else gives E_NOINTERFACE.
  virtual HRESULT CreateInstance(Object* outer, const IID& iid, Ref<Dispatch>* object) = 0;
  // Keeps the module loaded while locked.
  virtual HRESULT LockServer(BOOL lock) = 0;
};

}  // namespace platform

// The four entry points of an in-process server module, exported with C linkage. A class
// factory comes back in *factory as a platform::ClassFactory* holding one reference.
using DllGetClassObjectFunction = HRESULT (*)(const CLSID* clsid, const IID* iid, void** factory);
using DllCanUnloadNowFunction = HRESULT (*)();
using DllRegisterServerFunction = HRESULT (*)();
using DllUnregisterServerFunction = HRESULT (*)();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex digits.
PLATFORM_API std::u16string StringFromCLSID(const CLSID& clsid);
// Reads the braced form (either case); CO_E_CLASSSTRING when it is not one.
PLATFORM_API HRESULT CLSIDFromString(std::u16string_view text, CLSID* clsid);
// HKEY_CLASSES_ROOT\<progId>\CLSID; CO_E_CLASSSTRING when the ProgID is not registered.
PLATFORM_API HRESULT CLSIDFromProgID(std::u16string_view progId, CLSID* clsid);

// Loads the class's in-process server and asks it for its class factory.
// REGDB_E_CLASSNOTREG: no InprocServer32 for the class; CO_E_DLLNOTFOUND: the module cannot be
// loaded; CO_E_ERRORINDLL: it has no DllGetClassObject; otherwise the module's own status.
PLATFORM_API HRESULT CoGetClassObject(const CLSID& clsid, DWORD context, const IID& iid,
                                      platform::Ref<platform::ClassFactory>* factory);
// CoGetClassObject, then CreateInstance.
PLATFORM_API HRESULT CoCreateInstance(const CLSID& clsid, platform::Object* outer, DWORD context,
                                      const IID& iid, platform::Ref<platform::Dispatch>* object);
// Unloads every loaded module whose DllCanUnloadNow answers S_OK.
PLATFORM_API void CoFreeUnusedLibraries();

// Registers a type library under HKEY_CLASSES_ROOT\TypeLib\{libid}\<major.minor>: the help
// string, the flags, the module path for its locale, and the help folder.
PLATFORM_API HRESULT RegisterTypeLib(const platform::TypeLibDesc& lib, const char* modulePath,
                                     const char* helpDir);
// Removes the keys that RegisterTypeLib made for this version and locale, and the library's
// key when no other version is left.
PLATFORM_API HRESULT UnRegisterTypeLib(const GUID& libid, WORD major, WORD minor, LCID lcid);

namespace platform {

// Why the last module load on this thread failed (dlopen's or dlsym's text), for messages.
PLATFORM_API std::string LastModuleError();

// The text of a status code, for messages ("Class not registered").
PLATFORM_API std::string StatusText(HRESULT hr);

}  // namespace platform
