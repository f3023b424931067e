// What the "FileName" setting may hold: the name of one file in the temporary folder, never a
// path. The capture commands refuse any other name before they write, and the options dialog
// before it saves. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace pictoss {

// False for a name with a "/" in it, and for "", "." and "..", which name no file of their own.
bool IsPlainFileName(std::u16string_view sFileName);

// Says why sFileName cannot be used, naming it.
std::u16string NotPlainFileNameText(std::u16string_view sFileName);

}  // namespace pictoss
