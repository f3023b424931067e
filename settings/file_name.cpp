#include "settings/file_name.h"

#include <algorithm>

namespace pictoss {
namespace {

bool IsControl(char16_t c) {
  return c < 0x20 || c == 0x7F;
}

}  // namespace

std::u16string ShownOnOneLine(std::u16string_view name) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string shown;
  for (char16_t c : name) {
    if (!IsControl(c)) {
      shown += c;
    } else if (c == u'\n') {
      shown += u"\\n";
    } else if (c == u'\r') {
      shown += u"\\r";
    } else if (c == u'\t') {
      shown += u"\\t";
    } else {
      shown += {u'\\', u'x', kHex[c >> 4], kHex[c & 0xF]};
    }
  }
  return shown;
}

bool HasControlCharacter(std::u16string_view text) {
  return std::any_of(text.begin(), text.end(), IsControl);
}

bool IsPlainFileName(std::u16string_view sFileName) {
  return !sFileName.empty() && sFileName != u"." && sFileName != u".." &&
         sFileName.find(u'/') == std::u16string_view::npos && !HasControlCharacter(sFileName);
}

std::u16string NotPlainFileNameText(std::u16string_view sFileName) {
  return u"The file name \"" + ShownOnOneLine(sFileName) +
         u"\" is not a plain file name: it may not contain \"/\" or control characters, be "
         u"empty, or be \".\" or \"..\".";
}

}  // namespace pictoss
