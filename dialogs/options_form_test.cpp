#include "dialogs/options_form.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/user/messagebox.h"
#include "tests/support/private_store.h"

namespace pictoss {
namespace {

using namespace std::string_literals;

TEST(DelFromRight, TakesTheJpegSuffixOff) {
  struct Case {
    std::u16string in, out;
  } cases[] = {
      {u"My_Screenshot.jpg", u"My_Screenshot"},
      {u"My_Screenshot", u"My_Screenshot"},
      {u"Error", u"Error"},
      {u"shot.jpg.jpg", u"shot.jpg"},
      {u"a.jpgb", u"a"},
      {u"pic.JPG", u"pic.JPG"},
      {u".jpg", u""},
      {u"", u""},
      {u"Bildschirmfoto \U0001F600.jpg", u"Bildschirmfoto \U0001F600"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DelFromRight(u".jpg", c.in), c.out) << std::string(c.in.begin(), c.in.end());
  }
}

TEST(DelFromLeft, CutsUpToEachCharacterInTurn) {
  struct Case {
    std::u16string chars, line, out;
  } cases[] = {
      {u"abc", u"xabyc", u"xabyc"},  // not there as a whole: unchanged
      {u"ab", u"xxabyyb", u"yyb"},   // 'a' cuts "xxa", then 'b' cuts "b"
      {u"ba", u"abab", u"b"},        // 'b' cuts "ab", 'a' cuts "a"
      {u"AB", u"xaby", u"xaby"},     // case matters
      {u"", u"line", u"line"},      {u"x", u"", u""}, {u"\U0001F600", u"a\U0001F600b", u"b"},
      {u"ü", u"Grüße", u"ße"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DelFromLeft(c.chars, c.line), c.out);
  }
}

TEST(ReverseString, ReversesCharactersAndKeepsSurrogatePairsWhole) {
  struct Case {
    std::u16string in, out;
  } cases[] = {
      {u"", u""},
      {u"a", u"a"},
      {u"abc", u"cba"},
      {u"Grüße", u"eßürG"},
      {u"a\U0001F600b", u"b\U0001F600a"},
      {u"\U0001F600\U0001F4F7", u"\U0001F4F7\U0001F600"},
      {u"a\xD800"s + u"b", u"b\xD800"s + u"a"},  // a lone half stays as it is
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReverseString(c.in), c.out);
  }
}

// The settings key lives in a private store; message boxes go to a hook.
class OptionsFormTest : public ::testing::Test {
 protected:
  OptionsFormTest() {
    platform::SetMessageBoxHook([this](std::u16string_view text, std::u16string_view caption) {
      messages_.push_back({std::u16string(text), std::u16string(caption)});
    });
  }
  ~OptionsFormTest() override { platform::SetMessageBoxHook(nullptr); }

