#include "dialogs/options_form.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/user/messagebox.h"
#include "tests/support/private_store.h"

namespace pictoss {
namespace {

using namespace std::string_literals;

// Each text through f gives the text paired with it.
template <class F>
void ExpectEachGives(F f, std::initializer_list<std::pair<std::u16string, std::u16string>> cases) {
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(f(in), out) << std::string(in.begin(), in.end());
  }
}

TEST(DelFromRight, TakesTheJpegSuffixOff) {
  ExpectEachGives([](const std::u16string& in) { return DelFromRight(u".jpg", in); },
                  {
                      {u"My_Screenshot.jpg", u"My_Screenshot"},
                      {u"My_Screenshot", u"My_Screenshot"},
                      {u"Error", u"Error"},
                      {u"shot.jpg.jpg", u"shot.jpg"},
                      {u"a.jpgb", u"a"},
                      {u"pic.JPG", u"pic.JPG"},
                      {u".jpg", u""},
                      {u"", u""},
                      {u"Bildschirmfoto \U0001F600.jpg", u"Bildschirmfoto \U0001F600"},
                  });
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
  ExpectEachGives([](const std::u16string& in) { return ReverseString(in); },
                  {{u"", u""},
                   {u"a", u"a"},
                   {u"abc", u"cba"},
                   {u"Grüße", u"eßürG"},
                   {u"a\U0001F600b", u"b\U0001F600a"},
                   {u"\U0001F600\U0001F4F7", u"\U0001F4F7\U0001F600"},
                   {u"a\xD800"s + u"b", u"b\xD800"s + u"a"}});  // a lone half stays as it is
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

  // The settings key, holding both values.
  void StoreSettings(const std::string& delay, const std::string& name) {
    ASSERT_TRUE(store_.CreateSettingsKey());
    ASSERT_TRUE(store_.Set("TimeDelay", delay));
    ASSERT_TRUE(store_.Set("FileName", name));
  }
  static OptionsForm Loaded() {
    OptionsForm form;
    form.Load();
    return form;
  }
  static OptionsForm Typed(std::u16string time, std::u16string filename) {
    OptionsForm form;
    form.time = std::move(time);
    form.filename = std::move(filename);
    return form;
  }
  static void ExpectBoxes(const OptionsForm& form, std::u16string_view time,
                          std::u16string_view filename) {
    EXPECT_EQ(form.time, time);
    EXPECT_EQ(form.filename, filename);
  }

  testsupport::PrivateStore store_;
  std::vector<std::pair<std::u16string, std::u16string>> messages_;
};

TEST_F(OptionsFormTest, LoadShowsStoredValuesWithoutTheSuffix) {
  StoreSettings("3", "pic.jpg");
  ExpectBoxes(Loaded(), u"3", u"pic");
  EXPECT_TRUE(messages_.empty());
}

TEST_F(OptionsFormTest, LoadShowsErrorWhenNothingIsStored) {
  ExpectBoxes(Loaded(), u"Error", u"Error");  // no key
  ASSERT_TRUE(store_.CreateSettingsKey());
  ExpectBoxes(Loaded(), u"Error", u"Error");  // no values
}

TEST_F(OptionsFormTest, DefaultsFillTheBoxesAndWriteNothing) {
  StoreSettings("3", "pic.jpg");
  OptionsForm form = Loaded();
  form.DefaultsClick();
  ExpectBoxes(form, u"0", u"My_Screenshot");
  EXPECT_EQ(store_.Raw("TimeDelay"), "3\0"s);
  EXPECT_EQ(store_.Raw("FileName"), "pic.jpg\0"s);
}

TEST_F(OptionsFormTest, SaveStoresTheDelayAsTypedAndTheNameWithTheSuffix) {
  ASSERT_TRUE(store_.CreateSettingsKey());
  OptionsForm form = Typed(u"abc", u"pic.jpg");
  EXPECT_TRUE(form.SaveClick());
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(store_.Names(), (std::vector<std::string>{"FileName", "Timedelay"}));
  EXPECT_EQ(store_.Raw("TimeDelay"), "abc\0"s);
  EXPECT_EQ(store_.Raw("FileName"), "pic.jpg.jpg\0"s);
  ExpectBoxes(Loaded(), u"abc", u"pic.jpg");
}

TEST_F(OptionsFormTest, SaveOfNonAsciiAndEmptyTexts) {
  ASSERT_TRUE(store_.CreateSettingsKey());
  OptionsForm form = Typed(u"", u"Bild \U0001F600");
  EXPECT_TRUE(form.SaveClick());
  EXPECT_EQ(store_.Raw("TimeDelay"), "\0"s);
  EXPECT_EQ(store_.Raw("FileName"), "Bild \xF0\x9F\x98\x80.jpg\0"s);
}

TEST_F(OptionsFormTest, FailedSaveSaysSoAndKeepsWhatWasTyped) {
  // No settings key: nothing can be stored, and nothing is created.
  OptionsForm form = Typed(u"5", u"shot");
  EXPECT_FALSE(form.SaveClick());
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].second, u"Pictoss");
  EXPECT_NE(messages_[0].first.find(u"could not be saved"), std::u16string::npos);
  EXPECT_NE(messages_[0].first.find(u"HKEY_LOCAL_MACHINE\\Software\\Brindlemoor\\Pictoss"),
            std::u16string::npos);
  ExpectBoxes(form, u"5", u"shot");
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
    StoreSettings("1", "old.jpg");
    OptionsForm form = Typed(u"7", c.typed);
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
