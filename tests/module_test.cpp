// The real module PT.so reached the way a chat host reaches it: registered in a private store,
// created by its ProgID through the registry, called by method name.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/text.h"
#include "platform/ole/com.h"
#include "platform/ole/dispatch.h"
#include "platform/registry/registry.h"
#include "tests/host_harness.h"

namespace {

using platform::Argument;
using platform::Variant;

constexpr char kClsid[] = "{FFFB2456-8ACC-4047-AB4D-235FC58EFF56}";
constexpr char kLibid[] = "{360822CF-BF03-404D-8FD4-D7DB72ACE183}";

std::string ModulePath() {
  char resolved[PATH_MAX];
  return realpath(PICTOSS_MODULE_PATH, resolved) ? resolved : PICTOSS_MODULE_PATH;
}

// Every key and value below a root, as "path|name=data" lines, for comparing whole trees.
void Snapshot(HKEY key, const std::string& path, std::map<std::string, std::string>& out) {
  out[path] = "";
  for (DWORD i = 0;; ++i) {
    char name[512];
    BYTE data[4096];
    DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
    if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
      break;
    out[path + "|" + name] =
        std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data), dataSize);
  }
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD nameSize = sizeof name;
    if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    HKEY child = 0;
    ASSERT_EQ(RegOpenKeyExA(key, name, 0, KEY_READ, &child), ERROR_SUCCESS);
    Snapshot(child, path + "\\" + name, out);
    RegCloseKey(child);
  }
}

std::map<std::string, std::string> ClassesRoot() {
  std::map<std::string, std::string> tree;
  Snapshot(HKEY_CLASSES_ROOT, "HKCR", tree);
  return tree;
}

void SetString(const std::string& path, const char* name, const std::string& text) {
  HKEY key = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = dlopen(PICTOSS_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (module_) dlclose(module_);
  }
  template <class F>
  F Entry(const char* name) {
    return reinterpret_cast<F>(dlsym(module_, name));
  }
  HRESULT Register() { return Entry<DllRegisterServerFunction>("DllRegisterServer")(); }
  HRESULT Unregister() { return Entry<DllUnregisterServerFunction>("DllUnregisterServer")(); }

  platform::Ref<platform::Dispatch> Create() {
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(u"Vorlick.PT", &clsid), S_OK);
    platform::Ref<platform::Dispatch> pt;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &pt), S_OK);
    return pt;
  }

  harness::TempDir store_;
  harness::ScopedEnv prefix_{"PICTOSS_PREFIX", store_.path().string()};
  void* module_ = nullptr;
};

struct Call {
  HRESULT hr;
  Variant result;
  EXCEPINFO excep;
  UINT argErr = 99;
};

Call CallPT(platform::Dispatch& pt, std::u16string_view name, std::vector<Argument> args) {
  Call c;
  c.hr = platform::CallByName(pt, name, DISPATCH_METHOD, args, &c.result, &c.excep, &c.argErr);
  return c;
}