  testsupport::PrivateStore store_;
  std::vector<std::pair<std::u16string, std::u16string>> messages_;
};

TEST_F(OptionsFormTest, LoadShowsStoredValuesWithoutTheSuffix) {
  ASSERT_TRUE(store_.CreateSettingsKey());
  ASSERT_TRUE(store_.Set("TimeDelay", "3"));
  ASSERT_TRUE(store_.Set("FileName", "pic.jpg"));
  OptionsForm form;
  form.Load();
  EXPECT_EQ(form.time, u"3");
  EXPECT_EQ(form.filename, u"pic");
  EXPECT_TRUE(messages_.empty());
}

TEST_F(OptionsFormTest, LoadShowsErrorWhenNothingIsStored) {
  OptionsForm missingKey;
  missingKey.Load();
  EXPECT_EQ(missingKey.time, u"Error");
  EXPECT_EQ(missingKey.filename, u"Error");

  ASSERT_TRUE(store_.CreateSettingsKey());
  OptionsForm missingValues;
  missingValues.Load();
  EXPECT_EQ(missingValues.time, u"Error");
  EXPECT_EQ(missingValues.filename, u"Error");
}

TEST_F(OptionsFormTest, DefaultsFillTheBoxesAndWriteNothing) {
  ASSERT_TRUE(store_.CreateSettingsKey());
  ASSERT_TRUE(store_.Set("TimeDelay", "3"));
  ASSERT_TRUE(store_.Set("FileName", "pic.jpg"));
  OptionsForm form;
  form.Load();
  form.DefaultsClick();
  EXPECT_EQ(form.time, u"0");
  EXPECT_EQ(form.filename, u"My_Screenshot");
  EXPECT_EQ(store_.Raw("TimeDelay"), "3\0"s);
  EXPECT_EQ(store_.Raw("FileName"), "pic.jpg\0"s);
}

TEST_F(OptionsFormTest, SaveStoresTheDelayAsTypedAndTheNameWithTheSuffix) {
  ASSERT_TRUE(store_.CreateSettingsKey());
  OptionsForm form;
  form.time = u"abc";
  form.filename = u"pic.jpg";
  EXPECT_TRUE(form.SaveClick());
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(store_.Names(), (std::vector<std::string>{"FileName", "Timedelay"}));
  EXPECT_EQ(store_.Raw("TimeDelay"), "abc\0"s);
  EXPECT_EQ(store_.Raw("FileName"), "pic.jpg.jpg\0"s);

  OptionsForm reopened;
  reopened.Load();
  EXPECT_EQ(reopened.time, u"abc");
  EXPECT_EQ(reopened.filename, u"pic.jpg");
}

TEST_F(OptionsFormTest, SaveOfNonAsciiAndEmptyTexts) {
  ASSERT_TRUE(store_.CreateSettingsKey());
  OptionsForm form;
  form.time = u"";
  form.filename = u"Bild \U0001F600";
  EXPECT_TRUE(form.SaveClick());
  EXPECT_EQ(store_.Raw("TimeDelay"), "\0"s);
  EXPECT_EQ(store_.Raw("FileName"), "Bild \xF0\x9F\x98\x80.jpg\0"s);
}

TEST_F(OptionsFormTest, FailedSaveSaysSoAndKeepsWhatWasTyped) {
  // No settings key: nothing can be stored, and nothing is created.
  OptionsForm form;
  form.time = u"5";
  form.filename = u"shot";
  EXPECT_FALSE(form.SaveClick());
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].second, u"Pictoss");
  EXPECT_NE(messages_[0].first.find(u"could not be saved"), std::u16string::npos);
  EXPECT_NE(messages_[0].first.find(u"HKEY_LOCAL_MACHINE\\Software\\Brindlemoor\\Pictoss"),
            std::u16string::npos);
  EXPECT_EQ(form.time, u"5");
  EXPECT_EQ(form.filename, u"shot");
  EXPECT_FALSE(store_.KeyExists());
}

// A name with a folder in it would put the picture outside the temporary folder: the dialog says
// so and stores nothing, not even the delay. Dots alone become plain names with the suffix.
TEST_F(OptionsFormTest, SaveRefusesANameThatIsNotAPlainFileName) {
  ASSERT_TRUE(store_.CreateSettingsKey());
  struct Case {
    std::u16string typed;
    bool saved;
  } cases[] = {
      {u"../../escape", false}, {u"shots/today", false}, {u"/", false}, {u"..", true}, {u".", true},
      {u"a\\b", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.typed.begin(), c.typed.end()));
    messages_.clear();
    ASSERT_TRUE(store_.Set("TimeDelay", "1"));
    ASSERT_TRUE(store_.Set("FileName", "old.jpg"));
    OptionsForm form;
    form.time = u"7";
    form.filename = c.typed;
    EXPECT_EQ(form.SaveClick(), c.saved);
    EXPECT_EQ(messages_.size(), c.saved ? 0u : 1u);
    if (!c.saved && !messages_.empty()) {
      EXPECT_NE(messages_[0].first.find(u"\"" + c.typed + u".jpg\" is not a plain file name"),
                std::u16string::npos);
    }
    EXPECT_EQ(store_.Raw("TimeDelay"), c.saved ? "7\0"s : "1\0"s);
    EXPECT_EQ(form.filename, c.typed);
  }
}

}  // namespace
}  // namespace pictoss
