#include "settings/file_name.h"

#include <algorithm>

namespace pictoss {
namespace {

bool IsControl(char16_t c) {
  return c < 0x20 || c == 0x7F;
}

// The name as it can be shown on one line: control characters written as C escapes.
std::u16string Shown(std::u16string_view name) {
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

}  // namespace

bool IsPlainFileName(std::u16string_view sFileName) {
  return !sFileName.empty() && sFileName != u"." && sFileName != u".." &&
         sFileName.find(u'/') == std::u16string_view::npos &&
         std::none_of(sFileName.begin(), sFileName.end(), IsControl);
}

std::u16string NotPlainFileNameText(std::u16string_view sFileName) {
  return u"The file name \"" + Shown(sFileName) +
         u"\" is not a plain file name: it may not contain \"/\" or control characters, be "
         u"empty, or be \".\" or \"..\".";
}

}  // namespace pictoss
