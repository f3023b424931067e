#include "platform/base/text.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

TEST(Text, ValidTextRoundTrips) {
  struct Pair {
    std::u16string_view wide;
    std::string_view utf8;
  };
  const Pair pairs[] = {
      {u"", ""},
      {u"My_Screenshot.jpg", "My_Screenshot.jpg"},
      {u"\u00E9", "\xC3\xA9"},
      {u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},
      {u"\u20AC", "\xE2\x82\xAC"},
      {u"\uFFFF", "\xEF\xBF\xBF"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
      {std::u16string_view(u"a\0b", 3), std::string_view("a\0b", 3)},
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(ToAnsi(p.wide), p.utf8);
    EXPECT_EQ(FromAnsi(p.utf8), p.wide);
  }
}

TEST(Text, UnpairedSurrogatesBecomeReplacementCharactersOrTheirBytes) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  EXPECT_EQ(ToAnsi(u"a\xD800"), "a" + r);
  EXPECT_EQ(ToAnsi(u"\xDC00z"), r + "z");
  EXPECT_EQ(ToAnsi(u"\xDC00\xD800"), r + r);  // the wrong order is no pair
  EXPECT_EQ(ToAnsi(u"\xD800\xD800\xDC00"), r + "\xF0\x90\x80\x80");
  // The escaped bytes, and the surrogates on either side of them.
  EXPECT_EQ(ToAnsi(u"\xDC7F\xDC80\xDCFF\xDD00"), r + "\x80\xFF" + r);
}

TEST(Text, MalformedUtf8IsCarriedByteForByte) {
  struct Case {
    std::string_view utf8;
    std::u16string_view wide;
  };
  // Each byte of an ill-formed part is escaped; what follows its first byte is read again.
  const Case cases[] = {
      {"\xFF", u"\xDCFF"},
      {"\x80x", u"\xDC80x"},
      {"\xC3", u"\xDCC3"},
      {"\xC3x", u"\xDCC3x"},
      {"\xE2\x82", u"\xDCE2\xDC82"},
      {"\xE2\x82x", u"\xDCE2\xDC82x"},
      {"\xC0\xAF", u"\xDCC0\xDCAF"},                      // overlong '/'
      {"\xE0\x80\xAF", u"\xDCE0\xDC80\xDCAF"},            // overlong
      {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},  // beyond U+10FFFF
      {"\xF0\x9F\x98", u"\xDCF0\xDC9F\xDC98"},
      {"\xE9t\xE9.jpg", u"\xDCE9t\xDCE9.jpg"},  // a Latin-1 file name
      {"a\xF0\x9F\x98\x80\xC3\xA9", u"a\U0001F600\u00E9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FromAnsi(c.utf8), c.wide) << "input of " << c.utf8.size() << " bytes";
    EXPECT_EQ(ToAnsi(FromAnsi(c.utf8)), c.utf8) << "input of " << c.utf8.size() << " bytes";
  }
}

}  // namespace
}  // namespace platform
