// What the "FileName" setting may hold: the name of one file in the temporary folder, never a
// path. The capture commands refuse any other name before they write, and the options dialog
// before it saves. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace pictoss {

// False for a name with a "/" or a control character (U+0000 to U+001F, U+007F) in it, and
// for "", "." and "..", which name no file of their own. A control character would let the name
// forge lines wherever a path is shown.
bool IsPlainFileName(std::u16string_view sFileName);

// Says why sFileName cannot be used, naming it on one line (control characters as C escapes).
std::u16string NotPlainFileNameText(std::u16string_view sFileName);

// Whether text holds a control character (U+0000 to U+001F, U+007F), and the text with each
// written as a C escape, so that it shows on one line.
bool HasControlCharacter(std::u16string_view text);
std::u16string ShownOnOneLine(std::u16string_view text);

}  // namespace pictoss