TEST_F(ModuleTest, ExportsOnlyTheFourEntryPoints) {
  for (const char* name :
       {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"}) {
    EXPECT_NE(dlsym(module_, name), nullptr) << name;
  }
  // The plug-in's own code stays inside the module.
  for (const char* name : {"_ZN7pictoss11LiveObjectsEv", "_ZN7pictoss2PTC1Ev", "HandleCommand"}) {
    EXPECT_EQ(dlsym(module_, name), nullptr) << name;
  }
}

TEST_F(ModuleTest, RegistrationLaysOutTheClassAndTypeLibrary) {
  auto before = ClassesRoot();
  ASSERT_EQ(Register(), S_OK);
  auto after = ClassesRoot();
  const std::string clsid = std::string("HKCR\\CLSID\\") + kClsid;
  const std::string lib = std::string("HKCR\\TypeLib\\") + kLibid + "\\1.0";
  const std::string dir = ModulePath().substr(0, ModulePath().rfind('/') + 1);
  auto sz = [](const std::string& text) { return "1:" + text + std::string(1, '\0'); };
  std::map<std::string, std::string> expected = {
      {"HKCR\\Vorlick.PT", ""},
      {"HKCR\\Vorlick.PT|", sz("Vorlick.PT")},
      {"HKCR\\Vorlick.PT\\CLSID", ""},
      {"HKCR\\Vorlick.PT\\CLSID|", sz(kClsid)},
      {"HKCR\\CLSID", ""},
      {clsid, ""},
      {clsid + "|", sz("Vorlick.PT")},
      {clsid + "\\ProgID", ""},
      {clsid + "\\ProgID|", sz("Vorlick.PT")},
      {clsid + "\\InprocServer32", ""},
      {clsid + "\\InprocServer32|", sz(ModulePath())},
      {clsid + "\\InprocServer32|ThreadingModel", sz("Apartment")},
      {clsid + "\\TypeLib", ""},
      {clsid + "\\TypeLib|", sz(kLibid)},
      {"HKCR\\TypeLib", ""},
      {std::string("HKCR\\TypeLib\\") + kLibid, ""},
      {lib, ""},
      {lib + "|", sz("Pictoss plugin for Messenger Plus!")},
      {lib + "\\FLAGS", ""},
      {lib + "\\FLAGS|", sz("0")},
      {lib + "\\409", ""},
      {lib + "\\409\\win32", ""},
      {lib + "\\409\\win32|", sz(ModulePath())},
      {lib + "\\HELPDIR", ""},
      {lib + "\\HELPDIR|", sz(dir)},
  };
  for (const auto& [path, data] : before) expected[path] = data;
  EXPECT_EQ(after, expected);
}

TEST_F(ModuleTest, UnregistrationRemovesExactlyWhatRegistrationMade) {
  // Neighbours that belong to others: another class, another version of the library.
  SetString("CLSID\\{00000000-1111-2222-3333-444444444444}\\InprocServer32", nullptr, "/x.so");
  SetString(std::string("TypeLib\\") + kLibid + "\\2.0", nullptr, "a later version");
  SetString("Other.Class\\CLSID", nullptr, "{00000000-1111-2222-3333-444444444444}");
  auto before = ClassesRoot();
  ASSERT_EQ(Register(), S_OK);
  ASSERT_EQ(Register(), S_OK);  // registering twice changes nothing
  ASSERT_EQ(Unregister(), S_OK);
  EXPECT_EQ(ClassesRoot(), before);

  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"Vorlick.PT", &clsid), CO_E_CLASSSTRING);
  platform::Ref<platform::Dispatch> pt;
  CLSID known;
  ASSERT_EQ(CLSIDFromString(platform::FromAnsi(kClsid), &known), S_OK);
  EXPECT_EQ(CoCreateInstance(known, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &pt),
            REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(pt);
}

TEST_F(ModuleTest, CreationFailsCleanlyForABadServerEntry) {
  ASSERT_EQ(Register(), S_OK);
  const std::string server = std::string("CLSID\\") + kClsid + "\\InprocServer32";
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(u"Vorlick.PT", &clsid), S_OK);
  struct Case {
    std::string path;
    HRESULT hr;
  } cases[] = {
      {store_.path().string() + "/missing/PT.so", CO_E_DLLNOTFOUND},
      {"/proc/self/status", CO_E_DLLNOTFOUND},      // not a module at all
      {"libpictoss_platform.so", CO_E_ERRORINDLL},  // a module without the entry points
  };
  for (const auto& c : cases) {
    SetString(server, nullptr, c.path);
    platform::Ref<platform::Dispatch> pt;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &pt), c.hr)
        << c.path;
    EXPECT_FALSE(pt);
    EXPECT_FALSE(platform::LastModuleError().empty());
  }
}

TEST_F(ModuleTest, FactoryAnswersOnlyItsClassAndInterfaces) {
  auto getClassObject = Entry<DllGetClassObjectFunction>("DllGetClassObject");
  void* raw = nullptr;
  CLSID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(getClassObject(&other, &IID_IClassFactory, &raw), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(raw, nullptr);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromString(platform::FromAnsi(kClsid), &clsid), S_OK);
  ASSERT_EQ(getClassObject(&clsid, &IID_IClassFactory, &raw), S_OK);
  auto factory =
      platform::Ref<platform::ClassFactory>::Adopt(static_cast<platform::ClassFactory*>(raw));
  platform::Ref<platform::Dispatch> object;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IDispatch, &object), CLASS_E_NOAGGREGATION);
  EXPECT_FALSE(object);

  auto canUnload = Entry<DllCanUnloadNowFunction>("DllCanUnloadNow");
  EXPECT_EQ(canUnload(), S_FALSE);  // the factory is alive
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &object), S_OK);
  factory = nullptr;
  EXPECT_EQ(canUnload(), S_FALSE);  // the object is alive
  object = nullptr;
  EXPECT_EQ(canUnload(), S_OK);
}

class PluginTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ(Register(), S_OK);
    pt_ = Create();
    ASSERT_TRUE(pt_);
  }
  platform::Ref<platform::Dispatch> pt_;
};

TEST_F(PluginTest, PublishesFourCommandsAndNoTags) {
  Variant name(u"x"), commands(std::int32_t{7}), tags(std::int32_t{7});
  for (int round = 0; round < 2; ++round) {
    Call c = CallPT(*pt_, u"GetPublishInfo",
                    {Argument::ByRef(name), Argument::ByRef(commands), Argument::ByRef(tags)});
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.result, Variant(true));
    EXPECT_EQ(name, Variant(u"Pictoss 2"));
    EXPECT_EQ(commands, Variant(std::int32_t{4}));
    EXPECT_EQ(tags, Variant(std::int32_t{0}));
  }
}

TEST_F(PluginTest, CommandTable) {
  struct Case {
    std::int32_t index;
    std::u16string name, value, help;
  };
  // "n", "v", "h" stand for what the caller passed in: the entry leaves them as they were.
  const Case cases[] = {
      {1, u"Full Screen", u"xptfull", u"optional time delay"},
      {2, u"Active Window", u"xptactive", u"optional time delay"},
      {3, u"Options", u"xptoptions", u"h"},
      {4, u"About", u"xptabout", u"h"},
      {0, u"n", u"v", u"h"},
      {5, u"n", u"v", u"h"},
      {-1, u"n", u"v", u"h"},
  };
  for (const auto& c : cases) {
    Variant name(u"n"), value(u"v"), help(u"h");
    Call r = CallPT(
        *pt_, u"GetPublishCommandInfo",
        {Variant(c.index), Argument::ByRef(name), Argument::ByRef(value), Argument::ByRef(help)});
    ASSERT_EQ(r.hr, S_OK) << c.index;
    EXPECT_EQ(r.result.vt(), VT_EMPTY) << c.index;
    EXPECT_EQ(name, Variant(c.name)) << c.index;
    EXPECT_EQ(value, Variant(c.value)) << c.index;
    EXPECT_EQ(help, Variant(c.help)) << c.index;
  }
}

TEST_F(PluginTest, IsNumber) {
  const std::pair<std::u16string, std::int16_t> cases[] = {{u"", 0},   {u"3", 1},    {u" 3 ", 1},
                                                           {u"3s", 0}, {u"-2.5", 1}, {u"abc", 0}};
  for (const auto& [text, expected] : cases) {
    Variant str(text);
    Call c = CallPT(*pt_, u"isNumber", {Argument::ByRef(str)});
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.result, Variant(expected)) << platform::ToAnsi(text);
    EXPECT_EQ(str, Variant(text));
  }
}

TEST_F(PluginTest, TagsAndNotificationsWriteNothing) {
  Variant result(u"keep");
  Call tag =
      CallPT(*pt_, u"ParseTag", {Variant(u"tag"), Variant::Nothing(), Argument::ByRef(result)});
  EXPECT_EQ(tag.hr, S_OK);
  EXPECT_EQ(tag.result, Variant(false));
  Call notify = CallPT(*pt_, u"ReceiveNotify",
                       {Variant(u"code"), Variant(u"text"), Variant(u"contact"), Variant::Nothing(),
                        Argument::ByRef(result)});
  EXPECT_EQ(notify.hr, S_OK);
  EXPECT_EQ(notify.result, Variant(false));
  Variant name(u"n"), value(u"v");
  Call info = CallPT(*pt_, u"GetPublishTagInfo",
                     {Variant(std::int32_t{1}), Argument::ByRef(name), Argument::ByRef(value)});
  EXPECT_EQ(info.hr, S_OK);
  EXPECT_EQ(info.result.vt(), VT_EMPTY);
  EXPECT_EQ(result, Variant(u"keep"));
  EXPECT_EQ(name, Variant(u"n"));
  EXPECT_EQ(value, Variant(u"v"));
}

TEST_F(PluginTest, InitializeAndUninitializeKeepNothing) {
  Call init = CallPT(*pt_, u"Initialize",
                     {Variant(std::int32_t{3}), Variant(u"me@example"), Variant::Nothing()});
  EXPECT_EQ(init.hr, S_OK);
  EXPECT_EQ(init.result, Variant(true));
  Call uninit = CallPT(*pt_, u"Uninitialize", {});
  EXPECT_EQ(uninit.hr, S_OK);
  EXPECT_EQ(uninit.result.vt(), VT_EMPTY);
}

