#include "settings/file_name.h"

namespace pictoss {

bool IsPlainFileName(std::u16string_view sFileName) {
  return !sFileName.empty() && sFileName != u"." && sFileName != u".." &&
         sFileName.find(u'/') == std::u16string_view::npos;
}

std::u16string NotPlainFileNameText(std::u16string_view sFileName) {
  return u"The file name \"" + std::u16string(sFileName) +
         u"\" is not a plain file name: it may not contain \"/\", be empty, or be \".\" or "
         u"\"..\".";
}

}  // namespace pictoss
