// Conversion between the automation's UTF-16 strings and the platform's multibyte text, which
// is UTF-8 here (the "ANSI code page" of the platform calls). Invalid input never fails. Bytes
// are carried through UTF-16 unchanged, as file names need: each byte of a malformed UTF-8
// sequence becomes the unpaired surrogate U+DC80 to U+DCFF of its value, which turns back into
// that byte; any other unpaired surrogate becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/windef.h"

namespace platform {

PLATFORM_API std::string ToAnsi(std::u16string_view text);
PLATFORM_API std::u16string FromAnsi(std::string_view text);

}  // namespace platform
