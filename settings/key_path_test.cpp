#include "settings/key_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/user/messagebox.h"
#include "product/product.h"
#include "tests/support/private_store.h"

namespace pictoss {
namespace {

namespace fs = std::filesystem;

struct Shown {
  std::u16string text, caption;
};

// A machine folder of the test's own, the settings key created in it, and every message box
// collected instead of shown.
class SettingsRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(store_.prefix());
    platform::SetMessageBoxHook([this](std::u16string_view text, std::u16string_view caption) {
      shown_.push_back({std::u16string(text), std::u16string(caption)});
    });
  }
  void TearDown() override { platform::SetMessageBoxHook(nullptr); }
  static void CreateKey(HKEY root, const char* subKey) {
    HKEY key = 0;
    ASSERT_EQ(RegCreateKeyExA(root, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  static bool KeyExists(HKEY root, const char* subKey) {
    HKEY key = 0;
    const bool found = RegOpenKeyExA(root, subKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
  }
  std::string StoreFile() const { return store_.StoreFile(); }

  testsupport::PrivateStore store_;
  std::vector<Shown> shown_;
};

TEST(RootKeyFromName, OnlyTheSevenNamesExactly) {
  EXPECT_EQ(RootKeyFromName(u"HKEY_CLASSES_ROOT"), 0x80000000u);
  EXPECT_EQ(RootKeyFromName(u"HKEY_CURRENT_USER"), 0x80000001u);
  EXPECT_EQ(RootKeyFromName(u"HKEY_LOCAL_MACHINE"), 0x80000002u);
  EXPECT_EQ(RootKeyFromName(u"HKEY_USERS"), 0x80000003u);
  EXPECT_EQ(RootKeyFromName(u"HKEY_PERFORMANCE_DATA"), 0x80000004u);
  EXPECT_EQ(RootKeyFromName(u"HKEY_CURRENT_CONFIG"), 0x80000005u);
  EXPECT_EQ(RootKeyFromName(u"HKEY_DYN_DATA"), 0x80000006u);
  for (std::u16string_view other :
       {u"HKEY_Local_Machine", u"HKLM", u"", u"HKEY_LOCAL_MACHINE ", u"HKEY_USERS\\"}) {
    EXPECT_EQ(RootKeyFromName(other), 0u);
  }
}

TEST_F(SettingsRegistryTest, SplitKeyPathCutsAtTheFirstBackslash) {
  struct Case {
    std::u16string_view path;
    bool accepted;
    HKEY root;
    std::u16string_view subKey;
  };
  const Case cases[] = {
      {u"HKEY_LOCAL_MACHINE\\Software\\Brindlemoor\\Pictoss", true, 0x80000002u,
       u"Software\\Brindlemoor\\Pictoss"},
      {u"HKEY_CURRENT_USER", true, 0x80000001u, u""},
      {u"HKEY_Local_Machine\\Software", true, 0, u"Software"},
      {u"HKEY_", true, 0, u""},
      {u"HKEY_USERS\\a\\\\b", true, 0x80000003u, u"a\\\\b"},
      {u"hkey_local_machine\\Software", false, 0, u""},
      {u"HKEY_LOCAL_MACHINE\\Software\\", false, 0, u""},
      {u"HKEY_LOCAL_MACHINE\\", false, 0, u""},
      {u"HKEY", false, 0, u""},
      {u"", false, 0, u""},
      {u" HKEY_USERS", false, 0, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    shown_.clear();
    const std::optional<SplitKey> split = SplitKeyPath(c.path);
    ASSERT_EQ(split.has_value(), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(split->hRoot, c.root);
      EXPECT_EQ(split->sSubKey, c.subKey);
      EXPECT_TRUE(shown_.empty());
    } else {
      ASSERT_EQ(shown_.size(), 1u);
      EXPECT_EQ(shown_[0].text, u"Incorrect Format:\n\n" + std::u16string(c.path));
      EXPECT_EQ(shown_[0].caption, u"Pictoss");
    }
  }
}

TEST_F(SettingsRegistryTest, WrittenTextsReadBackAsTheReadRulesSay) {
  CreateKey(HKEY_LOCAL_MACHINE, "Software\\Brindlemoor\\Pictoss");
  const std::u16string longest(254, u'x');
  std::u16string accented;
  for (int i = 0; i < 127; ++i) accented += u'\u00E9';  // two bytes each: 254 bytes
  struct Case {
    std::u16string written;
    std::u16string read;
  };
  const Case cases[] = {
      {u"3", u"3"},
      {u"My_Screenshot.jpg", u"My_Screenshot.jpg"},
      {u"  5", u"5"},    // leading blanks are lost
      {u"5  ", u"5  "},  // trailing ones are shielded by the NUL
      {u" 5 ", u"5 "},
      {u"", u""},
      {u"Error", u"Error"},
      {longest, longest},
      {longest + u"x", u"Error"},  // 255 bytes and the NUL do not fit
      {accented, accented},
      {accented + u"e", u"Error"},
      {u"Bild \u20AC", u"Bild \u20AC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written.size());
    EXPECT_EQ(WriteKeyValueWithStatus(product::kSettingsKeyPath.wide(),
                                      product::kFileNameValue.wide(), c.written),
              ERROR_SUCCESS);
    EXPECT_EQ(ReadKeyValue(product::kSettingsKeyPath.wide(), product::kFileNameValue.wide()),
              c.read);
  }
  // Value names are matched without regard to case.
  WriteKeyValue(product::kSettingsKeyPath.wide(), u"Timedelay", u"7");
  EXPECT_EQ(ReadKeyValue(product::kSettingsKeyPath.wide(), product::kTimeDelayValue.wide()), u"7");
  EXPECT_TRUE(shown_.empty());
}

TEST_F(SettingsRegistryTest, DataWithoutItsNulLosesItsLastCharacter) {
  // Not what WriteKeyValue stores, but what another program may have left.
  CreateKey(HKEY_CURRENT_USER, "Other");
  HKEY key = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Other", 0, KEY_WRITE, &key), ERROR_SUCCESS);
  RegSetValueExA(key, "abc", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3);
  RegSetValueExA(key, "blank", 0, REG_SZ, reinterpret_cast<const BYTE*>("  "), 2);
  RegSetValueExA(key, "none", 0, REG_SZ, nullptr, 0);
  RegCloseKey(key);
  EXPECT_EQ(ReadKeyValue(u"HKEY_CURRENT_USER\\Other", u"abc"), u"ab");
  EXPECT_EQ(ReadKeyValue(u"HKEY_CURRENT_USER\\Other", u"blank"), u"");
  EXPECT_EQ(ReadKeyValue(u"HKEY_CURRENT_USER\\Other", u"none"), u"");
}

TEST_F(SettingsRegistryTest, FailuresReadAsErrorOrEmptyAndWriteNothing) {
  CreateKey(HKEY_LOCAL_MACHINE, "Software\\Brindlemoor\\Pictoss");
  // A missing key or value reads as "Error"; a write into a missing key creates nothing.
  EXPECT_EQ(ReadKeyValue(u"HKEY_LOCAL_MACHINE\\Software\\Nobody", u"TimeDelay"), u"Error");
  EXPECT_EQ(ReadKeyValue(product::kSettingsKeyPath.wide(), product::kTimeDelayValue.wide()),
            u"Error");
  EXPECT_EQ(WriteKeyValueWithStatus(u"HKEY_LOCAL_MACHINE\\Software\\Nobody", u"TimeDelay", u"1"),
            ERROR_FILE_NOT_FOUND);
  WriteKeyValue(u"HKEY_LOCAL_MACHINE\\Software\\Nobody", u"TimeDelay", u"1");
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\Nobody"));
  // An unknown root is the empty result, silently.
  EXPECT_EQ(ReadKeyValue(u"HKEY_Local_Machine\\Software\\Brindlemoor\\Pictoss", u"TimeDelay"),
            std::nullopt);
  EXPECT_EQ(WriteKeyValueWithStatus(u"HKEY_Local_Machine\\Software\\Brindlemoor\\Pictoss",
                                    u"TimeDelay", u"1"),
            ERROR_INVALID_HANDLE);
  EXPECT_TRUE(shown_.empty());
  // A malformed path is the empty result, with the message.
  EXPECT_EQ(ReadKeyValue(u"HKEY_LOCAL_MACHINE\\Software\\Brindlemoor\\Pictoss\\", u"TimeDelay"),
            std::nullopt);
  WriteKeyValue(u"hkey_local_machine\\Software\\Brindlemoor\\Pictoss", u"TimeDelay", u"1");
  EXPECT_EQ(shown_.size(), 2u);
  EXPECT_EQ(ReadKeyValue(product::kSettingsKeyPath.wide(), product::kTimeDelayValue.wide()),
            u"Error");
}

TEST_F(SettingsRegistryTest, TheRootItselfHoldsValues) {
  WriteKeyValue(u"HKEY_CURRENT_USER", u"Direct", u"yes");
  EXPECT_EQ(ReadKeyValue(u"HKEY_CURRENT_USER", u"Direct"), u"yes");
  EXPECT_EQ(ReadKeyValue(u"HKEY_USERS", u"Direct"), u"Error");
}

TEST_F(SettingsRegistryTest, ACorruptStoreReadsAsErrorAndStaysUnchanged) {
  const std::string garbage(4096, '\x5A');
  std::ofstream(StoreFile(), std::ios::binary) << garbage;
  EXPECT_EQ(ReadKeyValue(product::kSettingsKeyPath.wide(), product::kTimeDelayValue.wide()),
            u"Error");
  EXPECT_NE(WriteKeyValueWithStatus(product::kSettingsKeyPath.wide(),
                                    product::kTimeDelayValue.wide(), u"1"),
            ERROR_SUCCESS);
  std::ifstream in(StoreFile(), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);
}

}  // namespace
}  // namespace pictoss