TEST_F(PluginTest, TempDirEndsInASeparatorAndIsNeverCut) {
  const std::string longDir = "/" + std::string(300, 'd');
  // Without TMPDIR (and XDG_RUNTIME_DIR) the folder is the user's own under /tmp.
  const std::string own = "/tmp/pictoss-" + std::to_string(geteuid()) + "/";
  const std::pair<const char*, std::string> cases[] = {
      {nullptr, own},
      {"", own},
      {"/var/tmp", "/var/tmp/"},
      {"/var/tmp/", "/var/tmp/"},
      {"/x/\xc3\xa9t\xc3\xa9", "/x/\xc3\xa9t\xc3\xa9/"},
      {longDir.c_str(), longDir + "/"},
  };
  harness::ScopedEnv restore("TMPDIR", "");  // puts back the test's own TMPDIR at the end
  harness::ScopedEnv runtime("XDG_RUNTIME_DIR", "");
  for (const auto& [tmpdir, expected] : cases) {
    if (tmpdir)
      setenv("TMPDIR", tmpdir, 1);
    else
      unsetenv("TMPDIR");
    Call c = CallPT(*pt_, u"GetTempDir", {});
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.result, Variant(platform::FromAnsi(expected)));
  }
}

TEST_F(PluginTest, DispatchFailures) {
  Variant s1(u"a"), s2(u"b"), s3(u"c");
  struct Case {
    const char* what;
    std::u16string method;
    std::vector<Argument> args;
    HRESULT hr;
    UINT argErr;
  };
  std::vector<Case> cases = {
      {"unknown name", u"Capture", {}, DISP_E_UNKNOWNNAME, 99},
      {"too few", u"GetPublishCommandInfo", {Variant(std::int32_t{1})}, DISP_E_BADPARAMCOUNT, 99},
      {"too many", u"Uninitialize", {Variant(std::int32_t{1})}, DISP_E_BADPARAMCOUNT, 99},
      {"type mismatch",
       u"GetPublishCommandInfo",
       {Variant(u"one"), Argument::ByRef(s1), Argument::ByRef(s2), Argument::ByRef(s3)},
       DISP_E_TYPEMISMATCH,
       0},
      {"object expected",
       u"Initialize",
       {Variant(std::int32_t{1}), Variant(u""), Variant(std::int32_t{0})},
       DISP_E_TYPEMISMATCH,
       2},
      {"required missing",
       u"GetPublishCommandInfo",
       {Variant(std::int32_t{1}), Variant::Missing(), Argument::ByRef(s2), Argument::ByRef(s3)},
       DISP_E_PARAMNOTOPTIONAL,
       1},
  };
  for (auto& c : cases) {
    Call r = CallPT(*pt_, c.method, c.args);
    EXPECT_EQ(r.hr, c.hr) << c.what;
    EXPECT_EQ(r.argErr, c.argErr) << c.what;
  }
  EXPECT_EQ(s1, Variant(u"a"));
  EXPECT_EQ(s2, Variant(u"b"));
  // Names are found without regard to case.
  Variant name, commands, tags;
  Call lower = CallPT(*pt_, u"getpublishinfo",
                      {Argument::ByRef(name), Argument::ByRef(commands), Argument::ByRef(tags)});
  EXPECT_EQ(lower.hr, S_OK);
  EXPECT_EQ(name, Variant(u"Pictoss 2"));
}

TEST_F(PluginTest, CallFromAnotherThreadFailsAndDoesNothing) {
  Variant name(u"untouched"), commands(std::int32_t{0}), tags(std::int32_t{0});
  HRESULT hr = S_OK;
  std::thread other([&] {
    std::vector<Argument> args = {Argument::ByRef(name), Argument::ByRef(commands),
                                  Argument::ByRef(tags)};
    hr = platform::CallByName(*pt_, u"GetPublishInfo", DISPATCH_METHOD, args, nullptr, nullptr,
                              nullptr);
  });
  other.join();
  EXPECT_EQ(hr, RPC_E_WRONG_THREAD);
  EXPECT_EQ(name, Variant(u"untouched"));
  EXPECT_EQ(commands, Variant(std::int32_t{0}));
}

}  // namespace
